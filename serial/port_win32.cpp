// The engine's port functions on Win32: one platform call each.
#include <windows.h>

#include "platform.h"

int32_t read_port(port_handle handle, uint8_t *buffer, int32_t capacity)
{
    DWORD received = 0;
    // The success flag is not looked at: a failed read counts as no reply.
    ReadFile((HANDLE)handle, buffer, (DWORD)capacity, &received, NULL);
    return (int32_t)received;
}

int32_t write_port(port_handle handle, const uint8_t *buffer, int32_t count)
{
    DWORD written = 0;
    WriteFile((HANDLE)handle, buffer, (DWORD)count, &written, NULL);
    return (int32_t)written;
}

void purge_port(port_handle handle)
{
    PurgeComm((HANDLE)handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void flush_port(port_handle handle)
{
    FlushFileBuffers((HANDLE)handle);
}
