// The update engine as a Linux command: updates the device on a serial port (normally the
// simulated device's pseudo-terminal) with a firmware file, polling every 10 ms as the Windows
// tool's timer does. For development, tests and measurement; operators use the Windows tool.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "frame_codec.h"
#include "image_fill.h"
#include "platform.h"
#include "port_posix.h"
#include "report.h"
#include "updater.h"

enum { POLL_PERIOD_MS = 10, BAUD_RATE = 115200 };

static uint8_t *read_file(const char *path, int64_t *length)
{
    *length = 0;
    FILE *f = fopen(path, "rb");
    if (f == NULL)
        return NULL;
    uint8_t *bytes = NULL;
    if (fseek(f, 0, SEEK_END) == 0) {
        long size = ftell(f);
        if (size > 0 && fseek(f, 0, SEEK_SET) == 0) {
            bytes = (uint8_t *)malloc((size_t)size);
            if (bytes != NULL && fread(bytes, 1, (size_t)size, f) == (size_t)size) {
                *length = size;
            } else {
                free(bytes);
                bytes = NULL;
            }
        }
    }
    fclose(f);
    return bytes;
}

static void usage(void)
{
    fprintf(stderr,
            "usage: native_update --port PATH --image FILE [--timeout-s N]\n"
            "Updates the device on PATH with FILE (zero-filled to whole kilobytes) and exits\n"
            "0 when the reset was acknowledged, 1 on a CRC mismatch, 2 on time-out or error.\n");
}

int main(int argc, char **argv)
{
    const char *port_path = NULL;
    const char *image_path = NULL;
    long timeout_s = 120;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            port_path = argv[++i];
        else if (strcmp(argv[i], "--image") == 0 && i + 1 < argc)
            image_path = argv[++i];
        else if (strcmp(argv[i], "--timeout-s") == 0 && i + 1 < argc)
            timeout_s = strtol(argv[++i], NULL, 10);
        else {
            usage();
            return 2;
        }
    }
    if (port_path == NULL || image_path == NULL) {
        usage();
        return 2;
    }

    int64_t length = 0;
    uint8_t *raw = read_file(image_path, &length);
    static updater u;
    u.frame_capacity = FRAME_CAPACITY;
    u.frame = (uint8_t *)malloc(FRAME_CAPACITY);
    u.unit_address = UNIT_ADDRESS;
    u.port = INVALID_HANDLE_VALUE;
    u.image = fill_image(raw, length, &u.image_size);
    u.flash_base = FLASH_BASE;
    free(raw);
    if (u.frame == NULL || u.image == NULL) {
        fprintf(stderr, "native_update: cannot load %s\n", image_path);
        return 2;
    }
    trace("\nFlash Image Base %#x\n", u.flash_base);
    trace("Flash Image Size %#x bytes\n", (unsigned)u.image_size);

    u.baud_rate = BAUD_RATE;
    u.port_path = port_path;
    trace(" . Opening serial port %s at %ld baud\n", port_path, (long)BAUD_RATE);
    u.port = open_posix_port(port_path, BAUD_RATE);
    if (u.port == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "native_update: cannot open %s\n", port_path);
        return 2;
    }
    u.state = STATE_START;
    set_status("Contacting Device...");

    uint32_t start = tick_count();
    uint32_t link_up = 0;
    while (u.state != STATE_DONE && u.state != STATE_FAILED) {
        if ((uint32_t)(tick_count() - start) > (uint32_t)timeout_s * 1000u) {
            fprintf(stderr, "native_update: no result after %ld s\n", timeout_s);
            return 2;
        }
        poll_updater(&u);
        if (link_up == 0 && u.state == STATE_AWAIT_BLOCK_ACK)
            link_up = tick_count();
        sleep_ms(POLL_PERIOD_MS);
    }
    uint32_t end = tick_count();
    fflush(stdout);
    close_posix_port(u.port);
    if (u.state == STATE_FAILED)
        return 1;
    set_status("Programming Completed");
    double seconds = (double)(uint32_t)(end - link_up) / 1000.0;
    fprintf(stderr, "native_update: %d bytes in %.2f s from link-up to reset (%.0f bytes/s)\n",
            u.image_size, seconds, seconds > 0 ? u.image_size / seconds : 0.0);
    return 0;
}
