#include <gtest/gtest.h>

#include "frame_codec.h"
#include "platform.h"
#include "serial_port.h"
#include "updater.h"
#include "wine_ports.h"

// The replies are framed by the port's read time-outs alone; these show that Wine applies
// them as Windows does. Tolerances are wide: the tick counter moves in 16 ms steps here.
static double elapsed_ms(LARGE_INTEGER since)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)(now.QuadPart - since.QuadPart) * 1000.0 / (double)frequency.QuadPart;
}

TEST(ReadTimeouts, EmptyReadEndsAfterAbout100MsAndAReplyComesBackWhole)
{
    HANDLE port = open_port(DEVICE_PORT);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    configure_port(port, 115200, 20);
    purge_port(port);

    uint8_t buffer[FRAME_CAPACITY];
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    EXPECT_EQ(read_port(port, buffer, FRAME_CAPACITY), 0);
    double empty = elapsed_ms(start);
    EXPECT_GT(empty, 80.0);
    EXPECT_LT(empty, 250.0);

    static uint8_t frame[FRAME_CAPACITY];
    updater u = {};
    u.frame = frame;
    u.frame_capacity = FRAME_CAPACITY;
    u.unit_address = UNIT_ADDRESS;
    build_query_frame(&u, FLASH_BASE, PROBE_LENGTH);
    write_port(port, u.frame, u.frame_length);
    QueryPerformanceCounter(&start);
    u.frame_length = read_port(port, u.frame, u.frame_capacity);
    double reply = elapsed_ms(start);
    EXPECT_EQ(u.frame_length, 15) << "the device's whole answer in one read";
    EXPECT_TRUE(reply_is_valid(&u));
    // Ended by the 20 ms silence after the answer, well before the 100 ms total.
    EXPECT_GT(reply, 15.0);
    EXPECT_LT(reply, 90.0);
    CloseHandle(port);
}
