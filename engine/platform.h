// The few things the update engine needs from the platform. The engine never includes
// windows.h; each platform implements these free functions in its own file and the build
// links the right one (Win32: serial/port_win32.cpp and ui/host_win32.cpp; POSIX:
// serial/port_posix.cpp and native/host_posix.cpp; virtual time: devsim/virtual_host.cpp).
#pragma once

#include <stdint.h>

#if defined(_WIN32)
typedef void *port_handle; // a Win32 HANDLE; "no port" is windows.h's INVALID_HANDLE_VALUE
#else
typedef int port_handle; // a file descriptor
#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE (-1)
#endif
#endif

// One synchronous read of up to `capacity` bytes, bounded by the port's read timeouts: at most
// 100 ms in all, and it ends 20 ms after the last byte once bytes have started to arrive.
// Returns the count received; 0 when nothing came or the read failed.
int32_t read_port(port_handle handle, uint8_t *buffer, int32_t capacity);
// One synchronous write; returns the count written (the updater does not look at it).
int32_t write_port(port_handle handle, const uint8_t *buffer, int32_t count);
// Discards whatever the port has received and not yet read, and whatever it has not yet sent.
void purge_port(port_handle handle);
// Waits until the port has sent everything written to it.
void flush_port(port_handle handle);

// Milliseconds of the platform's tick counter; wraps after 49.7 days.
uint32_t tick_count(void);
void sleep_ms(uint32_t milliseconds);

// Shows one status text in the main window's status field.
void show_status(const char *text);
