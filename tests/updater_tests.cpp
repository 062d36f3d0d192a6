// Whole updates of the device model over the virtual line, in virtual time: what the operator
// sees (status texts), what the trace says, and what ends up in the device's flash.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "frame_codec.h"
#include "image_fill.h"
#include "report.h"
#include "updater.h"
#include "virtual_host.h"
#include "virtual_line.h"

namespace {

const uint64_t MS = 1000;

std::vector<uint8_t> zero_filled(const std::vector<uint8_t> &raw)
{
    int32_t size = 0;
    uint8_t *image = fill_image(raw.data(), (int64_t)raw.size(), &size);
    std::vector<uint8_t> filled(image, image + size);
    free(image);
    return filled;
}

std::vector<uint8_t> default_image()
{
    std::vector<uint8_t> raw;
    FILE *f = fopen(FIRMWARE_PATH, "rb");
    if (f != NULL) {
        uint8_t chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
            raw.insert(raw.end(), chunk, chunk + n);
        fclose(f);
    }
    return zero_filled(raw);
}

std::vector<uint8_t> small_image(size_t length)
{
    std::vector<uint8_t> raw(length);
    for (size_t i = 0; i < length; i++)
        raw[i] = (uint8_t)(i * 31 + 7);
    return zero_filled(raw);
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

std::string format(const char *fmt, unsigned a, unsigned b = 0, unsigned c = 0)
{
    char text[128];
    snprintf(text, sizeof text, fmt, a, b, c);
    return text;
}

// One update as the window runs it: the handler has opened the port and set STATE_START, and
// the timer polls 10 ms after each poll has finished.
struct update_run : ::testing::Test {
    std::unique_ptr<virtual_line> line{new virtual_line};
    virtual_host host;
    updater u = {};
    uint8_t frame[FRAME_CAPACITY] = {};
    std::vector<uint8_t> image;
    std::string trace_text;
    bool capturing = false;

    void start(const device_faults &faults, std::vector<uint8_t> filled, uint32_t tick_base = 0)
    {
        image = std::move(filled);
        line_init(line.get(), &faults, 0);
        attach_virtual_host(&host, line.get(), tick_base);
        start_virtual_update(&u, frame, image.data(), (int32_t)image.size());
        ::testing::internal::CaptureStdout();
        capturing = true;
    }
    void TearDown() override { finish(); }
    void finish()
    {
        if (capturing) {
            fflush(stdout);
            std::string captured = ::testing::internal::GetCapturedStdout();
            capturing = false;
            trace_text += captured;
            // Failure messages went to the captured stdout too: show them, with the trace.
            if (HasFailure())
                fprintf(stderr, "%s", captured.substr(captured.size() > 6000 ? captured.size() - 6000 : 0).c_str());
        }
    }
    void poll()
    {
        poll_updater(&u);
        line_advance_to(line.get(), line->now_us + 10 * MS);
    }
    bool finished() const { return u.state == STATE_DONE || u.state == STATE_FAILED; }
    // Polls until `done` holds or `limit_ms` of virtual time have passed since now.
    template <typename Done> bool poll_until(Done done, uint64_t limit_ms)
    {
        uint64_t limit = line->now_us + limit_ms * MS;
        while (!done() && line->now_us < limit)
            poll();
        return done();
    }
    bool run_to_end(uint64_t limit_ms = 600000)
    {
        return poll_until([this] { return finished(); }, limit_ms);
    }
    bool flash_holds_image() const
    {
        return memcmp(line->device.flash, image.data(), image.size()) == 0;
    }
    // A frame arriving at the tool `after_ms` from now, as if from the device.
    void arrive_at_tool(const std::vector<uint8_t> &bytes, uint64_t after_ms)
    {
        line_queue &q = line->to_tool;
        uint64_t at = line->now_us + after_ms * MS;
        for (size_t i = 0; i < bytes.size(); i++) {
            ASSERT_LT(q.count, LINE_QUEUE_CAPACITY);
            line_byte &b = q.bytes[(q.head + q.count) % LINE_QUEUE_CAPACITY];
            b.at_us = at + i * line_byte_us(line.get());
            b.value = bytes[i];
            q.count++;
        }
    }
};

std::vector<uint8_t> with_checksum(std::vector<uint8_t> bytes)
{
    uint16_t crc = crc16(bytes.data(), (int32_t)bytes.size());
    bytes.push_back((uint8_t)crc);
    bytes.push_back((uint8_t)(crc >> 8));
    return bytes;
}

device_faults plugged_in_after(uint32_t ms)
{
    device_faults f;
    device_default_faults(&f);
    f.plug_in_delay_ms = ms;
    return f;
}

TEST_F(update_run, NormalUpdateShowsTheTraceAndStatusesAndProgramsTheFlash)
{
    start(plugged_in_after(1500), default_image());
    ASSERT_EQ(image.size(), 115712u);
    ASSERT_TRUE(run_to_end());
    finish();
    EXPECT_EQ(u.state, STATE_DONE);

    std::vector<std::string> lines = split_lines(trace_text);
    size_t i = 0;
    while (i < lines.size() && lines[i] == "CONTACTING...")
        i++;
    EXPECT_GE(i, 5u) << "the device was silent for 1.5 s";
    ASSERT_LT(i + 2, lines.size());
    EXPECT_EQ(lines[i].rfind("RX: 04 2b f6 08 00 40 00 00 00 00 04", 0), 0u) << lines[i];
    EXPECT_EQ(lines[i + 1], "REMOTE DEVICE LINK ESTABLISHED");
    std::vector<std::string> expected_tail;
    std::vector<std::string> expected_statuses = {"Establishing Link..."};
    for (unsigned offset = 0; offset < image.size(); offset += BLOCK_SIZE) {
        expected_tail.push_back(format("PROG ADDR %#x, LEN %#x, FROM %#x... - SENT - - OK",
                                       FLASH_BASE + offset, BLOCK_SIZE, offset));
        expected_statuses.push_back(format("programming %#x", FLASH_BASE + offset));
    }
    EXPECT_EQ(expected_tail.size(), 113u);
    EXPECT_EQ(expected_tail.back().substr(0, 22), "PROG ADDR 0x8020000, L");
    unsigned crc = crc16(image.data(), (int32_t)image.size());
    expected_tail.insert(expected_tail.end(),
                         {"Verifying address 0x8004000, image size 0x1c400 bytes",
                          "frame length   13 bytes sent", format("Remote CRC %#x", crc),
                          format("Local  CRC %#x", crc), "CRCs match", "Resetting target",
                          "frame length    5 bytes sent", "frame length    5 bytes received & OK"});
    EXPECT_EQ(std::vector<std::string>(lines.begin() + (long)i + 2, lines.end()), expected_tail);

    expected_statuses.insert(expected_statuses.end(), {"Verifying...", "Program Verified OK",
                                                       "Resetting target...", "Programming Completed OK"});
    EXPECT_EQ(host.statuses, expected_statuses);
    EXPECT_TRUE(flash_holds_image());
    EXPECT_EQ(line->device.stats.blocks, 113u);
    EXPECT_EQ(line->device.stats.rewrites, 0u);
    EXPECT_EQ(line->device.stats.queries, 1u);
    EXPECT_EQ(line->device.stats.resets, 1u);

    int writes = host.writes, reads = host.reads;
    for (int k = 0; k < 20; k++)
        poll();
    EXPECT_EQ(host.writes, writes) << "nothing is sent once done";
    EXPECT_EQ(host.reads, reads) << "nothing is read once done";
}

TEST_F(update_run, SilentDeviceGetsAProbeOnEveryPoll)
{
    start(plugged_in_after(0), small_image(2048));
    line->attached = false;
    for (int k = 0; k < 20; k++)
        poll();
    finish();
    EXPECT_EQ(u.state, STATE_AWAIT_LINK);
    EXPECT_EQ(host.writes, 19) << "the first poll only resets the counters";
    std::vector<uint8_t> probe = {0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04, 0x42, 0x5A};
    for (const auto &w : host.written)
        EXPECT_EQ(w, probe);
    for (size_t k = 1; k < host.write_times_us.size(); k++)
        EXPECT_GT(host.write_times_us[k] - host.write_times_us[k - 1], 100 * MS);
    std::string expected;
    for (int k = 0; k < 19; k++)
        expected += "CONTACTING...\n";
    EXPECT_EQ(trace_text, expected);
    EXPECT_EQ(host.statuses, std::vector<std::string>{"Establishing Link..."});
}

TEST_F(update_run, LinkUpDumpsEveryReadAndAcceptsAnyValidFrame)
{
    start(plugged_in_after(3600000), small_image(4096)); // the device itself stays silent
    poll_until([this] { return u.state == STATE_AWAIT_LINK; }, 1000);
    arrive_at_tool({0x01, 0x02, 0x03}, 1);
    poll();
    EXPECT_EQ(u.state, STATE_AWAIT_LINK);
    std::vector<uint8_t> odd = with_checksum({0x11, 0x22}); // not even from our unit
    arrive_at_tool(odd, 1);
    poll();
    finish();
    EXPECT_EQ(u.state, STATE_AWAIT_BLOCK_ACK);
    EXPECT_EQ(u.reply_timeout, 5000u);
    char dump[64];
    snprintf(dump, sizeof dump, "RX: 11 22 %02x %02x\n", odd[2], odd[3]);
    EXPECT_NE(trace_text.find("RX: 01 02 03\nCONTACTING...\n"), std::string::npos) << trace_text;
    EXPECT_NE(trace_text.find(std::string(dump) + "REMOTE DEVICE LINK ESTABLISHED\nPROG ADDR 0x8004000, LEN 0x400, FROM 0... - SENT - "),
              std::string::npos)
        << trace_text;
    ASSERT_FALSE(host.written.empty());
    EXPECT_EQ(host.written.back().size(), 1035u) << "the first block goes out in the same poll";
}

TEST_F(update_run, ResendsBlockAfterFiveSecondsWithoutAck)
{
    start(plugged_in_after(0), small_image(8 * 1024));
    ASSERT_TRUE(poll_until([this] { return u.state == STATE_AWAIT_BLOCK_ACK && u.offset == 0x800; }, 10000));
    std::vector<uint8_t> block = host.written.back();
    uint64_t sent = host.write_times_us.back();
    int writes = host.writes;
    line->attached = false;
    ASSERT_TRUE(poll_until([&] { return host.writes > writes; }, 10000));
    EXPECT_GT(host.write_times_us.back() - sent, 5000 * MS);
    EXPECT_LT(host.write_times_us.back() - sent, 5150 * MS);
    EXPECT_EQ(host.written.back(), block) << "the same block again";
    EXPECT_EQ(u.offset, 0x800);
    line->attached = true;
    ASSERT_TRUE(run_to_end());
    finish();
    EXPECT_EQ(u.state, STATE_DONE);
    EXPECT_TRUE(flash_holds_image());
    EXPECT_NE(trace_text.find("PROG ADDR 0x8004800, LEN 0x400, FROM 0x800... - SENT - TIMEOUT\n"
                              "PROG ADDR 0x8004800, LEN 0x400, FROM 0x800... - SENT - - OK\n"),
              std::string::npos)
        << trace_text;
}

TEST_F(update_run, CompletesWithTheRightFlashDespiteFaultsOnTheLine)
{
    struct {
        const char *name;
        double drop, corrupt, noise, late;
    } cases[] = {
        {"dropped replies", 0.1, 0, 0, 0},
        {"corrupted replies", 0, 0.1, 0, 0},
        {"noise before replies", 0, 0, 0.1, 0},
        {"late acknowledgements", 0, 0, 0, 0.1},
        {"everything at once", 0.05, 0.05, 0.05, 0.05},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        device_faults f = plugged_in_after(300);
        f.seed = 7;
        f.drop_rate = c.drop;
        f.corrupt_rate = c.corrupt;
        f.noise_rate = c.noise;
        f.late_rate = c.late;
        f.program_us_per_block = 30000;
        trace_text.clear();
        start(f, default_image());
        ASSERT_TRUE(run_to_end());
        finish();
        EXPECT_EQ(u.state, STATE_DONE);
        EXPECT_TRUE(flash_holds_image());
        EXPECT_NE(trace_text.find("TIMEOUT"), std::string::npos) << "each fault costs a resend";
        // Every TIMEOUT is followed by the same block, and the offset moves only on an OK.
        std::vector<std::string> lines = split_lines(trace_text);
        for (size_t k = 0; k + 1 < lines.size(); k++) {
            size_t sent = lines[k].find(" - SENT - TIMEOUT");
            if (sent != std::string::npos) {
                EXPECT_EQ(lines[k + 1].substr(0, sent), lines[k].substr(0, sent));
            }
        }
    }
}

TEST_F(update_run, CompletesWhenEachAcknowledgementStraddlesTheEndOfARead)
{
    // A block takes 98.8 ms on the wire; the read of the next poll ends 110 ms after the send.
    // Programming for 10.7 ms puts every acknowledgement across that moment.
    device_faults f = plugged_in_after(0);
    f.program_us_per_block = 10700;
    start(f, small_image(8 * 1024));
    ASSERT_TRUE(run_to_end(120000));
    finish();
    EXPECT_EQ(u.state, STATE_DONE);
    EXPECT_EQ(trace_text.find("TIMEOUT"), std::string::npos);
    EXPECT_TRUE(flash_holds_image());
}

TEST_F(update_run, CrcMismatchFailsAndSendsNothingMore)
{
    device_faults f = plugged_in_after(0);
    f.stuck_offset = 0x1234;
    start(f, default_image());
    ASSERT_NE(image[0x1234], 0xFF) << "the stuck byte must differ from erased flash";
    ASSERT_TRUE(run_to_end());
    EXPECT_EQ(u.state, STATE_FAILED);
    int writes = host.writes, reads = host.reads;
    for (int k = 0; k < 50; k++)
        poll();
    finish();
    EXPECT_EQ(host.writes, writes);
    EXPECT_EQ(host.reads, reads);
    EXPECT_EQ(host.statuses.back(), "FAILED");
    std::vector<std::string> lines = split_lines(trace_text);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], format("Remote CRC %#x", device_flash_crc(&line->device, FLASH_BASE, (uint32_t)image.size())));
}

TEST_F(update_run, RetryAfterAFailedVerifyStartsAfreshAndCompletes)
{
    device_faults f = plugged_in_after(0);
    f.stuck_offset = 0x1234;
    f.stuck_once = true;
    start(f, small_image(8 * 1024));
    ASSERT_TRUE(run_to_end());
    ASSERT_EQ(u.state, STATE_FAILED);
    u.state = STATE_START; // the operator presses Update Device again
    ASSERT_TRUE(run_to_end());
    finish();
    EXPECT_EQ(u.state, STATE_DONE);
    EXPECT_TRUE(flash_holds_image());
    EXPECT_EQ(line->device.stats.blocks, 16u);
    EXPECT_EQ(line->device.stats.rewrites, 8u);
}

TEST_F(update_run, RepeatsTheResetEvery100MsUntilAcknowledged)
{
    start(plugged_in_after(0), small_image(2048));
    ASSERT_TRUE(poll_until([this] { return u.state == STATE_AWAIT_RESET; }, 10000));
    line->attached = false;
    size_t first = host.written.size() - 1;
    for (int k = 0; k < 10; k++)
        poll();
    std::vector<uint8_t> reset = {0x04, 0x2B, 0xF7, 0x6F, 0x77};
    EXPECT_EQ(host.written.size() - first, 10u) << "the first reset, then one more on each poll after the first";
    for (size_t k = first; k < host.written.size(); k++) {
        EXPECT_EQ(host.written[k], reset);
        if (k > first) {
            uint64_t gap = host.write_times_us[k] - host.write_times_us[k - 1];
            EXPECT_GT(gap, 100 * MS);
            EXPECT_LT(gap, 130 * MS);
        }
    }
    line->attached = true;
    ASSERT_TRUE(run_to_end());
    finish();
    EXPECT_EQ(u.state, STATE_DONE);
    EXPECT_EQ(split_lines(trace_text).back(), "frame length    5 bytes received & OK");
    EXPECT_EQ(host.statuses.back(), "Programming Completed OK");
}

TEST_F(update_run, CompletesAcrossTheTickCounterWrap)
{
    struct {
        const char *name;
        uint32_t ms_before_wrap;
    } cases[] = {{"during link-up", 150}, {"while blocks go out", 2500}, {"at the verify", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t wrap_at = c.ms_before_wrap;
        if (wrap_at == 0) { // find when the verify goes out, then wrap just there
            start(plugged_in_after(400), default_image());
            poll_until([this] { return u.state == STATE_AWAIT_VERIFY; }, 60000);
            wrap_at = (uint32_t)(line->now_us / MS) - 5;
            finish();
        }
        trace_text.clear();
        start(plugged_in_after(400), default_image(), 0u - wrap_at);
        ASSERT_TRUE(run_to_end());
        finish();
        EXPECT_EQ(u.state, STATE_DONE);
        EXPECT_EQ(trace_text.find("TIMEOUT"), std::string::npos);
        EXPECT_TRUE(flash_holds_image());
    }
}

TEST_F(update_run, ShortValidFrameIsNotTakenForTheVerifyAnswer)
{
    // A duplicate block acknowledgement, late after a resend, lands while the device is still
    // computing its CRC: 11 bytes, valid, but with no CRC field in it.
    device_faults f = plugged_in_after(0);
    f.answer_us = 50000;
    start(f, small_image(4096));
    ASSERT_TRUE(poll_until([this] { return u.state == STATE_AWAIT_VERIFY; }, 20000));
    arrive_at_tool(with_checksum({0x04, 0x2B, 0xF5, 0x08, 0x00, 0x4C, 0x00, 0x04, 0x00}), 0);
    ASSERT_TRUE(run_to_end());
    finish();
    EXPECT_EQ(u.state, STATE_DONE);
    EXPECT_EQ(trace_text.find("CRC FAIL"), std::string::npos);

    // With no answer at all after it, the query goes out again after 5000 ms.
    trace_text.clear();
    start(f, small_image(4096));
    ASSERT_TRUE(poll_until([this] { return u.state == STATE_AWAIT_VERIFY; }, 20000));
    line->device.pending_count = 0; // the device's answer is lost
    arrive_at_tool(with_checksum({0x04, 0x2B, 0xF5, 0x08, 0x00, 0x4C, 0x00, 0x04, 0x00}), 0);
    uint64_t sent = host.write_times_us.back();
    int writes = host.writes;
    ASSERT_TRUE(poll_until([&] { return host.writes > writes; }, 10000));
    EXPECT_GT(host.write_times_us.back() - sent, 5000 * MS);
    finish();
    size_t first = trace_text.find("Verifying address");
    size_t again = trace_text.find("Verifying address", first + 1);
    EXPECT_NE(again, std::string::npos);
    EXPECT_GT(trace_text.find("Remote CRC"), again) << "nothing was taken for the answer before";
}

} // namespace
