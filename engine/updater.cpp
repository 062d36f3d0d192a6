#include "updater.h"

#include <stdio.h>

#include "frame_codec.h"
#include "platform.h"
#include "report.h"

// Unsigned difference, so the test stays right across the tick counter's wrap.
static bool waited_longer_than(const updater *u, uint32_t milliseconds)
{
    return (uint32_t)(tick_count() - u->last_send) > milliseconds;
}

static void send_frame(updater *u)
{
    write_port(u->port, u->frame, u->frame_length);
}

// One platform read, appended at `at`; whatever the platform says, the count stays in the buffer.
static int32_t read_into(updater *u, int32_t at)
{
    int32_t count = read_port(u->port, u->frame + at, u->frame_capacity - at);
    if (count < 0)
        count = 0;
    if (count > u->frame_capacity - at)
        count = u->frame_capacity - at;
    return count;
}

static void read_reply(updater *u)
{
    u->frame_length = read_into(u, 0);
    // A read ends 100 ms after it began even in the middle of a frame. A reply that lands on
    // that moment would be cut in two on every resend alike, and the update would never end:
    // so a read that brought an incomplete frame is followed by one more, appended.
    if (u->frame_length > 0 && u->frame_length < u->frame_capacity && !reply_is_valid(u))
        u->frame_length += read_into(u, u->frame_length);
}

void enter_state(updater *u, update_state state)
{
    switch (state) {
    case STATE_LINK:
        u->block_length = BLOCK_SIZE;
        u->offset = 0;
        u->reply_timeout = LINK_REPLY_TIMEOUT_MS;
        break;
    case STATE_AWAIT_LINK:
        u->last_send = tick_count();
        trace("CONTACTING...\n");
        build_query_frame(u, u->flash_base, PROBE_LENGTH);
        send_frame(u);
        // Gives a device that is just powering up time to answer before the next read.
        sleep_ms(PROBE_PAUSE_MS);
        break;
    case STATE_AWAIT_BLOCK_ACK: {
        u->last_send = tick_count();
        uint32_t address = u->flash_base + (uint32_t)u->offset;
        trace("PROG ADDR %#x, LEN %#x, FROM %#x...", address, (unsigned)u->block_length,
              (unsigned)u->offset);
        fflush(stdout);
        set_status("programming %#x", address);
        build_block_frame(u, address, u->image + u->offset, u->block_length);
        send_frame(u);
        trace(" - SENT - ");
        fflush(stdout);
        break;
    }
    case STATE_AWAIT_VERIFY:
        u->last_send = tick_count();
        trace("Verifying address %#x, image size %#x bytes\n", u->flash_base,
              (unsigned)u->image_size);
        set_status("Verifying...");
        build_query_frame(u, u->flash_base, (uint32_t)u->image_size);
        send_frame(u);
        trace("frame length %4d bytes sent\n", u->frame_length);
        break;
    case STATE_AWAIT_RESET:
        u->last_send = tick_count();
        trace("Resetting target\n");
        set_status("Resetting target...");
        build_reset_frame(u);
        send_frame(u);
        trace("frame length %4d bytes sent\n", u->frame_length);
        break;
    case STATE_DONE:
        set_status("Programming Completed OK");
        break;
    case STATE_START:
    case STATE_FAILED:
    default:
        break;
    }
    u->state = state;
}

static void await_link(updater *u)
{
    if (waited_longer_than(u, u->reply_timeout))
        enter_state(u, STATE_AWAIT_LINK);
    read_reply(u);
    if (u->frame_length != 0) {
        trace("RX:");
        for (int32_t i = 0; i < u->frame_length; i++)
            trace(" %02x", u->frame[i]);
        trace("\n");
    }
    if (!reply_is_valid(u))
        return;
    trace("REMOTE DEVICE LINK ESTABLISHED\n");
    u->reply_timeout = DATA_REPLY_TIMEOUT_MS;
    // Answers to earlier probes may still sit in the port; none of them may pass for the
    // acknowledgement of the first block.
    purge_port(u->port);
    flush_port(u->port);
    enter_state(u, STATE_AWAIT_BLOCK_ACK);
}

static void await_block_ack(updater *u)
{
    if (waited_longer_than(u, u->reply_timeout)) {
        trace("TIMEOUT\n");
        enter_state(u, STATE_AWAIT_BLOCK_ACK);
    }
    read_reply(u);
    if (!reply_is_valid(u))
        return;
    trace("- OK\n");
    fflush(stdout);
    u->offset += u->block_length;
    if (u->offset < u->image_size) {
        if (u->image_size - u->offset < u->block_length)
            u->block_length = u->image_size - u->offset;
        enter_state(u, STATE_AWAIT_BLOCK_ACK);
    } else {
        enter_state(u, STATE_AWAIT_VERIFY);
    }
}

static void await_verify(updater *u)
{
    if (waited_longer_than(u, u->reply_timeout))
        enter_state(u, STATE_AWAIT_VERIFY);
    read_reply(u);
    if (!reply_is_valid(u))
        return;
    // A valid frame too short to hold the CRC field (a late duplicate block acknowledgement,
    // say) is not the answer: its bytes 11 and 12 would be left over from earlier frames.
    if (u->frame_length <= VERIFY_CRC_LOW)
        return;
    uint32_t remote = 256u * u->frame[VERIFY_CRC_HIGH] + u->frame[VERIFY_CRC_LOW];
    uint32_t local = crc16(u->image, u->image_size);
    trace("Remote CRC %#x\n", remote);
    trace("Local  CRC %#x\n", local);
    if (remote == local) {
        trace("CRCs match\n");
        set_status("Program Verified OK");
        enter_state(u, STATE_AWAIT_RESET);
    } else {
        trace("CRC FAIL\n");
        set_status("FAILED");
        enter_state(u, STATE_FAILED);
    }
}

static void await_reset(updater *u)
{
    if (waited_longer_than(u, RESET_REPEAT_MS))
        enter_state(u, STATE_AWAIT_RESET);
    read_reply(u);
    if (!reply_is_valid(u))
        return;
    trace("frame length %4d bytes received & OK\n", u->frame_length);
    enter_state(u, STATE_DONE);
}

void poll_updater(updater *u)
{
    switch (u->state) {
    case STATE_START:
        enter_state(u, STATE_LINK);
        break;
    case STATE_LINK:
        set_status("Establishing Link...");
        enter_state(u, STATE_AWAIT_LINK);
        break;
    case STATE_AWAIT_LINK:
        await_link(u);
        break;
    case STATE_AWAIT_BLOCK_ACK:
        await_block_ack(u);
        break;
    case STATE_AWAIT_VERIFY:
        await_verify(u);
        break;
    case STATE_AWAIT_RESET:
        await_reset(u);
        break;
    case STATE_FAILED:
    case STATE_DONE:
    default:
        break;
    }
}
