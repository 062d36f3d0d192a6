// Modbus RTU frames with function 0x2B (Encapsulated Interface Transport) and the device's
// own MEI types: the CRC, the three request layouts and the test a reply must pass.
#pragma once

#include <stdint.h>

struct updater;

enum {
    FRAME_CAPACITY = 1040,
    UNIT_ADDRESS = 4,
    FUNCTION_EIT = 0x2B,
    MEI_WRITE_BLOCK = 0xF5,
    MEI_QUERY = 0xF6,
    MEI_RESET = 0xF7,
    QUERY_FRAME_LENGTH = 13,
    BLOCK_FRAME_OVERHEAD = 11, // header, address, length and checksum around the data
    RESET_FRAME_LENGTH = 5,
    MIN_REPLY_LENGTH = 4
};

// CRC-16/MODBUS; a count of zero or less gives 0xFFFF.
uint16_t crc16(const uint8_t *bytes, int32_t count);

// Each builder writes its frame into the updater's frame buffer, sets the frame length and
// appends the checksum. A block that would not fit the buffer leaves an empty frame.
void build_query_frame(updater *u, uint32_t address, uint32_t length);
void build_block_frame(updater *u, uint32_t address, const uint8_t *data, int32_t n);
void build_reset_frame(updater *u);

// A received frame is acceptable when it holds at least 4 bytes and ends in the CRC of the
// bytes before it, low byte first. Nothing else in it is looked at.
bool reply_is_valid(const updater *u);
