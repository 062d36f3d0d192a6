// The serial line and the device in virtual time: the tool's writes go out at 115200 baud,
// 11 bits a byte (start, 8 data, even parity, stop), reach the device model when their last
// bit has arrived, and the device's replies come back at the same rate. The tool side reads
// with the Win32 read timeouts the tool sets (interval and total timeout), so an update over
// this line costs what the timing alone costs, with no operating system in the way.
#pragma once

#include <stdint.h>

#include "device_model.h"

enum { LINE_QUEUE_CAPACITY = 8192 };

struct line_byte {
    uint64_t at_us; // when its last bit arrives
    uint8_t value;
};

struct line_queue {
    int32_t head;
    int32_t count;
    line_byte bytes[LINE_QUEUE_CAPACITY];
};

struct virtual_line {
    uint64_t now_us;
    uint32_t baud;
    uint64_t to_device_free_us; // when the tool's transmitter is idle again
    uint64_t to_tool_free_us;   // when the device's transmitter is idle again
    line_queue to_device;
    line_queue to_tool;
    bool attached;              // false: the adapter is unplugged, nothing crosses the line
    uint64_t tool_bytes_sent;
    uint64_t tool_bytes_received;
    uint64_t bytes_overflowed;  // bytes pushed out of a full queue (oldest first)
    device_model device;
};

// Wire time of one byte in microseconds at the line's baud rate (11 bits).
uint64_t line_byte_us(const virtual_line *line);
void line_init(virtual_line *line, const device_faults *faults, uint64_t start_us);
// Moves virtual time forward, delivering bytes and replies on the way.
void line_advance_to(virtual_line *line, uint64_t at_us);
// The tool writes: returns at once (the adapter buffers); the bytes go out at line rate.
void line_tool_write(virtual_line *line, const uint8_t *bytes, int32_t count);
// The tool reads with the Win32 read timeouts: waits up to `total_ms` for the first byte,
// returns when `interval_ms` pass after a byte with no further one, when `total_ms` have passed
// since the call, or when `capacity` bytes came. Moves virtual time to the read's end; bytes
// arriving later stay queued. An interval of 0 is not used; a total of 0 takes only what has
// already arrived (a virtual read cannot wait for ever).
int32_t line_tool_read(virtual_line *line, uint8_t *buffer, int32_t capacity, uint32_t interval_ms,
                       uint32_t total_ms);
// Drops what has arrived at the tool unread and what the tool has written that is not yet on
// the wire (purge of both queues).
void line_tool_purge(virtual_line *line);
// Moves virtual time to when everything the tool wrote has been sent.
void line_tool_flush(virtual_line *line);
