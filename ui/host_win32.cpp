// The engine's clock and status field on Win32.
#include <windows.h>

#include "main_window.h"
#include "platform.h"
#include "resource_ids.h"

uint32_t tick_count(void)
{
    return GetTickCount();
}

void sleep_ms(uint32_t milliseconds)
{
    Sleep(milliseconds);
}

void show_status(const char *text)
{
    SetDlgItemTextA(main_window, IDC_STATUS, text);
}
