#include "report.h"

#include <stdarg.h>
#include <stdio.h>

#include "platform.h"

static char status_buffer[STATUS_CAPACITY];

void trace(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
}

void set_status(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(status_buffer, sizeof status_buffer, format, args);
    va_end(args);
    show_status(status_buffer);
}

const char *status_text(void)
{
    return status_buffer;
}
