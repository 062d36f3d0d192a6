// A model of the device's bootloader on the far end of the serial line: it parses requests by
// their layouts, keeps the flash, answers each request with a frame of its own layout, and can
// misbehave in the ways a real line and a real device do. Pure logic, no I/O: every call
// carries the time in microseconds, and replies come back with the time they are ready to go.
#pragma once

#include <stdint.h>

enum {
    DEVICE_FLASH_SIZE = 512 * 1024,   // flash from FLASH_BASE on, erased to 0xFF
    DEVICE_MAX_REPLY = 64,            // longest reply, noise bytes included
    DEVICE_RX_CAPACITY = 2048,        // bytes of an unfinished request kept while parsing
    DEVICE_MAX_PENDING = 8            // replies waiting for their time to go out
};

struct device_faults {
    uint32_t seed;                 // for every random choice below
    uint32_t plug_in_delay_ms;     // silent (hears nothing) until this long after start
    uint32_t plug_in_after_probes; // silent for the first N contact probes it hears
    double drop_rate;              // share of replies never sent
    double corrupt_rate;           // share of replies with one byte flipped
    double noise_rate;             // share of replies preceded by 1..8 random bytes
    double late_rate;              // share of block acknowledgements held back...
    uint32_t late_ms;              // ...this long (default 5500, beyond the tool's 5000 ms wait)
    bool echo;                     // every request byte comes back as it is sent (half duplex)
    int32_t stuck_offset;          // flash byte at this image offset never programs (-1: none)
    uint32_t program_us_per_block; // time to program one block before the acknowledgement
    uint32_t answer_us;            // time to answer any other request
};

struct device_stats {
    uint32_t probes;        // queries of PROBE_LENGTH bytes
    uint32_t blocks;        // block frames accepted
    uint32_t rewrites;      // blocks written again at an address already written
    uint32_t queries;       // other queries (verify)
    uint32_t resets;        // reset frames
    uint32_t bad_frames;    // frames dropped for a bad checksum or layout
    uint32_t noise_bytes;   // bytes skipped while resynchronising
    uint32_t replies_sent;
    uint32_t replies_dropped;
    uint32_t replies_corrupted;
    uint32_t replies_late;
    uint32_t highest_written; // one past the highest flash offset written
};

struct device_reply {
    uint64_t ready_us; // when its first byte may go out
    int32_t length;
    uint8_t bytes[DEVICE_MAX_REPLY];
};

struct device_model {
    device_faults faults;
    device_stats stats;
    uint64_t start_us;
    uint32_t random_state;
    int32_t rx_length;
    uint8_t rx[DEVICE_RX_CAPACITY];
    int32_t pending_count;
    device_reply pending[DEVICE_MAX_PENDING];
    uint8_t written[DEVICE_FLASH_SIZE / 1024]; // which 1 KiB pages were written
    uint8_t flash[DEVICE_FLASH_SIZE];
};

// Faults all off: answers at once, programs a block in 0 us.
void device_default_faults(device_faults *faults);
// Erased flash, empty queues; `now_us` is the moment it is powered (the plug-in delay runs from it).
void device_init(device_model *d, const device_faults *faults, uint64_t now_us);
// Bytes that have fully arrived at the device by `now_us`. Complete requests produce replies.
void device_receive(device_model *d, const uint8_t *bytes, int32_t count, uint64_t now_us);
// Takes the earliest reply whose ready time is at or before `now_us`; false when none is due.
bool device_take_reply(device_model *d, uint64_t now_us, device_reply *out);
// Earliest ready time of a pending reply, or UINT64_MAX.
uint64_t device_next_ready(const device_model *d);
// CRC-16/MODBUS of `length` flash bytes from `address` (out of range bytes read as 0xFF).
uint16_t device_flash_crc(const device_model *d, uint32_t address, uint32_t length);
