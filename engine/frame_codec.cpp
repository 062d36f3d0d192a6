#include "frame_codec.h"

#include <string.h>

#include "updater.h"

uint16_t crc16(const uint8_t *bytes, int32_t count)
{
    uint16_t crc = 0xFFFF;
    for (int32_t i = 0; i < count; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++) {
            if (crc & 1)
                crc = (uint16_t)((crc >> 1) ^ 0xA001);
            else
                crc = (uint16_t)(crc >> 1);
        }
    }
    return crc;
}

static void put_be32(uint8_t *at, uint32_t value)
{
    at[0] = (uint8_t)(value >> 24);
    at[1] = (uint8_t)(value >> 16);
    at[2] = (uint8_t)(value >> 8);
    at[3] = (uint8_t)value;
}

static void put_be16(uint8_t *at, uint32_t value)
{
    at[0] = (uint8_t)(value >> 8);
    at[1] = (uint8_t)value;
}

// Header and checksum are the same for every request; the checksum alone goes low byte first.
static void put_header(updater *u, uint8_t mei_type)
{
    u->frame[0] = (uint8_t)u->unit_address;
    u->frame[1] = FUNCTION_EIT;
    u->frame[2] = mei_type;
}

static void seal_frame(updater *u, int32_t length)
{
    u->frame_length = length;
    uint16_t crc = crc16(u->frame, length - 2);
    u->frame[length - 2] = (uint8_t)(crc & 0xFF);
    u->frame[length - 1] = (uint8_t)(crc >> 8);
}

void build_query_frame(updater *u, uint32_t address, uint32_t length)
{
    put_header(u, MEI_QUERY);
    put_be32(&u->frame[3], address);
    put_be32(&u->frame[7], length);
    seal_frame(u, QUERY_FRAME_LENGTH);
}

void build_block_frame(updater *u, uint32_t address, const uint8_t *data, int32_t n)
{
    if (n < 0 || n > BLOCK_SIZE || n + BLOCK_FRAME_OVERHEAD > u->frame_capacity) {
        u->frame_length = 0;
        return;
    }
    put_header(u, MEI_WRITE_BLOCK);
    put_be32(&u->frame[3], address);
    put_be16(&u->frame[7], (uint32_t)n);
    if (n > 0)
        memcpy(&u->frame[9], data, (size_t)n);
    seal_frame(u, n + BLOCK_FRAME_OVERHEAD);
}

void build_reset_frame(updater *u)
{
    put_header(u, MEI_RESET);
    seal_frame(u, RESET_FRAME_LENGTH);
}

bool reply_is_valid(const updater *u)
{
    int32_t n = u->frame_length;
    if (n < MIN_REPLY_LENGTH || n > u->frame_capacity)
        return false;
    uint32_t stored = u->frame[n - 2] + 256u * u->frame[n - 1];
    return crc16(u->frame, n - 2) == stored;
}
