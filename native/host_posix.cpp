// The engine's clock and status field on Linux: the monotonic clock in milliseconds, a real
// sleep, and status texts as lines on standard error (the trace keeps standard output).
#include <stdio.h>
#include <time.h>

#include "platform.h"

uint32_t tick_count(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

void sleep_ms(uint32_t milliseconds)
{
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}

void show_status(const char *text)
{
    fprintf(stderr, "[status] %s\n", text);
}
