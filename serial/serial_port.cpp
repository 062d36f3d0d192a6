#include "serial_port.h"

#include <stdio.h>

static char port_table[PORT_TABLE_ROWS][PORT_PATH_CAPACITY];
static int rows_used;

void find_ports(HWND list_control)
{
    rows_used = 0;
    for (int n = 1; n <= LAST_PORT_PROBED; n++) {
        char *row = port_table[rows_used];
        snprintf(row, PORT_PATH_CAPACITY, "\\\\.\\com%d", n);
        // A port that is absent, or held open by another program, fails to open and is left out.
        FILE *probe = fopen(row, "r");
        if (probe == NULL)
            continue;
        fclose(probe);
        SendMessageA(list_control, CB_ADDSTRING, 0, (LPARAM)row);
        rows_used++;
    }
    SendMessageA(list_control, CB_SETCURSEL, 0, 0);
}

int port_count(void)
{
    return rows_used;
}

const char *port_path(int row)
{
    if (row < 0 || row >= rows_used)
        return NULL;
    return port_table[row];
}

HANDLE open_port(const char *path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

void fill_line_settings(DCB *dcb, COMMTIMEOUTS *timeouts, DWORD baud, DWORD read_interval_ms)
{
    dcb->BaudRate = baud;
    dcb->ByteSize = 8;
    dcb->Parity = EVENPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->fParity = FALSE; // even parity goes out, parity errors coming in are not reported
    dcb->fBinary = TRUE;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    // The adapter powers the device; its modem lines must stay quiet.
    dcb->fDtrControl = DTR_CONTROL_DISABLE;
    dcb->fRtsControl = RTS_CONTROL_DISABLE;
    dcb->fDsrSensitivity = FALSE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fTXContinueOnXoff = TRUE;
    dcb->fErrorChar = FALSE;
    dcb->fNull = FALSE;
    dcb->fAbortOnError = FALSE;

    // A read ends 20 ms after the last byte or 100 ms after it began: the device's replies
    // are told apart by that gap. Writes never time out.
    timeouts->ReadIntervalTimeout = read_interval_ms;
    timeouts->ReadTotalTimeoutMultiplier = 0;
    timeouts->ReadTotalTimeoutConstant = READ_TOTAL_TIMEOUT_MS;
    timeouts->WriteTotalTimeoutMultiplier = 0;
    timeouts->WriteTotalTimeoutConstant = 0;
}

int configure_port(HANDLE handle, DWORD baud, DWORD read_interval_ms)
{
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        fprintf(stderr, "Could not get Port State\n");
        return -1;
    }
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(handle, &timeouts)) {
        fprintf(stderr, "Could not read comm timeouts\n");
        return -1;
    }
    fill_line_settings(&dcb, &timeouts, baud, read_interval_ms);
    SetCommState(handle, &dcb);
    SetCommTimeouts(handle, &timeouts);
    SetCommMask(handle, 0);
    return 0;
}
