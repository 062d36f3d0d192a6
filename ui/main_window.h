// The tool's single window: start-up, the message loop, and the procedure that starts an
// update on a press of Update Device and drives it from the poll timer.
#pragma once

#include <windows.h>

#include "updater.h"

enum {
    POLL_TIMER_ID = 6,
    POLL_PERIOD_MS = 10,
    // While a poll runs the timer is pushed this far away, so the next poll comes 10 ms after
    // this one has finished, however long it took.
    POLL_HOLD_MS = 10000,
    BAUD_RATE = 115200,
    READ_INTERVAL_MS = 20
};

extern HINSTANCE instance;
extern HWND main_window;
extern updater the_updater;

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
