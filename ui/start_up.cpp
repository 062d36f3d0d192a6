// Start-up in a fixed order, then the message loop until the window is closed.
#include <windows.h>

#include <stdlib.h>

#include "fatal_error.h"
#include "frame_codec.h"
#include "load_image.h"
#include "main_window.h"
#include "report.h"
#include "resource_ids.h"
#include "serial_port.h"

int WINAPI WinMain(HINSTANCE this_instance, HINSTANCE previous, LPSTR command_line, int show)
{
    (void)previous;
    (void)command_line;
    WNDCLASSA window_class = {};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = main_window_proc;
    window_class.cbClsExtra = 0;
    window_class.cbWndExtra = DLGWINDOWEXTRA;
    window_class.hInstance = this_instance;
    window_class.hIcon = NULL;
    window_class.hCursor = LoadCursor(NULL, IDC_ARROW);
    window_class.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    window_class.lpszMenuName = NULL;
    window_class.lpszClassName = "ZEB";
    instance = this_instance;
    if (!RegisterClassA(&window_class))
        fatal_error("Unabled to register window class");

    // The dialog is of our own class: its messages reach main_window_proc.
    main_window = CreateDialogParamA(instance, "ZEB", NULL, NULL, 0);
    if (main_window == NULL)
        fatal_error("Could not create dialog");
    ShowWindow(main_window, show);
    HWND port_list = GetDlgItem(main_window, IDC_PORT_LIST);
    trace("Running on windows version: %x\n", 0x0A00);
    find_ports(port_list);
    set_status(" - Idle - ");

    the_updater.frame_capacity = FRAME_CAPACITY;
    the_updater.frame = (uint8_t *)malloc(FRAME_CAPACITY);
    the_updater.unit_address = UNIT_ADDRESS;
    the_updater.port = INVALID_HANDLE_VALUE;
    if (the_updater.frame == NULL)
        fatal_error("Not enough memory for the frame buffer");
    const char *image_problem = load_image(&the_updater);
    if (image_problem != NULL)
        fatal_error(image_problem);

    MSG message;
    while (GetMessageA(&message, NULL, 0, 0)) {
        if (IsWindow(main_window) && IsDialogMessageA(main_window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return (int)message.wParam;
}
