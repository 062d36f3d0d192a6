// Drives the tool's window from another process in the same Wine prefix, as an operator
// would: list and pick ports, press Update Device, read the status field, press Esc, close
// the window, and read and dismiss the fatal report's message box. One command per run;
// prints what it read on standard output and exits 0 on success, 1 on time-out or failure.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char WINDOW_CLASS[] = "ZEB";
static const char WINDOW_TITLE[] = "Device Firmware Update Tool";
static const char REPORT_TITLE[] = "Terminate Program";
enum { IDC_PORT_LIST = 3, IDC_UPDATE = 4, IDC_STATUS = 5, TEXT_CAPACITY = 2048 };

// Several tools may run at once: --hwnd names the one to drive.
static HWND chosen_window;

static HWND find_tool(void)
{
    if (chosen_window != NULL)
        return IsWindow(chosen_window) ? chosen_window : NULL;
    return FindWindowA(WINDOW_CLASS, WINDOW_TITLE);
}

static BOOL CALLBACK print_tool_window(HWND window, LPARAM context)
{
    (void)context;
    char class_name[16] = "";
    GetClassNameA(window, class_name, sizeof class_name);
    if (lstrcmpiA(class_name, WINDOW_CLASS) == 0)
        printf("%llx\n", (unsigned long long)(ULONG_PTR)window);
    return TRUE;
}

// The window exists before its controls are filled: ready means visible with a status text.
static HWND wait_for_tool(DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    do {
        HWND window = find_tool();
        char text[64] = "";
        if (window != NULL && IsWindowVisible(window) &&
            GetDlgItemTextA(window, IDC_STATUS, text, sizeof text) > 0)
            return window;
        Sleep(20);
    } while (GetTickCount() - start < timeout_ms);
    return NULL;
}

static int read_status(HWND window, char *text, int capacity)
{
    text[0] = '\0';
    return GetDlgItemTextA(window, IDC_STATUS, text, capacity);
}

// Cross-process CB_GETLBTEXT comes back as UTF-16 whatever form it is sent in: ask in W form.
static int port_entries(HWND window, char entries[][256], int capacity)
{
    HWND list = GetDlgItem(window, IDC_PORT_LIST);
    LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    int n = 0;
    for (LRESULT i = 0; i < count && n < capacity; i++) {
        WCHAR wide[256] = {0};
        if (SendMessageW(list, CB_GETLBTEXTLEN, (WPARAM)i, 0) >= 255)
            continue;
        SendMessageW(list, CB_GETLBTEXT, (WPARAM)i, (LPARAM)wide);
        WideCharToMultiByte(CP_ACP, 0, wide, -1, entries[n], 256, NULL, NULL);
        n++;
    }
    return n;
}

static BOOL CALLBACK collect_text(HWND child, LPARAM context)
{
    char *report = (char *)context;
    char class_name[32] = "";
    GetClassNameA(child, class_name, sizeof class_name);
    if (lstrcmpiA(class_name, "Static") == 0) {
        char text[TEXT_CAPACITY] = "";
        GetWindowTextA(child, text, sizeof text);
        size_t used = strlen(report);
        if (text[0] != '\0' && used + strlen(text) + 1 < TEXT_CAPACITY)
            memcpy(report + used, text, strlen(text) + 1);
    }
    return TRUE;
}

// "A|B": the text is A or B.
static bool matches_one_of(const char *text, const char *choices)
{
    size_t length = strlen(text);
    for (const char *at = choices;;) {
        const char *bar = strchr(at, '|');
        size_t choice = bar != NULL ? (size_t)(bar - at) : strlen(at);
        if (choice == length && strncmp(at, text, length) == 0)
            return true;
        if (bar == NULL)
            return false;
        at = bar + 1;
    }
}

static int usage(void)
{
    fprintf(stderr,
            "usage: window_driver [--hwnd HEX] COMMAND [ARGS]\n"
            "  list                      print the handle of every tool window\n"
            "  wait [MS]                 wait for the window, visible, with a status text\n"
            "  ports                     print the port list, one entry a line\n"
            "  selected                  print the selected entry's index (-1: none)\n"
            "  select TEXT               select the entry TEXT\n"
            "  press                     press Update Device\n"
            "  status                    print the status field\n"
            "  watch TEXT MS             print each new status (ms since start, text) until TEXT\n"
            "                            (or one of A|B|...)\n"
            "  esc                       press Esc in the window\n"
            "  close                     close the window through its close command\n"
            "  report MS                 wait for the fatal report, print its text, press OK\n"
            "  alive                     exit 0 when the window exists\n");
    return 2;
}

int main(int argc, char **argv)
{
    if (argc > 2 && strcmp(argv[1], "--hwnd") == 0) {
        chosen_window = (HWND)(ULONG_PTR)strtoull(argv[2], NULL, 16);
        argc -= 2;
        argv += 2;
    }
    if (argc < 2)
        return usage();
    const char *command = argv[1];

    if (strcmp(command, "list") == 0) {
        EnumWindows(print_tool_window, 0);
        return 0;
    }

    if (strcmp(command, "report") == 0) {
        DWORD timeout = argc > 2 ? (DWORD)atol(argv[2]) : 10000;
        DWORD start = GetTickCount();
        HWND box;
        while ((box = FindWindowA("#32770", REPORT_TITLE)) == NULL && GetTickCount() - start < timeout)
            Sleep(20);
        if (box == NULL)
            return 1;
        Sleep(100); // let the box finish laying out its text
        static char report[TEXT_CAPACITY];
        report[0] = '\0';
        EnumChildWindows(box, collect_text, (LPARAM)report);
        fputs(report, stdout);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return 0;
    }
    if (strcmp(command, "alive") == 0)
        return find_tool() != NULL ? 0 : 1;

    DWORD wait_ms = (strcmp(command, "wait") == 0 && argc > 2) ? (DWORD)atol(argv[2]) : 20000;
    HWND window = wait_for_tool(wait_ms);
    if (window == NULL) {
        fprintf(stderr, "window_driver: no tool window\n");
        return 1;
    }
    char text[TEXT_CAPACITY];

    if (strcmp(command, "wait") == 0) {
        read_status(window, text, sizeof text);
        printf("%s\n", text);
    } else if (strcmp(command, "ports") == 0) {
        static char entries[1000][256];
        int n = port_entries(window, entries, 1000);
        for (int i = 0; i < n; i++)
            printf("%s\n", entries[i]);
    } else if (strcmp(command, "selected") == 0) {
        printf("%d\n", (int)SendMessageW(GetDlgItem(window, IDC_PORT_LIST), CB_GETCURSEL, 0, 0));
    } else if (strcmp(command, "select") == 0 && argc > 2) {
        static char entries[1000][256];
        int n = port_entries(window, entries, 1000);
        int found = -1;
        for (int i = 0; i < n && found < 0; i++)
            if (lstrcmpiA(entries[i], argv[2]) == 0)
                found = i;
        if (found < 0) {
            fprintf(stderr, "window_driver: no entry %s\n", argv[2]);
            return 1;
        }
        SendMessageW(GetDlgItem(window, IDC_PORT_LIST), CB_SETCURSEL, (WPARAM)found, 0);
    } else if (strcmp(command, "press") == 0) {
        // Posted, not sent: the press may end in a modal message box that would hold us here.
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_UPDATE, BN_CLICKED),
                     (LPARAM)GetDlgItem(window, IDC_UPDATE));
    } else if (strcmp(command, "status") == 0) {
        read_status(window, text, sizeof text);
        printf("%s\n", text);
    } else if (strcmp(command, "watch") == 0 && argc > 3) {
        DWORD timeout = (DWORD)atol(argv[3]);
        DWORD start = GetTickCount();
        char last[TEXT_CAPACITY] = "\x01";
        for (;;) {
            if (!IsWindow(window) || read_status(window, text, sizeof text) < 0)
                return 1;
            if (strcmp(text, last) != 0) {
                printf("%lu %s\n", (unsigned long)(GetTickCount() - start), text);
                fflush(stdout);
                memcpy(last, text, sizeof last);
            }
            if (matches_one_of(text, argv[2]))
                break;
            if (GetTickCount() - start > timeout)
                return 1;
            Sleep(5);
        }
    } else if (strcmp(command, "esc") == 0) {
        HWND button = GetDlgItem(window, IDC_UPDATE);
        PostMessageA(button, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageA(button, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    } else if (strcmp(command, "close") == 0) {
        PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else {
        return usage();
    }
    return 0;
}
