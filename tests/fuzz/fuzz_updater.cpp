// Fuzz target: arbitrary bytes from the port into poll_updater, from every state, with an
// arbitrary clock, and arbitrary buffers and lengths into reply_is_valid. Built with libFuzzer
// (scripts/fuzz.sh) and, for the regression run over the corpus, with replay_main.cpp.
#include <stdio.h>
#include <string.h>

#include "frame_codec.h"
#include "platform.h"
#include "updater.h"

namespace {

enum { IMAGE_BLOCKS = 4 };

struct input {
    const uint8_t *data;
    size_t size;
    size_t at;
};

input in;
uint32_t now;
uint8_t image[IMAGE_BLOCKS * BLOCK_SIZE];
uint8_t frame[FRAME_CAPACITY];
updater u;

uint32_t take(size_t bytes)
{
    uint32_t value = 0;
    for (size_t i = 0; i < bytes && in.at < in.size; i++)
        value = value << 8 | in.data[in.at++];
    return value;
}

} // namespace

int32_t read_port(port_handle, uint8_t *buffer, int32_t capacity)
{
    int32_t want = (int32_t)take(2) % (FRAME_CAPACITY + 1);
    int32_t count = 0;
    while (count < want && count < capacity && in.at < in.size)
        buffer[count++] = in.data[in.at++];
    now += take(1); // the read's own time
    return count;
}

int32_t write_port(port_handle, const uint8_t *, int32_t count) { return count; }
void purge_port(port_handle) {}
void flush_port(port_handle) {}
uint32_t tick_count(void) { return now; }
void sleep_ms(uint32_t milliseconds) { now += milliseconds; }
void show_status(const char *) {}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The trace is not what is fuzzed; writing it would only slow the runs down.
    if (freopen("/dev/null", "w", stdout) == NULL)
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    in.data = data;
    in.size = size;
    in.at = 0;
    for (size_t i = 0; i < sizeof image; i++)
        image[i] = (uint8_t)(i * 13);

    // Any frame length at all, against any bytes, must be judged without reading outside.
    memset(frame, 0, sizeof frame);
    u.frame = frame;
    u.frame_capacity = FRAME_CAPACITY;
    u.frame_length = (int32_t)take(4);
    for (size_t i = 0; i < sizeof frame && in.at < in.size && i < 32; i++)
        frame[i] = data[in.at++];
    (void)reply_is_valid(&u);

    // A state as the engine itself leaves it, then polls fed from the input.
    u.unit_address = UNIT_ADDRESS;
    u.port = 0;
    u.image = image;
    u.image_size = (int32_t)(1 + take(1) % IMAGE_BLOCKS) * BLOCK_SIZE;
    u.flash_base = FLASH_BASE;
    u.block_length = BLOCK_SIZE;
    u.offset = (int32_t)(take(1) % (uint32_t)(u.image_size / BLOCK_SIZE)) * BLOCK_SIZE;
    u.reply_timeout = take(1) & 1 ? DATA_REPLY_TIMEOUT_MS : LINK_REPLY_TIMEOUT_MS;
    now = take(4);
    u.last_send = now - take(2);
    u.state = (update_state)(take(1) % 9); // 8 is no state at all: nothing must happen
    while (in.at < in.size) {
        poll_updater(&u);
        now += 10 + take(1);
    }
    return 0;
}
