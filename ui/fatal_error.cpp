#include "fatal_error.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "main_window.h"

static const char CLOSING_LINE[] = "\n\n The program will now abort\n\n\n";

// Appends as much of `text` as fits while keeping `reserve` characters free.
static size_t append(char *report, size_t used, size_t capacity, size_t reserve, const char *text)
{
    if (used + reserve + 1 >= capacity)
        return used;
    size_t room = capacity - used - reserve - 1;
    size_t length = strlen(text);
    if (length > room)
        length = room;
    memcpy(report + used, text, length);
    report[used + length] = '\0';
    return used + length;
}

size_t build_fatal_report(char *report, size_t capacity, const char *message, unsigned long error,
                          const char *system_text)
{
    if (capacity == 0)
        return 0;
    report[0] = '\0';
    size_t reserve = sizeof CLOSING_LINE - 1;
    char line[FATAL_REPORT_CAPACITY];
    size_t used = append(report, 0, capacity, reserve, "\n\nAn Error has occurred as follows:\n");
    snprintf(line, sizeof line, "          %s\n", message);
    used = append(report, used, capacity, reserve, line);
    if (error != 0) {
        snprintf(line, sizeof line, "Error number %ld reported\n", (long)error);
        used = append(report, used, capacity, reserve, line);
        used = append(report, used, capacity, reserve, system_text);
    }
    return append(report, used, capacity, 0, CLOSING_LINE);
}

void fatal_error(const char *message)
{
    DWORD error = GetLastError();
    char system_text[FATAL_REPORT_CAPACITY] = "";
    if (error != 0)
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), system_text, sizeof system_text, NULL);
    static char report[FATAL_REPORT_CAPACITY];
    build_fatal_report(report, sizeof report, message, error, system_text);
    HWND owner = IsWindow(main_window) ? main_window : NULL;
    MessageBoxA(owner, report, "Terminate Program", MB_ICONWARNING);
    Beep(200, 1000);
    exit(1);
}
