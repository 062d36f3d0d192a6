// The engine's platform functions over the virtual line: the engine runs a whole update
// against the device model in virtual time, and the test sees every status text and every
// port call.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "updater.h"
#include "virtual_line.h"

struct virtual_host {
    virtual_line *line;
    uint32_t tick_base; // tick count at virtual time 0 (set near 2^32 to cross the wrap)
    std::vector<std::string> statuses;
    int writes;
    int reads;
    std::vector<uint64_t> write_times_us; // when each write was made
    std::vector<std::vector<uint8_t>> written;
};

// Makes `host` the platform the engine talks to (one at a time).
void attach_virtual_host(virtual_host *host, virtual_line *line, uint32_t tick_base);

// The updater as start-up and a press of Update Device leave it: frame buffer, unit address,
// image at FLASH_BASE, an open port on the virtual line, STATE_START.
void start_virtual_update(updater *u, uint8_t *frame, uint8_t *image, int32_t image_size);
