#include "main_window.h"

#include "fatal_error.h"
#include "report.h"
#include "resource_ids.h"
#include "serial_port.h"

HINSTANCE instance;
HWND main_window;
updater the_updater;

static void close_held_port(void)
{
    if (the_updater.port != INVALID_HANDLE_VALUE) {
        CloseHandle(the_updater.port);
        the_updater.port = INVALID_HANDLE_VALUE;
    }
}

static void start_update(HWND window)
{
    LRESULT row = SendMessageA(GetDlgItem(window, IDC_PORT_LIST), CB_GETCURSEL, 0, 0);
    const char *path = port_path((int)row);
    if (row == CB_ERR || path == NULL)
        return; // no port in the list: nothing to open
    // A retry after FAILED, a second press during an update, or a press on another port: the
    // port held so far is let go first, so the same port can be opened again and none leaks.
    close_held_port();
    the_updater.baud_rate = BAUD_RATE;
    the_updater.port_path = path;
    trace(" . Opening serial port %s at %ld baud\n", path, (long)BAUD_RATE);
    the_updater.port = open_port(path);
    if (the_updater.port == INVALID_HANDLE_VALUE)
        fatal_error("Unable to open serial port. In use already, or not present");
    configure_port(the_updater.port, BAUD_RATE, READ_INTERVAL_MS);
    the_updater.state = STATE_START;
    set_status("Contacting Device...");
    SetTimer(window, POLL_TIMER_ID, POLL_PERIOD_MS, NULL);
}

static void poll_once(HWND window)
{
    SetTimer(window, POLL_TIMER_ID, POLL_HOLD_MS, NULL);
    poll_updater(&the_updater);
    SetTimer(window, POLL_TIMER_ID, POLL_PERIOD_MS, NULL);
    if (the_updater.state == STATE_DONE) {
        KillTimer(window, POLL_TIMER_ID);
        Beep(2000, 100);
        set_status("Programming Completed");
        close_held_port();
    }
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDC_UPDATE) {
            start_update(window);
            return 0;
        }
        break;
    case WM_TIMER:
        if (LOWORD(wparam) == POLL_TIMER_ID) {
            poll_once(window);
            return 0;
        }
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}
