#!/usr/bin/env python3
"""Makes the default firmware image, firmware.bin: a raw Cortex-M application image linked for
flash address 0x08004000 (behind a 16 KiB bootloader), 114,724 bytes long.

It is not a working program, but it looks like one to anything that checks: a vector table
with the initial stack pointer at the top of SRAM and Thumb handler addresses inside the image,
a small reset handler, a version string, then deterministic filler. Run it again and the same
bytes come out:  python3 resources/make_firmware.py [output]  (default: next to this script).
"""
import os
import struct
import sys

FLASH_BASE = 0x08004000
IMAGE_LENGTH = 114_724
SRAM_TOP = 0x20005000            # 20 KiB of SRAM from 0x20000000
VECTOR_COUNT = 16 + 68           # system exceptions, then the peripheral interrupts
RESET_HANDLER = 0x0200           # offsets of the handlers inside the image
DEFAULT_HANDLER = 0x0240
VERSION = b"ZEB application 1.0.0\0"


def thumb(offset):
    return (FLASH_BASE + offset) | 1  # bit 0 set: Thumb code


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "firmware.bin")
    image = bytearray(IMAGE_LENGTH)

    vectors = [SRAM_TOP, thumb(RESET_HANDLER)]
    vectors += [thumb(DEFAULT_HANDLER)] * (VECTOR_COUNT - 2)
    for reserved in (7, 8, 9, 10, 13):  # reserved slots of the ARMv7-M table stay zero
        vectors[reserved] = 0
    struct.pack_into("<%dI" % VECTOR_COUNT, image, 0, *vectors)

    # Reset handler: ldr r0,[pc,#4]; blx r0; b .; then the literal of the main entry.
    struct.pack_into("<HHHH", image, RESET_HANDLER, 0x4801, 0x4780, 0xE7FE, 0xBF00)
    struct.pack_into("<I", image, RESET_HANDLER + 8, thumb(0x0400))
    # Default handler: b . (an unexpected interrupt stops here)
    struct.pack_into("<H", image, DEFAULT_HANDLER, 0xE7FE)
    image[0x0300:0x0300 + len(VERSION)] = VERSION

    # Filler from 0x400 to the end: xorshift32, fixed seed, so the image is always the same.
    state = 0x2545F491
    for offset in range(0x0400, IMAGE_LENGTH):
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        image[offset] = state & 0xFF

    with open(out, "wb") as f:
        f.write(image)
    print("%s: %d bytes for 0x%08x" % (out, len(image), FLASH_BASE))


if __name__ == "__main__":
    main()
