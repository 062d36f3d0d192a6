// A serial port on POSIX (a tty or pseudo-terminal) with the line settings and read timing the
// Windows tool uses, so the update engine runs natively against the simulated device.
#pragma once

#include "platform.h"

// Opens `path` read-write and sets it raw at `baud`, 8 data bits, even parity, one stop bit, no
// flow control. Returns INVALID_HANDLE_VALUE on failure.
port_handle open_posix_port(const char *path, uint32_t baud);
void close_posix_port(port_handle handle);
