#include <gtest/gtest.h>

#include "serial_port.h"
#include "wine_ports.h"

// A pseudo-terminal ignores parity and modem lines, so what the tool asks for is checked in
// the device control block it builds; that the calls succeed is checked on a real port.
TEST(LineSettings, AsksFor115200EvenParityNoFlowControlAndTheReadTimeouts)
{
    DCB dcb;
    memset(&dcb, 0xFF, sizeof dcb); // every field set, so each one the tool clears shows
    dcb.XonChar = 0x11;
    dcb.EofChar = 0x1A;
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0xFF, sizeof timeouts);
    fill_line_settings(&dcb, &timeouts, 115200, 20);

    struct {
        const char *field;
        DWORD got, want;
    } fields[] = {
        {"BaudRate", dcb.BaudRate, 115200},
        {"ByteSize", dcb.ByteSize, 8},
        {"Parity", dcb.Parity, EVENPARITY},
        {"StopBits", dcb.StopBits, ONESTOPBIT},
        {"fParity", dcb.fParity, 0},
        {"fBinary", dcb.fBinary, 1},
        {"fOutxCtsFlow", dcb.fOutxCtsFlow, 0},
        {"fOutxDsrFlow", dcb.fOutxDsrFlow, 0},
        {"fDtrControl", dcb.fDtrControl, DTR_CONTROL_DISABLE},
        {"fRtsControl", dcb.fRtsControl, RTS_CONTROL_DISABLE},
        {"fDsrSensitivity", dcb.fDsrSensitivity, 0},
        {"fOutX", dcb.fOutX, 0},
        {"fInX", dcb.fInX, 0},
        {"fTXContinueOnXoff", dcb.fTXContinueOnXoff, 1},
        {"fErrorChar", dcb.fErrorChar, 0},
        {"fNull", dcb.fNull, 0},
        {"fAbortOnError", dcb.fAbortOnError, 0},
        {"XonChar (kept)", (DWORD)(BYTE)dcb.XonChar, 0x11},
        {"EofChar (kept)", (DWORD)(BYTE)dcb.EofChar, 0x1A},
        {"ReadIntervalTimeout", timeouts.ReadIntervalTimeout, 20},
        {"ReadTotalTimeoutMultiplier", timeouts.ReadTotalTimeoutMultiplier, 0},
        {"ReadTotalTimeoutConstant", timeouts.ReadTotalTimeoutConstant, 100},
        {"WriteTotalTimeoutMultiplier", timeouts.WriteTotalTimeoutMultiplier, 0},
        {"WriteTotalTimeoutConstant", timeouts.WriteTotalTimeoutConstant, 0},
    };
    for (const auto &f : fields)
        EXPECT_EQ(f.got, f.want) << f.field;
}

TEST(LineSettings, ConfiguresARealPortAndReadsBackTheTimeouts)
{
    HANDLE port = open_port(DEVICE_PORT);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(configure_port(port, 115200, 20), 0);
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    COMMTIMEOUTS timeouts;
    ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 20u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
    CloseHandle(port);
}

TEST(LineSettings, ReportsAHandleThatIsNoPort)
{
    HANDLE file = CreateFileA("line_settings_not_a_port.tmp", GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(configure_port(file, 115200, 20), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not get Port State\n");
    CloseHandle(file);
}
