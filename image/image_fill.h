// The firmware image as the updater sends it: the embedded bytes, then zeros up to the next
// whole block. The zeros are sent and covered by the verify CRC like the image bytes.
#pragma once

#include <stdint.h>

// Smallest multiple of 1024 not below `length`; 0 for a length outside 1 .. 2 GiB - 1 KiB.
int32_t filled_image_size(int64_t length);

// Allocates the filled length zero-initialised and copies `length` bytes to its start.
// Returns null (and a size of 0) when the length is out of range or memory runs out.
uint8_t *fill_image(const uint8_t *bytes, int64_t length, int32_t *filled_size);
