// A model of the device's bootloader on the far end of the serial line: it parses requests by
// their layouts, keeps the flash, answers each request with a frame of its own layout, and can
// misbehave in the ways a real line and a real device do. Pure logic, no I/O: every call
// carries the time in microseconds, and replies come back with the time they are ready to go.
#pragma once

#include <stdint.h>

static const uint32_t DEVICE_FLASH_BASE = 0x08004000u;

enum {
    DEVICE_FLASH_SIZE = 512 * 1024,   // flash from DEVICE_FLASH_BASE on, erased to 0xFF
    DEVICE_PAGE_SIZE = 1024,          // the unit the bootloader erases before programming
    DEVICE_RX_CAPACITY = 2048,        // bytes of an unfinished request kept while parsing
    DEVICE_MAX_PENDING = 8,           // replies waiting for their time to go out
    DEVICE_UNIT_ADDRESS = 4,          // the only unit address it answers
    DEVICE_FUNCTION = 0x2B,           // Modbus encapsulated interface transport
    DEVICE_MEI_BLOCK = 0xF5,
    DEVICE_MEI_QUERY = 0xF6,
    DEVICE_MEI_RESET = 0xF7,
    DEVICE_MAX_BLOCK = 1024,          // most data bytes in one block request
    DEVICE_PROBE_LENGTH = 4,          // a query this long is the tool's contact probe
    DEVICE_QUERY_LENGTH = 13,         // request lengths, checksum included
    DEVICE_RESET_LENGTH = 5,
    DEVICE_BLOCK_OVERHEAD = 11,
    DEVICE_QUERY_REPLY_LENGTH = 15,   // reply lengths, checksum included
    DEVICE_BLOCK_REPLY_LENGTH = 11,
    DEVICE_RESET_REPLY_LENGTH = 5,
    DEVICE_MAX_NOISE = 8,             // most noise bytes put before one reply
    // Longest reply: the echo of a whole block request (answers are 15 bytes at most, noise
    // included 23).
    DEVICE_MAX_REPLY = DEVICE_BLOCK_OVERHEAD + DEVICE_MAX_BLOCK,
    DEVICE_IDLE_RESET_US = 50000      // an unfinished request is abandoned after this silence
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
    bool stuck_once;               // ...only until a verify has been answered (a retry then works)
    uint32_t program_us_per_block; // time to program one block before the acknowledgement
    uint32_t answer_us;            // time to answer any other request
};

struct device_stats {
    uint32_t probes;             // queries of DEVICE_PROBE_LENGTH bytes
    uint32_t blocks;             // block frames accepted
    uint32_t rewrites;           // blocks written again at an address already written
    uint32_t queries;            // other queries (verify)
    uint32_t resets;             // reset frames
    uint32_t bad_frames;         // frames dropped for a bad checksum or layout
    uint32_t noise_bytes;        // bytes skipped while resynchronising
    uint32_t replies_sent;       // answers taken to go out (echoes not counted)
    uint32_t replies_dropped;
    uint32_t replies_corrupted;
    uint32_t replies_late;
    uint32_t replies_noisy;      // answers sent after noise bytes
    uint32_t replies_overflowed; // replies refused because DEVICE_MAX_PENDING were waiting
    uint32_t highest_written;    // one past the highest flash offset written
};

struct device_reply {
    uint64_t ready_us; // when its first byte may go out
    uint8_t answers;   // MEI type of the request it answers; 0 for an echo of the tool's bytes
    int32_t length;
    uint8_t bytes[DEVICE_MAX_REPLY];
};

struct device_model {
    device_faults faults;
    device_stats stats;
    uint64_t start_us;
    uint32_t random_state;
    uint64_t last_rx_us;      // arrival of the last byte heard
    bool queried;             // a query other than a probe was answered...
    uint32_t query_address;   // ...for this range (the verify)
    uint32_t query_length;
    int32_t rx_length;
    uint8_t rx[DEVICE_RX_CAPACITY];
    int32_t pending_count;
    device_reply pending[DEVICE_MAX_PENDING];
    uint8_t written[DEVICE_FLASH_SIZE / DEVICE_PAGE_SIZE]; // which pages were written
    uint8_t flash[DEVICE_FLASH_SIZE];
};

// Faults all off: answers at once, programs a block in 0 us; late_ms 5500 for when a late_rate
// is set, stuck_offset -1.
void device_default_faults(device_faults *faults);
// Erased flash, empty queues; `now_us` is the moment it is powered (the plug-in delay runs from it).
void device_init(device_model *d, const device_faults *faults, uint64_t now_us);
// Bytes that have fully arrived at the device by `now_us`. Complete requests produce replies.
void device_receive(device_model *d, const uint8_t *bytes, int32_t count, uint64_t now_us);
// Takes the earliest reply whose ready time is at or before `now_us`; false when none is due.
bool device_take_reply(device_model *d, uint64_t now_us, device_reply *out);
// Earliest ready time of a pending reply, or UINT64_MAX.
uint64_t device_next_ready(const device_model *d);
// CRC-16/MODBUS (init 0xFFFF, reflected 0xA001, no final xor); a count of 0 or less gives 0xFFFF.
uint16_t device_crc16(const uint8_t *bytes, int32_t count);
// CRC-16/MODBUS of `length` flash bytes from `address` (out of range bytes read as 0xFF).
uint16_t device_flash_crc(const device_model *d, uint32_t address, uint32_t length);
