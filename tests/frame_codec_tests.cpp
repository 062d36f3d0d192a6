#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "frame_codec.h"
#include "updater.h"

namespace {

struct codec_fixture : ::testing::Test {
    uint8_t buffer[FRAME_CAPACITY] = {};
    updater u = {};
    void SetUp() override
    {
        u.frame = buffer;
        u.frame_capacity = FRAME_CAPACITY;
        u.unit_address = UNIT_ADDRESS;
    }
    std::vector<uint8_t> frame() const { return std::vector<uint8_t>(buffer, buffer + u.frame_length); }
    void receive(const std::vector<uint8_t> &bytes)
    {
        if (!bytes.empty())
            memcpy(buffer, bytes.data(), bytes.size());
        u.frame_length = (int32_t)bytes.size();
    }
};

TEST(Crc16, MatchesModbusCheckValueAndEmptyInput)
{
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16(digits, 9), 0x4B37);
    EXPECT_EQ(crc16(digits, 0), 0xFFFF);
    EXPECT_EQ(crc16(digits, -5), 0xFFFF);
}

TEST_F(codec_fixture, BuildsTheRequestFramesByteForByte)
{
    build_query_frame(&u, FLASH_BASE, PROBE_LENGTH);
    EXPECT_EQ(frame(), (std::vector<uint8_t>{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00,
                                             0x04, 0x42, 0x5A}));
    build_query_frame(&u, FLASH_BASE, 0x1C400);
    EXPECT_EQ(frame(), (std::vector<uint8_t>{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0xC4,
                                             0x00, 0x40, 0x99}));
    build_reset_frame(&u);
    EXPECT_EQ(frame(), (std::vector<uint8_t>{0x04, 0x2B, 0xF7, 0x6F, 0x77}));
}

TEST_F(codec_fixture, BlockFrameCarriesAddressLengthDataAndChecksum)
{
    uint8_t data[BLOCK_SIZE];
    for (int i = 0; i < BLOCK_SIZE; i++)
        data[i] = (uint8_t)(i * 7);
    build_block_frame(&u, 0x08020000, data, BLOCK_SIZE);
    ASSERT_EQ(u.frame_length, 1035);
    EXPECT_EQ(frame()[2], MEI_WRITE_BLOCK);
    EXPECT_EQ(std::vector<uint8_t>(buffer + 3, buffer + 9),
              (std::vector<uint8_t>{0x08, 0x02, 0x00, 0x00, 0x04, 0x00}));
    EXPECT_EQ(memcmp(buffer + 9, data, BLOCK_SIZE), 0);
    EXPECT_TRUE(reply_is_valid(&u)); // the checksum covers the whole frame, low byte first

    build_block_frame(&u, FLASH_BASE, data, 3);
    EXPECT_EQ(u.frame_length, 14);
    EXPECT_EQ(buffer[7], 0x00);
    EXPECT_EQ(buffer[8], 0x03);
}

TEST_F(codec_fixture, RefusesABlockThatDoesNotFitTheBuffer)
{
    static uint8_t data[2 * BLOCK_SIZE];
    build_block_frame(&u, FLASH_BASE, data, BLOCK_SIZE + 1);
    EXPECT_EQ(u.frame_length, 0);
    u.frame_capacity = 100; // a smaller buffer is respected too
    build_block_frame(&u, FLASH_BASE, data, 90);
    EXPECT_EQ(u.frame_length, 0);
}

TEST_F(codec_fixture, ReplyValidityLooksOnlyAtLengthAndChecksum)
{
    uint16_t two = crc16((const uint8_t *)"\x11\x22", 2);
    struct {
        const char *name;
        std::vector<uint8_t> bytes;
        bool valid;
    } cases[] = {
        {"three bytes", {0x01, 0x80, 0x7E}, false},
        {"three bytes ending in the crc of the first", {0x00, 0xBF, 0x40}, false},
        {"four bytes with the crc of two", {0x11, 0x22, (uint8_t)two, (uint8_t)(two >> 8)}, true},
        {"checksum high byte first", {0x11, 0x22, (uint8_t)(two >> 8), (uint8_t)two}, false},
        {"reset acknowledgement", {0x04, 0x2B, 0xF7, 0x6F, 0x77}, true},
        {"echo of the probe", {0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04, 0x42, 0x5A}, true},
        {"one bit flipped", {0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x01, 0x04, 0x42, 0x5A}, false},
        {"empty", {}, false},
    };
    for (const auto &c : cases) {
        receive(c.bytes);
        EXPECT_EQ(reply_is_valid(&u), c.valid) << c.name;
    }
    // Another unit address, function and MEI type with a right checksum is still accepted.
    std::vector<uint8_t> other = {0x07, 0x10, 0x01, 0x02};
    uint16_t crc = crc16(other.data(), 4);
    other.push_back((uint8_t)crc);
    other.push_back((uint8_t)(crc >> 8));
    receive(other);
    EXPECT_TRUE(reply_is_valid(&u));
    // A length beyond the buffer is never trusted.
    u.frame_length = FRAME_CAPACITY + 1;
    EXPECT_FALSE(reply_is_valid(&u));
}

} // namespace
