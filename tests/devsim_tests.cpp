// The simulated device: its answers, its resynchronisation, its faults, the virtual line's
// timing and read timeouts, and the devsim program on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "device_model.h"
#include "virtual_line.h"

namespace {

typedef std::vector<uint8_t> bytes;

const uint32_t BASE = DEVICE_FLASH_BASE;

bytes with_crc(bytes frame)
{
    uint16_t crc = device_crc16(frame.data(), (int32_t)frame.size());
    frame.push_back((uint8_t)crc);
    frame.push_back((uint8_t)(crc >> 8));
    return frame;
}

void put32(bytes *b, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        b->push_back((uint8_t)(v >> shift));
}

bytes query(uint32_t address, uint32_t length, uint8_t unit = 4)
{
    bytes f = {unit, 0x2B, 0xF6};
    put32(&f, address);
    put32(&f, length);
    return with_crc(f);
}

bytes block(uint32_t address, const bytes &data)
{
    bytes f = {4, 0x2B, 0xF5};
    put32(&f, address);
    f.push_back((uint8_t)(data.size() >> 8));
    f.push_back((uint8_t)data.size());
    f.insert(f.end(), data.begin(), data.end());
    return with_crc(f);
}

bytes reset_frame()
{
    return with_crc({4, 0x2B, 0xF7});
}

bool frame_valid(const uint8_t *b, int32_t n)
{
    if (n < 4)
        return false;
    uint16_t crc = device_crc16(b, n - 2);
    return b[n - 2] == (uint8_t)crc && b[n - 1] == (uint8_t)(crc >> 8);
}

bool frame_valid(const bytes &b)
{
    return frame_valid(b.data(), (int32_t)b.size());
}

bytes test_data(int n)
{
    bytes data;
    for (int i = 0; i < n; i++)
        data.push_back((uint8_t)(i * 7 + 3));
    return data;
}

std::unique_ptr<device_model> make_device(const device_faults &faults)
{
    std::unique_ptr<device_model> d(new device_model);
    device_init(d.get(), &faults, 0);
    return d;
}

void send(device_model *d, const bytes &frame, uint64_t at_us)
{
    device_receive(d, frame.data(), (int32_t)frame.size(), at_us);
}

struct taken {
    uint64_t ready_us;
    uint8_t answers;
    bytes frame;
};

std::vector<taken> take_all(device_model *d, uint64_t until_us)
{
    std::vector<taken> out;
    device_reply r;
    while (device_take_reply(d, until_us, &r))
        out.push_back({r.ready_us, r.answers, bytes(r.bytes, r.bytes + r.length)});
    return out;
}

TEST(DeviceModel, ChecksumMatchesTheFramesTheToolSends)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(device_crc16(check, 9), 0x4B37);
    EXPECT_EQ(query(BASE, 4), (bytes{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04, 0x42, 0x5A}));
    EXPECT_EQ(query(BASE, 0x1C400),
              (bytes{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0xC4, 0x00, 0x40, 0x99}));
    EXPECT_EQ(reset_frame(), (bytes{0x04, 0x2B, 0xF7, 0x6F, 0x77}));
}

TEST(DeviceModel, AnswersEachRequestInItsOwnLayoutAfterItsWorkTime)
{
    device_faults faults;
    device_default_faults(&faults);
    faults.answer_us = 700;
    faults.program_us_per_block = 3000;
    auto d = make_device(faults);
    bytes data = test_data(1024);
    const uint32_t second_page = BASE + 1024;

    send(d.get(), query(BASE, 4), 1000);
    send(d.get(), block(second_page, data), 2000);
    send(d.get(), query(second_page, 1024), 10000);
    send(d.get(), reset_frame(), 20000);
    EXPECT_EQ(device_next_ready(d.get()), 1700u);
    std::vector<taken> r = take_all(d.get(), 100000);
    ASSERT_EQ(r.size(), 4u);

    const uint8_t erased[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    uint16_t erased_crc = device_crc16(erased, 4);
    EXPECT_EQ(r[0].ready_us, 1700u);
    EXPECT_EQ(r[0].frame, with_crc({4, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0, 0, 0, 4, (uint8_t)(erased_crc >> 8),
                                    (uint8_t)erased_crc}));
    EXPECT_EQ(r[1].ready_us, 5000u);
    EXPECT_EQ(r[1].frame, with_crc({4, 0x2B, 0xF5, 0x08, 0x00, 0x44, 0x00, 0x04, 0x00}));
    uint16_t data_crc = device_crc16(data.data(), 1024);
    EXPECT_EQ(r[2].ready_us, 10700u);
    ASSERT_EQ(r[2].frame.size(), 15u);
    EXPECT_EQ(r[2].frame[11], data_crc >> 8);
    EXPECT_EQ(r[2].frame[12], data_crc & 0xFF);
    EXPECT_TRUE(frame_valid(r[2].frame));
    EXPECT_EQ(r[3].frame, reset_frame());
    EXPECT_EQ(r[3].answers, DEVICE_MEI_RESET);

    EXPECT_EQ(memcmp(d->flash + 1024, data.data(), 1024), 0);
    EXPECT_EQ(d->flash[0], 0xFF);
    EXPECT_EQ(d->stats.highest_written, 2048u);
    EXPECT_EQ(d->stats.probes, 1u);
    EXPECT_EQ(d->stats.blocks, 1u);
    EXPECT_EQ(d->stats.queries, 1u);
    EXPECT_EQ(d->stats.resets, 1u);
    EXPECT_EQ(d->stats.replies_sent, 4u);
    EXPECT_EQ(d->stats.bad_frames + d->stats.noise_bytes, 0u);

    send(d.get(), block(second_page, data), 200000);
    take_all(d.get(), 300000);
    EXPECT_EQ(d->stats.rewrites, 1u);
}

struct resync_case {
    const char *what;
    bytes before;
    uint64_t gap_us; // silence between the bytes before and the probe
    uint32_t bad_frames;
    uint32_t noise_bytes;
};

bytes with_last_byte_flipped(bytes b)
{
    b.back() ^= 0x01;
    return b;
}

bytes impossible_block_header()
{
    bytes f = {4, 0x2B, 0xF5, 0x08, 0x00, 0x40, 0x00, 0x08, 0x00}; // 2048 data bytes
    return f;
}

TEST(DeviceModel, ResynchronisesOnTheNextRequestAfterAnythingElse)
{
    const resync_case cases[] = {
        {"line garbage", {0x55, 0xAA, 0x04, 0x2B, 0x00, 0x13}, 0, 0, 6},
        {"bad checksum", with_last_byte_flipped(query(BASE, 4)), 0, 1, 12},
        {"other unit", query(BASE, 4, 5), 0, 1, 0},
        {"block length over 1024", impossible_block_header(), 0, 1, 8},
        {"block outside the flash", block(BASE - 1024, test_data(16)), 0, 1, 0},
        {"query outside the flash", query(BASE, DEVICE_FLASH_SIZE + 1), 0, 1, 0},
        {"request cut short, then silence", bytes{4, 0x2B, 0xF5, 0x08, 0x00, 0x40, 0x00, 0x04, 0x00, 1, 2}, 60000, 0,
         11},
    };
    for (const resync_case &c : cases) {
        SCOPED_TRACE(c.what);
        device_faults faults;
        device_default_faults(&faults);
        auto d = make_device(faults);
        send(d.get(), c.before, 1000);
        send(d.get(), query(BASE, 4), 1000 + c.gap_us);
        std::vector<taken> r = take_all(d.get(), UINT64_MAX);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].frame.size(), 15u);
        EXPECT_EQ(r[0].frame[2], 0xF6);
        EXPECT_TRUE(frame_valid(r[0].frame));
        EXPECT_EQ(d->stats.probes, 1u);
        EXPECT_EQ(d->stats.bad_frames, c.bad_frames);
        EXPECT_EQ(d->stats.noise_bytes, c.noise_bytes);
    }
}

TEST(DeviceModel, KeepsSilentUntilPluggedInOrProbedEnough)
{
    device_faults faults;
    device_default_faults(&faults);
    faults.plug_in_delay_ms = 150;
    faults.plug_in_after_probes = 2;
    auto d = make_device(faults);
    for (uint64_t t = 0; t < 6; t++)
        send(d.get(), query(BASE, 4), 1000 + t * 100000);
    // Probes at 1 and 101 ms are not heard, those at 201 and 301 ms are ignored.
    std::vector<taken> r = take_all(d.get(), UINT64_MAX);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].ready_us, 401000u);
    EXPECT_EQ(d->stats.probes, 4u);
}

// One standard exchange: probe, block, verify of that block, reset; what a fault makes of it.
struct exchange {
    std::vector<bytes> requests;
    std::vector<uint64_t> times;
    std::vector<taken> replies;
    std::vector<taken> clean; // the same exchange without faults
    device_stats stats;
    uint8_t flash_byte_10;
};

exchange run_exchange(const device_faults &faults)
{
    exchange e;
    bytes data = test_data(1024);
    e.requests = {query(BASE, 4), block(BASE, data), query(BASE, 1024), reset_frame()};
    e.times = {1000, 10000, 200000, 300000};
    device_faults none;
    device_default_faults(&none);
    for (int pass = 0; pass < 2; pass++) {
        auto d = make_device(pass == 0 ? faults : none);
        for (size_t i = 0; i < e.requests.size(); i++)
            send(d.get(), e.requests[i], e.times[i]);
        std::vector<taken> r = take_all(d.get(), UINT64_MAX);
        if (pass == 0) {
            e.replies = r;
            e.stats = d->stats;
            e.flash_byte_10 = d->flash[10];
        } else {
            e.clean = r;
        }
    }
    return e;
}

struct fault_case {
    const char *what;
    void (*set)(device_faults *f);
    void (*check)(const exchange &e);
};

int count_valid(const exchange &e)
{
    int n = 0;
    for (const taken &t : e.replies)
        n += t.answers != 0 && frame_valid(t.frame);
    return n;
}

TEST(DeviceModel, EachFaultVisiblyActs)
{
    const fault_case cases[] = {
        {"none", [](device_faults *) {},
         [](const exchange &e) {
             EXPECT_EQ(e.replies.size(), 4u);
             EXPECT_EQ(count_valid(e), 4);
         }},
        {"drop", [](device_faults *f) { f->drop_rate = 1.0; },
         [](const exchange &e) {
             EXPECT_TRUE(e.replies.empty());
             EXPECT_EQ(e.stats.replies_dropped, 4u);
         }},
        {"corrupt", [](device_faults *f) { f->corrupt_rate = 1.0; },
         [](const exchange &e) {
             ASSERT_EQ(e.replies.size(), 4u);
             EXPECT_EQ(count_valid(e), 0);
             for (size_t i = 0; i < 4; i++) {
                 ASSERT_EQ(e.replies[i].frame.size(), e.clean[i].frame.size());
                 int flipped = 0;
                 for (size_t k = 0; k < e.clean[i].frame.size(); k++)
                     flipped += __builtin_popcount(e.replies[i].frame[k] ^ e.clean[i].frame[k]);
                 EXPECT_EQ(flipped, 1);
             }
             EXPECT_EQ(e.stats.replies_corrupted, 4u);
         }},
        {"noise", [](device_faults *f) { f->noise_rate = 1.0; },
         [](const exchange &e) {
             ASSERT_EQ(e.replies.size(), 4u);
             EXPECT_EQ(count_valid(e), 0);
             for (size_t i = 0; i < 4; i++) {
                 size_t extra = e.replies[i].frame.size() - e.clean[i].frame.size();
                 EXPECT_GE(extra, 1u);
                 EXPECT_LE(extra, 8u);
                 EXPECT_EQ(bytes(e.replies[i].frame.begin() + (long)extra, e.replies[i].frame.end()),
                           e.clean[i].frame);
             }
         }},
        {"late block acknowledgement", [](device_faults *f) { f->late_rate = 1.0; },
         [](const exchange &e) {
             ASSERT_EQ(e.replies.size(), 4u);
             EXPECT_EQ(e.replies.back().answers, DEVICE_MEI_BLOCK);
             EXPECT_EQ(e.replies.back().ready_us, e.times[1] + 5500000u);
             EXPECT_EQ(e.stats.replies_late, 1u);
         }},
        {"echo", [](device_faults *f) { f->echo = true; },
         [](const exchange &e) {
             bytes echoed, sent;
             for (const bytes &r : e.requests)
                 sent.insert(sent.end(), r.begin(), r.end());
             size_t answers = 0;
             for (const taken &t : e.replies) {
                 if (t.answers == 0)
                     echoed.insert(echoed.end(), t.frame.begin(), t.frame.end());
                 else
                     answers++;
             }
             EXPECT_EQ(echoed, sent);
             EXPECT_EQ(answers, 4u);
             EXPECT_EQ(e.replies[0].answers, 0); // the probe's echo comes before its answer
             EXPECT_EQ(e.replies[0].ready_us, e.times[0]);
         }},
        {"stuck flash byte", [](device_faults *f) { f->stuck_offset = 10; },
         [](const exchange &e) {
             EXPECT_EQ(e.flash_byte_10, 0xFF);
             ASSERT_EQ(e.replies.size(), 4u);
             EXPECT_EQ(count_valid(e), 4);
             EXPECT_NE(e.replies[2].frame, e.clean[2].frame);
         }},
    };
    for (const fault_case &c : cases) {
        SCOPED_TRACE(c.what);
        device_faults faults;
        device_default_faults(&faults);
        faults.seed = 0;
        c.set(&faults);
        c.check(run_exchange(faults));
    }
}

TEST(DeviceModel, SameSeedSameFaults)
{
    device_faults faults;
    device_default_faults(&faults);
    faults.drop_rate = 0.3;
    faults.noise_rate = 0.3;
    faults.corrupt_rate = 0.3;
    int differing_seeds = 0;
    for (uint32_t seed = 0; seed < 8; seed++) {
        faults.seed = seed;
        exchange a = run_exchange(faults);
        exchange b = run_exchange(faults);
        ASSERT_EQ(a.replies.size(), b.replies.size());
        for (size_t i = 0; i < a.replies.size(); i++)
            EXPECT_EQ(a.replies[i].frame, b.replies[i].frame);
        faults.seed = seed + 100;
        exchange c = run_exchange(faults);
        differing_seeds += c.replies.size() != a.replies.size() || c.stats.replies_noisy != a.stats.replies_noisy;
    }
    EXPECT_GT(differing_seeds, 0);
}

// Virtual line -------------------------------------------------------------------------------

std::unique_ptr<virtual_line> make_line(const device_faults &faults)
{
    std::unique_ptr<virtual_line> line(new virtual_line);
    line_init(line.get(), &faults, 0);
    return line;
}

std::unique_ptr<virtual_line> make_line()
{
    device_faults faults;
    device_default_faults(&faults);
    return make_line(faults);
}

void write_frame(virtual_line *line, const bytes &frame)
{
    line_tool_write(line, frame.data(), (int32_t)frame.size());
}

bytes read_frame(virtual_line *line, int32_t capacity = 64)
{
    uint8_t buffer[2048];
    int32_t n = line_tool_read(line, buffer, capacity, 20, 100);
    return bytes(buffer, buffer + n);
}

// 11 bits a byte at 115200 baud: the end of byte k of a burst starting at 0.
uint64_t wire_us(uint64_t k)
{
    return k * 11000000u / 115200u;
}

TEST(VirtualLine, ARequestReachesTheDeviceAfterItsWireTime)
{
    auto line = make_line();
    EXPECT_EQ(line_byte_us(line.get()), 95u);
    write_frame(line.get(), query(BASE, 4));
    write_frame(line.get(), query(BASE, 4));
    EXPECT_EQ(line->to_device_free_us, wire_us(13) + wire_us(13));
    line_advance_to(line.get(), wire_us(13) - 1);
    EXPECT_EQ(line->device.stats.probes, 0u);
    line_advance_to(line.get(), wire_us(13));
    EXPECT_EQ(line->device.stats.probes, 1u);
    line_tool_flush(line.get());
    EXPECT_EQ(line->now_us, line->to_device_free_us);
    EXPECT_EQ(line->device.stats.probes, 2u);
}

TEST(VirtualLine, ReadsEndAsTheToolsTimeoutsSay)
{
    // Nothing comes: the read gives up after the total timeout.
    auto line = make_line();
    EXPECT_TRUE(read_frame(line.get()).empty());
    EXPECT_EQ(line->now_us, 100000u);

    // A reply comes whole, and the read ends the interval after its last byte.
    line = make_line();
    write_frame(line.get(), query(BASE, 4));
    bytes reply = read_frame(line.get());
    EXPECT_EQ(reply.size(), 15u);
    EXPECT_TRUE(frame_valid(reply));
    uint64_t last_byte = wire_us(13) + wire_us(15);
    EXPECT_EQ(line->now_us, last_byte + 20000);

    // Filling the buffer ends the read at once; the rest waits for the next read.
    line = make_line();
    write_frame(line.get(), query(BASE, 4));
    EXPECT_EQ(read_frame(line.get(), 5).size(), 5u);
    EXPECT_EQ(line->now_us, wire_us(13) + wire_us(5));
    EXPECT_EQ(read_frame(line.get()).size(), 10u);

    // Two replies further apart than the interval come as two reads.
    device_faults slow;
    device_default_faults(&slow);
    slow.program_us_per_block = 30000;
    line = make_line(slow);
    write_frame(line.get(), query(BASE, 4));
    write_frame(line.get(), block(BASE, test_data(8)));
    EXPECT_EQ(read_frame(line.get()).size(), 15u);
    bytes ack = read_frame(line.get());
    EXPECT_EQ(ack.size(), 11u);
    EXPECT_EQ(line->now_us, wire_us(13) + wire_us(19) + 30000 + wire_us(11) + 20000);

    // A reply that starts after the total timeout is left for the next read.
    device_faults tardy;
    device_default_faults(&tardy);
    tardy.answer_us = 99000;
    line = make_line(tardy);
    write_frame(line.get(), query(BASE, 4));
    EXPECT_TRUE(read_frame(line.get()).empty());
    EXPECT_EQ(line->now_us, 100000u);
    EXPECT_EQ(read_frame(line.get()).size(), 15u);
}

TEST(VirtualLine, PurgeAndUnpluggingLoseWhatTheySay)
{
    auto line = make_line();
    write_frame(line.get(), query(BASE, 4));
    write_frame(line.get(), query(BASE, 4));
    // The second probe has not started when the port is purged; the first one finishes.
    line_advance_to(line.get(), wire_us(13) - 10);
    line_tool_purge(line.get());
    line_advance_to(line.get(), 50000);
    EXPECT_EQ(line->device.stats.probes, 1u);
    line_tool_purge(line.get()); // its reply has arrived: thrown away
    EXPECT_TRUE(read_frame(line.get()).empty());

    line->attached = false;
    write_frame(line.get(), query(BASE, 4));
    EXPECT_TRUE(read_frame(line.get()).empty());
    EXPECT_EQ(line->device.stats.probes, 1u);
    line->attached = true;
    write_frame(line.get(), query(BASE, 4));
    EXPECT_EQ(read_frame(line.get()).size(), 15u);
}

TEST(VirtualLine, EchoComesBackAsTheBytesGoOut)
{
    device_faults faults;
    device_default_faults(&faults);
    faults.echo = true;
    auto line = make_line(faults);
    bytes probe = query(BASE, 4);
    write_frame(line.get(), probe);
    uint8_t first[64];
    // The first echoed byte is back one byte time after it was sent.
    EXPECT_EQ(line_tool_read(line.get(), first, 1, 20, 100), 1);
    EXPECT_EQ(line->now_us, wire_us(1));
    bytes rest = read_frame(line.get());
    ASSERT_EQ(rest.size(), 12u + 15u); // echo and answer run together into one read
    EXPECT_EQ(bytes(rest.begin(), rest.begin() + 12), bytes(probe.begin() + 1, probe.end()));
}

// The devsim program ---------------------------------------------------------------------------

// Reads until `want` bytes came or `timeout_ms` passed.
bytes read_some(int fd, size_t want, int timeout_ms)
{
    bytes got;
    timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    while (got.size() < want) {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        long elapsed = (t.tv_sec - t0.tv_sec) * 1000 + (t.tv_nsec - t0.tv_nsec) / 1000000;
        if (elapsed >= timeout_ms)
            break;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)(timeout_ms - elapsed)) <= 0)
            break;
        uint8_t buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

std::string read_text_until(int fd, const std::string &end, int timeout_ms)
{
    std::string text;
    while (text.find(end) == std::string::npos) {
        bytes b = read_some(fd, 1, timeout_ms);
        if (b.empty())
            break;
        text.append(b.begin(), b.end());
    }
    return text;
}

TEST(DevsimProgram, AnswersOnItsPseudoTerminalAndReportsOnExit)
{
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(DEVSIM_PATH, DEVSIM_PATH, "--quiet", "--exit-after-reset", "--exit-after-ms", "10000", (char *)NULL);
        _exit(127);
    }
    close(out[1]);
    std::string first = read_text_until(out[0], "\n", 5000);
    const std::string prefix = "devsim: port ";
    ASSERT_EQ(first.compare(0, prefix.size(), prefix), 0) << first;
    std::string path = first.substr(prefix.size(), first.find('\n') - prefix.size());

    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << path;
    bytes probe = query(BASE, 4);
    ASSERT_EQ(write(fd, probe.data(), probe.size()), (ssize_t)probe.size());
    bytes reply = read_some(fd, 15, 1000);
    EXPECT_EQ(reply.size(), 15u);
    EXPECT_TRUE(frame_valid(reply));
    bytes reset = reset_frame();
    ASSERT_EQ(write(fd, reset.data(), reset.size()), (ssize_t)reset.size());
    EXPECT_EQ(read_some(fd, 5, 1000), reset);
    close(fd);

    std::string report = read_text_until(out[0], "flash crc", 5000);
    report += read_text_until(out[0], "\n", 1000);
    int status = -1;
    for (int k = 0; k < 300 && waitpid(pid, &status, WNOHANG) == 0; k++)
        usleep(10000);
    if (!WIFEXITED(status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(out[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(report.find("devsim: probes 1, blocks 0, rewrites 0, queries 0, resets 1, bad frames 0"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("devsim: replies 2 sent"), std::string::npos) << report;
}

} // namespace
