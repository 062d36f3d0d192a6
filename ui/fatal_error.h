// The one report of a failure the tool cannot go on from: a message box, a low beep, exit 1.
#pragma once

#include <stddef.h>

enum { FATAL_REPORT_CAPACITY = 1000 };

// Lays out the report in `report` (never past `capacity`, always ending in the closing line).
// With an error number of 0 there is no error line and no system text; a system text that
// does not fit is cut. Returns the report's length.
size_t build_fatal_report(char *report, size_t capacity, const char *message, unsigned long error,
                          const char *system_text);

// Never returns.
void fatal_error(const char *message);
