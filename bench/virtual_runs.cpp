// Whole updates in virtual time: the engine, the device model and the 115200 8E1 line with a
// fake clock, so what the protocol's own timing costs shows with no operating system in the way.
//   virtual_runs bench IMAGE [PROGRAM_MS]  one update: times, wire floor, per-block spread
//   virtual_runs soak IMAGE [RUNS] [SEED]  seeded updates with random faults: outcome table
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "frame_codec.h"
#include "image_fill.h"
#include "report.h"
#include "updater.h"
#include "virtual_host.h"
#include "virtual_line.h"

namespace {

const uint64_t MS = 1000;
FILE *figures; // standard output as it was; the trace itself goes nowhere
const uint64_t HANG_LIMIT_US = 3600ull * 1000 * MS; // an hour of virtual time

struct outcome {
    update_state state;
    bool flash_right;
    uint64_t link_up_us;
    uint64_t done_us;
    std::vector<uint64_t> block_sends_us;
};

std::vector<uint8_t> load(const char *path)
{
    std::vector<uint8_t> raw;
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        fprintf(stderr, "virtual_runs: cannot read %s\n", path);
        exit(2);
    }
    int c;
    while ((c = fgetc(f)) != EOF)
        raw.push_back((uint8_t)c);
    fclose(f);
    int32_t size = 0;
    uint8_t *filled = fill_image(raw.data(), (int64_t)raw.size(), &size);
    std::vector<uint8_t> image(filled, filled + size);
    free(filled);
    return image;
}

outcome run_update(virtual_line *line, const device_faults &faults, std::vector<uint8_t> &image)
{
    static virtual_host host;
    static uint8_t frame[FRAME_CAPACITY];
    line_init(line, &faults, 0);
    attach_virtual_host(&host, line, 0);
    updater u;
    start_virtual_update(&u, frame, image.data(), (int32_t)image.size());
    outcome o = {};
    size_t seen_writes = 0;
    while (u.state != STATE_DONE && u.state != STATE_FAILED && line->now_us < HANG_LIMIT_US) {
        poll_updater(&u);
        for (; seen_writes < host.written.size(); seen_writes++)
            if (host.written[seen_writes].size() > QUERY_FRAME_LENGTH)
                o.block_sends_us.push_back(host.write_times_us[seen_writes]);
        if (o.link_up_us == 0 && u.state == STATE_AWAIT_BLOCK_ACK)
            o.link_up_us = o.block_sends_us.empty() ? line->now_us : o.block_sends_us.front();
        line_advance_to(line, line->now_us + 10 * MS);
    }
    o.state = u.state;
    o.done_us = line->now_us;
    o.flash_right = memcmp(line->device.flash, image.data(), image.size()) == 0;
    return o;
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    size_t i = (size_t)(p * (double)(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

int bench(std::vector<uint8_t> &image, double program_ms)
{
    std::unique_ptr<virtual_line> line(new virtual_line);
    device_faults f;
    device_default_faults(&f);
    f.program_us_per_block = (uint32_t)(program_ms * 1000.0);
    outcome o = run_update(line.get(), f, image);
    double seconds = (double)(o.done_us - o.link_up_us) / 1e6;
    // Every byte of every request and reply after link-up, at 11 bits a byte.
    int blocks = (int)(image.size() / BLOCK_SIZE);
    double wire_bytes = blocks * (double)(BLOCK_SIZE + BLOCK_FRAME_OVERHEAD + 11) + (13 + 15) + (5 + 5);
    double floor = wire_bytes * 11.0 / 115200.0;
    std::vector<double> per_block;
    for (size_t i = 1; i < o.block_sends_us.size(); i++)
        per_block.push_back((double)(o.block_sends_us[i] - o.block_sends_us[i - 1]) / 1000.0);
    fprintf(figures, "virtual time: %s, %zu bytes, programming %.1f ms a block\n",
           o.state == STATE_DONE ? "completed" : "NOT completed", image.size(), program_ms);
    fprintf(figures, "  link-up to reset acknowledged  %7.2f s  (%.2fx the wire floor)  %6.0f bytes/s\n", seconds,
           seconds / floor, (double)image.size() / seconds);
    fprintf(figures, "  wire floor                     %7.2f s  (%.0f bytes at 11 bits)\n", floor, wire_bytes);
    if (!per_block.empty())
        fprintf(figures, "  per block ms: min %.1f  median %.1f  p90 %.1f  max %.1f\n", percentile(per_block, 0),
               percentile(per_block, 0.5), percentile(per_block, 0.9), percentile(per_block, 1));
    return o.state == STATE_DONE ? 0 : 1;
}

uint32_t next_random(uint32_t *state)
{
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

double uniform(uint32_t *state, double top)
{
    return top * (double)(next_random(state) >> 8) / 16777216.0;
}

int soak(std::vector<uint8_t> &image, int runs, uint32_t seed)
{
    std::unique_ptr<virtual_line> line(new virtual_line);
    uint32_t r = seed ? seed : 1;
    int completed_right = 0, failed_wrong = 0, failed_right = 0, false_success = 0, hangs = 0;
    for (int i = 0; i < runs; i++) {
        device_faults f;
        device_default_faults(&f);
        f.seed = next_random(&r);
        f.plug_in_delay_ms = (uint32_t)uniform(&r, 3000);
        f.drop_rate = uniform(&r, 0.1);
        f.corrupt_rate = uniform(&r, 0.1);
        f.noise_rate = uniform(&r, 0.1);
        f.late_rate = uniform(&r, 0.1);
        f.echo = uniform(&r, 1) < 0.1;
        f.stuck_offset = uniform(&r, 1) < 0.2 ? (int32_t)uniform(&r, (double)image.size()) : -1;
        f.program_us_per_block = (uint32_t)uniform(&r, 40000);
        f.answer_us = (uint32_t)uniform(&r, 30000);
        outcome o = run_update(line.get(), f, image);
        const char *verdict;
        if (o.state == STATE_DONE && o.flash_right) {
            completed_right++;
            verdict = NULL;
        } else if (o.state == STATE_DONE) {
            false_success++;
            verdict = "FALSE SUCCESS";
        } else if (o.state == STATE_FAILED) {
            (o.flash_right ? failed_right : failed_wrong)++;
            verdict = o.flash_right ? "FAILED with the right flash" : f.stuck_offset < 0 ? "FAILED without a stuck byte" : NULL;
        } else {
            hangs++;
            verdict = "HANG";
        }
        if (verdict != NULL) {
            const device_stats &d = line->device.stats;
            fprintf(figures, "  run %d: %s (seed %u, echo %d, stuck %d, drop %.2f corrupt %.2f noise %.2f late %.2f)\n", i,
                   verdict, f.seed, f.echo, f.stuck_offset, f.drop_rate, f.corrupt_rate, f.noise_rate, f.late_rate);
            fprintf(figures, "    device: blocks %u rewrites %u queries %u bad %u noise %u sent %u dropped %u late %u overflowed %u\n",
                    d.blocks, d.rewrites, d.queries, d.bad_frames, d.noise_bytes, d.replies_sent, d.replies_dropped,
                    d.replies_late, d.replies_overflowed);
        }
    }
    fprintf(figures, "soak in virtual time: %d runs of %zu bytes\n", runs, image.size());
    fprintf(figures, "  completed, right flash     %d\n", completed_right);
    fprintf(figures, "  FAILED, wrong flash        %d\n", failed_wrong);
    fprintf(figures, "  FAILED, right flash        %d\n", failed_right);
    fprintf(figures, "  false successes            %d\n", false_success);
    fprintf(figures, "  hangs (no end in an hour)  %d\n", hangs);
    return false_success == 0 && hangs == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: virtual_runs bench IMAGE [PROGRAM_MS] | soak IMAGE [RUNS] [SEED]\n");
        return 2;
    }
    std::vector<uint8_t> image = load(argv[2]);
    // The trace would drown the figures: it goes nowhere unless VIRTUAL_TRACE is set.
    fflush(stdout);
    figures = fdopen(dup(fileno(stdout)), "w");
    if (figures == NULL || (getenv("VIRTUAL_TRACE") == NULL && freopen("/dev/null", "w", stdout) == NULL))
        return 2;
    if (strcmp(argv[1], "bench") == 0)
        return bench(image, argc > 3 ? atof(argv[3]) : 5.0);
    if (strcmp(argv[1], "soak") == 0)
        return soak(image, argc > 3 ? atoi(argv[3]) : 200, argc > 4 ? (uint32_t)strtoul(argv[4], NULL, 10) : 1);
    fprintf(stderr, "virtual_runs: unknown mode %s\n", argv[1]);
    return 2;
}
