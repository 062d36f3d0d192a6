#include "device_model.h"

#include <string.h>

static uint32_t next_random(device_model *d)
{
    uint32_t x = d->random_state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    d->random_state = x;
    return x;
}

// Rates of 0 and 1 never consult the generator, so switching one fault on leaves the others'
// draws where they were.
static bool chance(device_model *d, double rate)
{
    if (rate <= 0.0)
        return false;
    if (rate >= 1.0)
        return true;
    return (double)(next_random(d) >> 8) / 16777216.0 < rate;
}

static uint32_t random_below(device_model *d, uint32_t n)
{
    return n == 0 ? 0 : next_random(d) % n;
}

static uint32_t read_be32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

static uint16_t crc16_update(uint16_t crc, uint8_t byte)
{
    crc ^= byte;
    for (int bit = 0; bit < 8; bit++)
        crc = (crc & 1u) ? (uint16_t)((crc >> 1) ^ 0xA001u) : (uint16_t)(crc >> 1);
    return crc;
}

uint16_t device_crc16(const uint8_t *bytes, int32_t count)
{
    uint16_t crc = 0xFFFF;
    for (int32_t i = 0; i < count; i++)
        crc = crc16_update(crc, bytes[i]);
    return crc;
}

uint16_t device_flash_crc(const device_model *d, uint32_t address, uint32_t length)
{
    uint16_t crc = 0xFFFF;
    for (uint64_t a = address; a < (uint64_t)address + length; a++) {
        uint8_t byte = 0xFF;
        if (a >= DEVICE_FLASH_BASE && a - DEVICE_FLASH_BASE < DEVICE_FLASH_SIZE)
            byte = d->flash[a - DEVICE_FLASH_BASE];
        crc = crc16_update(crc, byte);
    }
    return crc;
}

static bool frame_crc_ok(const uint8_t *frame, int32_t length)
{
    uint16_t crc = device_crc16(frame, length - 2);
    return frame[length - 2] == (uint8_t)crc && frame[length - 1] == (uint8_t)(crc >> 8);
}

static void append_crc(uint8_t *frame, int32_t length_before_crc)
{
    uint16_t crc = device_crc16(frame, length_before_crc);
    frame[length_before_crc] = (uint8_t)crc;
    frame[length_before_crc + 1] = (uint8_t)(crc >> 8);
}

void device_default_faults(device_faults *faults)
{
    memset(faults, 0, sizeof *faults);
    faults->late_ms = 5500;
    faults->stuck_offset = -1;
}

void device_init(device_model *d, const device_faults *faults, uint64_t now_us)
{
    memset(d, 0, sizeof *d);
    if (faults)
        d->faults = *faults;
    else
        device_default_faults(&d->faults);
    d->start_us = now_us;
    d->last_rx_us = now_us;
    // Spread the seed so that seed 0 and neighbouring seeds give unrelated, non-zero states.
    uint32_t x = (d->faults.seed ^ 0x9E3779B9u) * 0x85EBCA6Bu;
    x ^= x >> 16;
    d->random_state = x != 0 ? x : 0x2545F491u;
    memset(d->flash, 0xFF, sizeof d->flash);
}

static bool queue_reply(device_model *d, const device_reply *r)
{
    if (d->pending_count >= DEVICE_MAX_PENDING) {
        d->stats.replies_overflowed++;
        return false;
    }
    d->pending[d->pending_count++] = *r;
    return true;
}

// The adapter hands back what the tool sends, byte for byte, whatever the device makes of it.
static void queue_echo(device_model *d, const uint8_t *bytes, int32_t count, uint64_t now_us)
{
    while (count > 0) {
        device_reply r;
        memset(&r, 0, sizeof r);
        r.ready_us = now_us;
        r.answers = 0;
        r.length = count < DEVICE_MAX_REPLY ? count : DEVICE_MAX_REPLY;
        memcpy(r.bytes, bytes, (size_t)r.length);
        queue_reply(d, &r);
        bytes += r.length;
        count -= r.length;
    }
}

// Applies the reply faults to a well-formed answer and queues what is left of it.
static void send_answer(device_model *d, const uint8_t *frame, int32_t length, uint8_t mei,
                        uint64_t ready_us)
{
    if (chance(d, d->faults.drop_rate)) {
        d->stats.replies_dropped++;
        return;
    }
    device_reply r;
    memset(&r, 0, sizeof r);
    r.ready_us = ready_us;
    r.answers = mei;
    if (mei == DEVICE_MEI_BLOCK && chance(d, d->faults.late_rate)) {
        r.ready_us += (uint64_t)d->faults.late_ms * 1000u;
        d->stats.replies_late++;
    }
    int32_t noise = 0;
    if (chance(d, d->faults.noise_rate))
        noise = 1 + (int32_t)random_below(d, DEVICE_MAX_NOISE);
    memcpy(r.bytes + noise, frame, (size_t)length);
    r.length = noise + length;
    if (chance(d, d->faults.corrupt_rate)) {
        // One flipped bit is always caught by the CRC, so the tool never takes it for good.
        int32_t at = noise + (int32_t)random_below(d, (uint32_t)length);
        r.bytes[at] ^= (uint8_t)(1u << random_below(d, 8));
        d->stats.replies_corrupted++;
    }
    if (noise > 0) {
        for (int32_t i = 0; i < noise; i++)
            r.bytes[i] = (uint8_t)next_random(d);
        // Noise that happens to make the whole burst a valid frame would hide the fault.
        while (frame_crc_ok(r.bytes, r.length))
            r.bytes[0]++;
        d->stats.replies_noisy++;
    }
    queue_reply(d, &r);
}

static bool in_flash(uint32_t address, uint32_t length)
{
    return address >= DEVICE_FLASH_BASE &&
           (uint64_t)(address - DEVICE_FLASH_BASE) + length <= DEVICE_FLASH_SIZE;
}

static void answer_query(device_model *d, const uint8_t *frame, uint64_t now_us)
{
    uint32_t address = read_be32(frame + 3);
    uint32_t length = read_be32(frame + 7);
    if (!in_flash(address, length)) {
        d->stats.bad_frames++;
        return;
    }
    if (length == DEVICE_PROBE_LENGTH) {
        d->stats.probes++;
        if (d->stats.probes <= d->faults.plug_in_after_probes)
            return;
    } else {
        if (d->stats.probes < d->faults.plug_in_after_probes)
            return;
        d->stats.queries++;
        d->queried = true;
        d->query_address = address;
        d->query_length = length;
    }
    uint16_t crc = device_flash_crc(d, address, length);
    uint8_t reply[DEVICE_QUERY_REPLY_LENGTH];
    memcpy(reply, frame, 11);
    reply[11] = (uint8_t)(crc >> 8);
    reply[12] = (uint8_t)crc;
    append_crc(reply, 13);
    send_answer(d, reply, DEVICE_QUERY_REPLY_LENGTH, DEVICE_MEI_QUERY, now_us + d->faults.answer_us);
    if (length != DEVICE_PROBE_LENGTH && d->faults.stuck_once)
        d->faults.stuck_offset = -1;
}

static void program_block(device_model *d, const uint8_t *frame, int32_t n, uint64_t now_us)
{
    if (d->stats.probes < d->faults.plug_in_after_probes)
        return;
    uint32_t address = read_be32(frame + 3);
    if (!in_flash(address, (uint32_t)n)) {
        d->stats.bad_frames++;
        return;
    }
    uint32_t offset = address - DEVICE_FLASH_BASE;
    uint32_t last_page = (offset + (uint32_t)n - 1) / DEVICE_PAGE_SIZE;
    bool rewrite = false;
    // A page written before means the tool sent this block again (its acknowledgement was lost).
    for (uint32_t page = offset / DEVICE_PAGE_SIZE; page <= last_page; page++) {
        if (d->written[page])
            rewrite = true;
        d->written[page] = 1;
    }
    for (int32_t i = 0; i < n; i++) {
        if ((int64_t)offset + i != (int64_t)d->faults.stuck_offset)
            d->flash[offset + (uint32_t)i] = frame[9 + i];
    }
    d->stats.blocks++;
    if (rewrite)
        d->stats.rewrites++;
    if (offset + (uint32_t)n > d->stats.highest_written)
        d->stats.highest_written = offset + (uint32_t)n;

    uint8_t reply[DEVICE_BLOCK_REPLY_LENGTH];
    memcpy(reply, frame, 9);
    append_crc(reply, 9);
    send_answer(d, reply, DEVICE_BLOCK_REPLY_LENGTH, DEVICE_MEI_BLOCK,
                now_us + d->faults.program_us_per_block);
}

static void answer_reset(device_model *d, const uint8_t *frame, uint64_t now_us)
{
    if (d->stats.probes < d->faults.plug_in_after_probes)
        return;
    d->stats.resets++;
    uint8_t reply[DEVICE_RESET_REPLY_LENGTH];
    memcpy(reply, frame, 3);
    append_crc(reply, 3);
    send_answer(d, reply, DEVICE_RESET_REPLY_LENGTH, DEVICE_MEI_RESET, now_us + d->faults.answer_us);
}

static void drop_rx(device_model *d, int32_t count)
{
    memmove(d->rx, d->rx + count, (size_t)(d->rx_length - count));
    d->rx_length -= count;
}

// Length of the request starting at rx[0]: 0 while more bytes are needed to tell, -1 when the
// bytes cannot start a request (skip one as noise), -2 when the layout is impossible (bad frame).
static int32_t request_length(const device_model *d)
{
    if (d->rx_length >= 2 && d->rx[1] != DEVICE_FUNCTION)
        return -1;
    if (d->rx_length < 3)
        return 0;
    switch (d->rx[2]) {
    case DEVICE_MEI_QUERY:
        return DEVICE_QUERY_LENGTH;
    case DEVICE_MEI_RESET:
        return DEVICE_RESET_LENGTH;
    case DEVICE_MEI_BLOCK: {
        if (d->rx_length < 9)
            return 0;
        int32_t n = (d->rx[7] << 8) | d->rx[8];
        if (n == 0 || n > DEVICE_MAX_BLOCK)
            return -2;
        return DEVICE_BLOCK_OVERHEAD + n;
    }
    default:
        return -1;
    }
}

// Takes every complete request off the front of rx, resynchronising past anything else.
static void parse_requests(device_model *d, uint64_t now_us)
{
    while (d->rx_length > 0) {
        int32_t length = request_length(d);
        if (length == 0 || (length > 0 && d->rx_length < length))
            return;
        if (length == -1) {
            d->stats.noise_bytes++;
            drop_rx(d, 1);
            continue;
        }
        if (length == -2 || !frame_crc_ok(d->rx, length)) {
            d->stats.bad_frames++;
            drop_rx(d, 1);
            continue;
        }
        if (d->rx[0] != DEVICE_UNIT_ADDRESS)
            d->stats.bad_frames++;
        else if (d->rx[2] == DEVICE_MEI_QUERY)
            answer_query(d, d->rx, now_us);
        else if (d->rx[2] == DEVICE_MEI_BLOCK)
            program_block(d, d->rx, length - DEVICE_BLOCK_OVERHEAD, now_us);
        else
            answer_reset(d, d->rx, now_us);
        drop_rx(d, length);
    }
}

void device_receive(device_model *d, const uint8_t *bytes, int32_t count, uint64_t now_us)
{
    if (count <= 0)
        return;
    if (d->faults.echo)
        queue_echo(d, bytes, count, now_us);
    if (now_us < d->start_us + (uint64_t)d->faults.plug_in_delay_ms * 1000u)
        return;
    // The tool writes a request in one go, so a long silence inside one means it was never
    // a request (or its tail was lost): start afresh rather than wait for bytes that won't come.
    if (d->rx_length > 0 && now_us > d->last_rx_us + DEVICE_IDLE_RESET_US) {
        d->stats.noise_bytes += (uint32_t)d->rx_length;
        d->rx_length = 0;
    }
    d->last_rx_us = now_us;
    for (int32_t i = 0; i < count; i++) {
        if (d->rx_length == DEVICE_RX_CAPACITY) {
            d->stats.noise_bytes++;
            drop_rx(d, 1);
        }
        d->rx[d->rx_length++] = bytes[i];
        parse_requests(d, now_us);
    }
}

bool device_take_reply(device_model *d, uint64_t now_us, device_reply *out)
{
    int32_t best = -1;
    for (int32_t i = 0; i < d->pending_count; i++) {
        if (d->pending[i].ready_us <= now_us && (best < 0 || d->pending[i].ready_us < d->pending[best].ready_us))
            best = i;
    }
    if (best < 0)
        return false;
    *out = d->pending[best];
    for (int32_t i = best; i + 1 < d->pending_count; i++)
        d->pending[i] = d->pending[i + 1];
    d->pending_count--;
    if (out->answers != 0)
        d->stats.replies_sent++;
    return true;
}

uint64_t device_next_ready(const device_model *d)
{
    uint64_t next = UINT64_MAX;
    for (int32_t i = 0; i < d->pending_count; i++) {
        if (d->pending[i].ready_us < next)
            next = d->pending[i].ready_us;
    }
    return next;
}
