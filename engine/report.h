// The two reporting channels: the trace on standard output and the one-line status field.
#pragma once

#if defined(__GNUC__)
#define REPORT_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define REPORT_PRINTF(f, a)
#endif

// The longest status text is "Programming Completed OK"; the rest of the buffer is headroom
// for "programming 0x..." with any 32-bit address.
enum { STATUS_CAPACITY = 64 };

// printf-style to stdout; adds no line end of its own.
void trace(const char *format, ...) REPORT_PRINTF(1, 2);
// printf-style into the status buffer (cut to fit), then shown in the status field.
void set_status(const char *format, ...) REPORT_PRINTF(1, 2);
// The text the status field was last given.
const char *status_text(void);
