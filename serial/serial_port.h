// COM ports on Win32: which ones can be opened, opening one for this tool alone, and the line
// settings and read time-outs on which the framing of replies rests.
#pragma once

#include <windows.h>

enum {
    PORT_TABLE_ROWS = 999,
    PORT_PATH_CAPACITY = 256,
    LAST_PORT_PROBED = 998,
    READ_TOTAL_TIMEOUT_MS = 100
};

// Probes COM1 .. COM998 and fills the port table and the list control, in the same order.
void find_ports(HWND list_control);
// Rows found by find_ports; a row's device path, or null for an index that names no row.
int port_count(void);
const char *port_path(int row);

// Read-write, no sharing, synchronous; INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE open_port(const char *path);
// 8 data bits, even parity, one stop bit, no flow control, DTR and RTS off, and the read
// time-outs; 0 on success, -1 when the port's state or time-outs cannot be read.
int configure_port(HANDLE handle, DWORD baud, DWORD read_interval_ms);
// The settings configure_port asks for, written into what the port reported.
void fill_line_settings(DCB *dcb, COMMTIMEOUTS *timeouts, DWORD baud, DWORD read_interval_ms);
