#include "virtual_line.h"

#include <string.h>

enum { BITS_PER_BYTE = 11 };

static const uint64_t US_PER_S = 1000000u;

// End of the k-th byte (from 1) of a burst starting at `start`; computed from the start each
// time so that a long burst keeps the exact rate instead of summing rounded byte times.
static uint64_t burst_end(const virtual_line *line, uint64_t start, uint64_t k)
{
    return start + k * BITS_PER_BYTE * US_PER_S / line->baud;
}

static void queue_push(virtual_line *line, line_queue *q, uint64_t at_us, uint8_t value)
{
    if (q->count == LINE_QUEUE_CAPACITY) {
        q->head = (q->head + 1) % LINE_QUEUE_CAPACITY;
        q->count--;
        line->bytes_overflowed++;
    }
    line_byte *b = &q->bytes[(q->head + q->count) % LINE_QUEUE_CAPACITY];
    b->at_us = at_us;
    b->value = value;
    q->count++;
}

static const line_byte *queue_front(const line_queue *q)
{
    return q->count > 0 ? &q->bytes[q->head] : nullptr;
}

static const line_byte *queue_back(const line_queue *q)
{
    return q->count > 0 ? &q->bytes[(q->head + q->count - 1) % LINE_QUEUE_CAPACITY] : nullptr;
}

static void queue_pop_front(line_queue *q)
{
    q->head = (q->head + 1) % LINE_QUEUE_CAPACITY;
    q->count--;
}

uint64_t line_byte_us(const virtual_line *line)
{
    return (BITS_PER_BYTE * US_PER_S + line->baud / 2) / line->baud;
}

void line_init(virtual_line *line, const device_faults *faults, uint64_t start_us)
{
    memset(line, 0, sizeof *line);
    line->now_us = start_us;
    line->baud = 115200;
    line->to_device_free_us = start_us;
    line->to_tool_free_us = start_us;
    line->attached = true;
    device_init(&line->device, faults, start_us);
}

static void send_reply(virtual_line *line, const device_reply *r)
{
    if (!line->attached || r->length <= 0)
        return;
    // An echo is the tool's own signal seen on the shared wire: it ends as the sent bytes end.
    uint64_t ready = r->ready_us;
    uint64_t echo_us = burst_end(line, 0, (uint64_t)r->length);
    if (r->answers == 0)
        ready = ready > echo_us ? ready - echo_us : 0;
    uint64_t start = ready > line->to_tool_free_us ? ready : line->to_tool_free_us;
    for (int32_t k = 0; k < r->length; k++)
        queue_push(line, &line->to_tool, burst_end(line, start, (uint64_t)k + 1), r->bytes[k]);
    line->to_tool_free_us = burst_end(line, start, (uint64_t)r->length);
}

// The next moment something happens on the line: a byte reaches the device or a reply is ready.
static uint64_t next_event(const virtual_line *line)
{
    const line_byte *b = queue_front(&line->to_device);
    uint64_t next = device_next_ready(&line->device);
    if (b && b->at_us < next)
        next = b->at_us;
    return next;
}

void line_advance_to(virtual_line *line, uint64_t at_us)
{
    for (;;) {
        const line_byte *b = queue_front(&line->to_device);
        uint64_t byte_at = b ? b->at_us : UINT64_MAX;
        uint64_t reply_at = device_next_ready(&line->device);
        device_reply r;
        // Replies already due go first: they were made before this byte arrived.
        if (reply_at <= byte_at && reply_at <= at_us && device_take_reply(&line->device, reply_at, &r)) {
            send_reply(line, &r);
        } else if (byte_at <= at_us) {
            // One byte per call, so a request completes exactly when its last byte arrives.
            uint8_t value = b->value;
            queue_pop_front(&line->to_device);
            if (line->attached)
                device_receive(&line->device, &value, 1, byte_at);
        } else {
            break;
        }
    }
    if (!line->attached) {
        for (const line_byte *t = queue_front(&line->to_tool); t && t->at_us <= at_us; t = queue_front(&line->to_tool))
            queue_pop_front(&line->to_tool);
    }
    if (at_us > line->now_us)
        line->now_us = at_us;
}

void line_tool_write(virtual_line *line, const uint8_t *bytes, int32_t count)
{
    if (!line->attached || count <= 0)
        return;
    uint64_t start = line->now_us > line->to_device_free_us ? line->now_us : line->to_device_free_us;
    for (int32_t i = 0; i < count; i++)
        queue_push(line, &line->to_device, burst_end(line, start, (uint64_t)i + 1), bytes[i]);
    line->to_device_free_us = burst_end(line, start, (uint64_t)count);
    line->tool_bytes_sent += (uint64_t)count;
}

int32_t line_tool_read(virtual_line *line, uint8_t *buffer, int32_t capacity, uint32_t interval_ms,
                       uint32_t total_ms)
{
    uint64_t start = line->now_us;
    uint64_t end_limit = start + (uint64_t)total_ms * 1000u;
    if (capacity <= 0)
        return 0;
    if (!line->attached) {
        line_advance_to(line, end_limit);
        return 0;
    }
    int32_t count = 0;
    uint64_t last_at = 0;
    uint64_t end = end_limit;
    for (;;) {
        uint64_t deadline = end_limit;
        if (count > 0 && interval_ms > 0 && last_at + (uint64_t)interval_ms * 1000u < deadline)
            deadline = last_at + (uint64_t)interval_ms * 1000u;
        // Bytes to the tool are scheduled in order, so the front one is the next to arrive;
        // anything the device sends later is scheduled after it.
        const line_byte *b = queue_front(&line->to_tool);
        if (b && b->at_us <= deadline) {
            uint64_t at = b->at_us > line->now_us ? b->at_us : line->now_us;
            buffer[count++] = b->value;
            queue_pop_front(&line->to_tool);
            line_advance_to(line, at);
            last_at = at;
            if (count == capacity) {
                end = at;
                break;
            }
            continue;
        }
        uint64_t next = next_event(line);
        if (next > deadline) {
            end = deadline;
            break;
        }
        line_advance_to(line, next);
    }
    line_advance_to(line, end);
    line->tool_bytes_received += (uint64_t)count;
    return count;
}

void line_tool_purge(virtual_line *line)
{
    // What has reached the PC's driver is thrown away; what is still on the wire comes later.
    for (const line_byte *t = queue_front(&line->to_tool); t && t->at_us <= line->now_us; t = queue_front(&line->to_tool))
        queue_pop_front(&line->to_tool);
    // A byte whose transmission has started finishes; the ones behind it are discarded.
    uint64_t byte_us = line_byte_us(line);
    for (const line_byte *b = queue_back(&line->to_device); b && b->at_us > line->now_us + byte_us;
         b = queue_back(&line->to_device))
        line->to_device.count--;
    const line_byte *last = queue_back(&line->to_device);
    line->to_device_free_us = last ? last->at_us : line->now_us;
}

void line_tool_flush(virtual_line *line)
{
    line_advance_to(line, line->to_device_free_us);
}
