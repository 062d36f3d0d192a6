// The update engine: one state machine that carries a device from the first contact probe
// through block programming and the CRC verify to the reset, one step per poll.
#pragma once

#include <stdint.h>

#include "platform.h"

// A fixed underlying type: a stored value outside 0 .. 7 is still a value (and does nothing).
enum update_state : int32_t {
    STATE_START = 0,           // set by the Update Device handler once the port is open
    STATE_LINK = 1,            // counters reset; the first contact probe is due
    STATE_AWAIT_LINK = 2,      // contact probe sent; waiting for any valid reply
    STATE_AWAIT_BLOCK_ACK = 3, // a block was sent; waiting for its acknowledgement
    STATE_AWAIT_VERIFY = 4,    // verify query sent; waiting for the device's CRC
    STATE_FAILED = 5,          // the CRCs differed; nothing more is sent
    STATE_AWAIT_RESET = 6,     // reset frame sent; waiting for its acknowledgement
    STATE_DONE = 7             // the reset was acknowledged
};

enum {
    BLOCK_SIZE = 1024,
    PROBE_LENGTH = 4,
    LINK_REPLY_TIMEOUT_MS = 100,
    DATA_REPLY_TIMEOUT_MS = 5000,
    RESET_REPEAT_MS = 100,
    PROBE_PAUSE_MS = 100,
    // The verify answer carries the device's CRC in bytes 11 (high) and 12 (low).
    VERIFY_CRC_HIGH = 11,
    VERIFY_CRC_LOW = 12
};

static const uint32_t FLASH_BASE = 0x08004000u;

struct updater {
    const char *port_path;
    port_handle port;
    uint32_t baud_rate;
    int32_t unit_address;
    int32_t frame_length;
    int32_t frame_capacity;
    uint8_t *frame;
    update_state state;
    uint8_t *image;
    uint32_t flash_base;
    int32_t offset;
    int32_t image_size;
    int32_t block_length;
    uint32_t last_send;
    uint32_t reply_timeout;
};

// Performs the entry action of `state` (usually sending a request) and stores it.
void enter_state(updater *u, update_state state);
// One step of the update; called every 10 ms by the poll timer.
void poll_updater(updater *u);
