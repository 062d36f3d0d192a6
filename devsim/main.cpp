// devsim: the device model served on a pseudo-terminal in real time, so that a real port
// driver (or Wine's) can update it. The line is modelled at its baud rate in both directions.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "device_model.h"

enum {
    RING_CAPACITY = 65536,  // bytes in flight per direction; far more than one request
    READ_CHUNK = 4096,
    MAX_WAIT_NS = 10000000, // longest sleep, so signals, hang-ups and deadlines are seen soon
    RESET_GRACE_MS = 250,   // after the reset acknowledgement: time for the tool to read it
    PATH_CAPACITY = 512
};

static const uint64_t NS_PER_MS = 1000000u;

struct options {
    const char *link;
    const char *dump_path;
    device_faults faults;
    uint32_t baud;
    bool exit_after_reset;
    uint32_t exit_after_ms;
    uint32_t unplug_after_blocks;
    uint32_t replug_after_ms;
    bool quiet;
};

struct timed_byte {
    uint64_t at_ns; // when its last bit has crossed the line
    uint8_t value;
};

struct byte_ring {
    int32_t head;
    int32_t count;
    timed_byte bytes[RING_CAPACITY];
};

struct port {
    int master;          // -1 while unplugged
    char slave_path[PATH_CAPACITY];
    bool tool_open;      // someone holds the slave side open
};

static device_model the_device;
static byte_ring to_device;
static byte_ring to_tool;
static volatile sig_atomic_t stop_requested;
static uint64_t ring_overflows;

static uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static void on_signal(int)
{
    stop_requested = 1;
}

static void ring_push(byte_ring *r, uint64_t at_ns, uint8_t value)
{
    if (r->count == RING_CAPACITY) {
        r->head = (r->head + 1) % RING_CAPACITY;
        r->count--;
        ring_overflows++;
    }
    timed_byte *b = &r->bytes[(r->head + r->count) % RING_CAPACITY];
    b->at_ns = at_ns;
    b->value = value;
    r->count++;
}

static const timed_byte *ring_front(const byte_ring *r)
{
    return r->count > 0 ? &r->bytes[r->head] : nullptr;
}

static void ring_pop(byte_ring *r)
{
    r->head = (r->head + 1) % RING_CAPACITY;
    r->count--;
}

static void log_event(const options *o, const char *text)
{
    if (!o->quiet)
        fprintf(stderr, "devsim: %s\n", text);
}

// The slave is left raw and without CLOCAL for the next connection: Wine's SetCommState on a
// pty only reports success when its call changes something, and turning CLOCAL on is that.
// Stale bytes from an earlier connection are thrown away at the same time.
static void prepare_slave(const char *path)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return;
    termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag &= ~(tcflag_t)CLOCAL;
        tcsetattr(fd, TCSANOW, &t);
    }
    tcflush(fd, TCIOFLUSH);
    close(fd);
}

static void link_port(const options *o, const port *p)
{
    if (!o->link)
        return;
    char tmp[PATH_CAPACITY + 8];
    snprintf(tmp, sizeof tmp, "%s.new", o->link);
    unlink(tmp);
    if (symlink(p->slave_path, tmp) != 0 || rename(tmp, o->link) != 0)
        fprintf(stderr, "devsim: cannot link %s to %s: %s\n", o->link, p->slave_path, strerror(errno));
}

static bool open_port(const options *o, port *p)
{
    p->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (p->master < 0 || grantpt(p->master) != 0 || unlockpt(p->master) != 0 ||
        ptsname_r(p->master, p->slave_path, sizeof p->slave_path) != 0) {
        fprintf(stderr, "devsim: cannot open a pseudo-terminal: %s\n", strerror(errno));
        if (p->master >= 0)
            close(p->master);
        p->master = -1;
        return false;
    }
    termios t;
    if (tcgetattr(p->master, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(p->master, TCSANOW, &t);
    }
    prepare_slave(p->slave_path);
    p->tool_open = false;
    link_port(o, p); // before the port is announced, so the link is there once it is read
    printf("devsim: port %s\n", p->slave_path);
    fflush(stdout);
    return true;
}

static void close_port(const options *o, port *p)
{
    if (p->master >= 0)
        close(p->master);
    p->master = -1;
    p->tool_open = false;
    if (o->link)
        unlink(o->link);
}

static bool parse_u32(const char *text, uint32_t *out)
{
    if (!text)
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > 0xFFFFFFFFull)
        return false;
    *out = (uint32_t)v;
    return true;
}

static bool parse_double(const char *text, double lo, double hi, double *out)
{
    if (!text)
        return false;
    char *end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v >= lo && v <= hi))
        return false;
    *out = v;
    return true;
}

static void print_usage(FILE *f)
{
    fprintf(f,
            "usage: devsim [options]\n"
            "Serves a simulated bootloader (unit 4, flash at 0x08004000, 8E1 line timing) on a new\n"
            "pseudo-terminal; the first line printed is 'devsim: port /dev/pts/N'.\n"
            "  --link PATH              make PATH a symlink to the port (removed on exit)\n"
            "  --baud N                 line speed for the byte timing (default 115200)\n"
            "  --seed N                 seed of every random fault choice (default 0)\n"
            "  --plug-in-delay MS       hear nothing for MS after start\n"
            "  --plug-in-after-probes N ignore everything until N contact probes were heard\n"
            "  --drop RATE              share (0..1) of answers never sent\n"
            "  --corrupt RATE           share of answers with one bit flipped\n"
            "  --noise RATE             share of answers preceded by 1..8 random bytes\n"
            "  --late RATE              share of block acknowledgements held back...\n"
            "  --late-ms MS             ...this long (default 5500)\n"
            "  --echo                   every byte the tool sends comes back (half-duplex adapter)\n"
            "  --stuck-offset N         the flash byte at image offset N never programs\n"
            "  --stuck-once             ...only until the first verify (so a retry succeeds)\n"
            "  --program-ms MS          time to program a block before its acknowledgement\n"
            "                           (fractional allowed)\n"
            "  --program-us US          the same in microseconds\n"
            "  --answer-us US           time to answer a query or a reset\n"
            "  --exit-after-reset       exit once a good reset acknowledgement went out and the\n"
            "                           tool closed the port (or 250 ms passed)\n"
            "  --exit-after-ms MS       exit after MS\n"
            "  --dump-flash FILE        on exit write the flash from 0x08004000 up to the highest\n"
            "                           byte written (exactly; empty when nothing was written)\n"
            "  --unplug-after-blocks N  pull the adapter once N blocks were accepted (the port\n"
            "                           and link vanish; the acknowledgement of block N is lost)\n"
            "  --replug-after-ms MS     plug it back after MS (default 1000) as a new port, printed\n"
            "                           again and re-linked\n"
            "  --quiet                  no connection log on stderr\n"
            "  --help                   this text\n"
            "On exit (and on SIGINT/SIGTERM) it prints its counts and the flash CRC over the last\n"
            "verify range (or up to the highest byte written) to stdout, and exits 0.\n");
}

// Returns 0 on success, 1 for --help, 2 for a bad command line.
static int parse_options(int argc, char **argv, options *o)
{
    memset(o, 0, sizeof *o);
    device_default_faults(&o->faults);
    o->baud = 115200;
    o->replug_after_ms = 1000;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        bool takes_value = true;
        double ms = 0;
        uint32_t offset = 0;
        if (strcmp(a, "--help") == 0) {
            print_usage(stdout);
            return 1;
        } else if (strcmp(a, "--echo") == 0) {
            o->faults.echo = true;
            takes_value = false;
        } else if (strcmp(a, "--exit-after-reset") == 0) {
            o->exit_after_reset = true;
            takes_value = false;
        } else if (strcmp(a, "--quiet") == 0) {
            o->quiet = true;
            takes_value = false;
        } else if (strcmp(a, "--link") == 0) {
            o->link = v;
            ok = v && strlen(v) < PATH_CAPACITY;
        } else if (strcmp(a, "--dump-flash") == 0) {
            o->dump_path = v;
            ok = v != nullptr;
        } else if (strcmp(a, "--baud") == 0) {
            ok = parse_u32(v, &o->baud) && o->baud >= 300;
        } else if (strcmp(a, "--seed") == 0) {
            ok = parse_u32(v, &o->faults.seed);
        } else if (strcmp(a, "--plug-in-delay") == 0) {
            ok = parse_u32(v, &o->faults.plug_in_delay_ms);
        } else if (strcmp(a, "--plug-in-after-probes") == 0) {
            ok = parse_u32(v, &o->faults.plug_in_after_probes);
        } else if (strcmp(a, "--drop") == 0) {
            ok = parse_double(v, 0, 1, &o->faults.drop_rate);
        } else if (strcmp(a, "--corrupt") == 0) {
            ok = parse_double(v, 0, 1, &o->faults.corrupt_rate);
        } else if (strcmp(a, "--noise") == 0) {
            ok = parse_double(v, 0, 1, &o->faults.noise_rate);
        } else if (strcmp(a, "--late") == 0) {
            ok = parse_double(v, 0, 1, &o->faults.late_rate);
        } else if (strcmp(a, "--late-ms") == 0) {
            ok = parse_u32(v, &o->faults.late_ms);
        } else if (strcmp(a, "--stuck-offset") == 0) {
            ok = parse_u32(v, &offset) && offset < DEVICE_FLASH_SIZE;
            o->faults.stuck_offset = (int32_t)offset;
        } else if (strcmp(a, "--stuck-once") == 0) {
            o->faults.stuck_once = true;
            takes_value = false;
        } else if (strcmp(a, "--program-ms") == 0) {
            ok = parse_double(v, 0, 4000000, &ms);
            o->faults.program_us_per_block = (uint32_t)(ms * 1000.0 + 0.5);
        } else if (strcmp(a, "--program-us") == 0) {
            ok = parse_u32(v, &o->faults.program_us_per_block);
        } else if (strcmp(a, "--answer-us") == 0) {
            ok = parse_u32(v, &o->faults.answer_us);
        } else if (strcmp(a, "--exit-after-ms") == 0) {
            ok = parse_u32(v, &o->exit_after_ms);
        } else if (strcmp(a, "--unplug-after-blocks") == 0) {
            ok = parse_u32(v, &o->unplug_after_blocks);
        } else if (strcmp(a, "--replug-after-ms") == 0) {
            ok = parse_u32(v, &o->replug_after_ms);
        } else {
            fprintf(stderr, "devsim: unknown option %s\n", a);
            print_usage(stderr);
            return 2;
        }
        if (!ok) {
            fprintf(stderr, "devsim: bad or missing value for %s\n", a);
            return 2;
        }
        if (takes_value)
            i++;
    }
    return 0;
}

static bool is_good_reset_ack(const device_reply *r)
{
    if (r->answers != DEVICE_MEI_RESET || r->length != DEVICE_RESET_REPLY_LENGTH ||
        r->bytes[0] != DEVICE_UNIT_ADDRESS)
        return false;
    uint16_t crc = device_crc16(r->bytes, r->length - 2);
    return r->bytes[r->length - 2] == (uint8_t)crc && r->bytes[r->length - 1] == (uint8_t)(crc >> 8);
}

struct line_clock {
    uint64_t byte_ns;
    uint64_t to_device_last_ns; // arrival of the last byte read from the tool
    uint64_t to_tool_free_ns;   // when the device's transmitter is idle again
    uint64_t reset_ack_end_ns;  // last byte of a good reset acknowledgement, 0 until there is one
};

// Replies go out back to back at line speed; nobody listening means they are lost.
static void send_reply(const port *p, line_clock *c, const device_reply *r)
{
    if (p->master < 0 || !p->tool_open)
        return;
    uint64_t ready_ns = r->ready_us * 1000u;
    // An echo is the tool's own signal seen on the shared wire: it ends as the sent bytes end.
    uint64_t echo_ns = (uint64_t)r->length * c->byte_ns;
    if (r->answers == 0)
        ready_ns = ready_ns > echo_ns ? ready_ns - echo_ns : 0;
    uint64_t start = ready_ns > c->to_tool_free_ns ? ready_ns : c->to_tool_free_ns;
    for (int32_t k = 0; k < r->length; k++)
        ring_push(&to_tool, start + (uint64_t)(k + 1) * c->byte_ns, r->bytes[k]);
    c->to_tool_free_ns = start + (uint64_t)r->length * c->byte_ns;
    if (is_good_reset_ack(r))
        c->reset_ack_end_ns = c->to_tool_free_ns;
}

// Device events up to `now` in time order: bytes arriving and replies falling due.
static void run_device(const port *p, line_clock *c, uint64_t now)
{
    for (;;) {
        const timed_byte *b = ring_front(&to_device);
        uint64_t byte_at = b ? b->at_ns : UINT64_MAX;
        uint64_t ready = device_next_ready(&the_device);
        uint64_t reply_at = ready == UINT64_MAX ? UINT64_MAX : ready * 1000u;
        device_reply r;
        if (reply_at <= byte_at && reply_at <= now && device_take_reply(&the_device, ready, &r)) {
            send_reply(p, c, &r);
        } else if (byte_at <= now) {
            uint8_t value = b->value;
            ring_pop(&to_device);
            device_receive(&the_device, &value, 1, byte_at / 1000u);
        } else {
            break;
        }
    }
}

// Returns whether anything came (so someone is on the other end).
static bool read_tool(port *p, line_clock *c, uint64_t now)
{
    uint8_t buf[READ_CHUNK];
    bool got = false;
    for (;;) {
        ssize_t n = read(p->master, buf, sizeof buf);
        if (n <= 0)
            return got; // EAGAIN: nothing more; EIO: nobody on the slave side
        got = true;
        for (ssize_t i = 0; i < n; i++) {
            uint64_t from = now > c->to_device_last_ns ? now : c->to_device_last_ns;
            c->to_device_last_ns = from + c->byte_ns;
            ring_push(&to_device, c->to_device_last_ns, buf[i]);
        }
    }
}

static void write_tool(port *p, uint64_t now)
{
    uint8_t buf[READ_CHUNK];
    for (;;) {
        int32_t n = 0;
        for (int32_t i = 0; i < to_tool.count && n < READ_CHUNK; i++) {
            const timed_byte *b = &to_tool.bytes[(to_tool.head + i) % RING_CAPACITY];
            if (b->at_ns > now)
                break;
            buf[n++] = b->value;
        }
        if (n == 0)
            return;
        ssize_t w = p->tool_open ? write(p->master, buf, (size_t)n) : n;
        if (w <= 0)
            return; // the slave's input is full: try again on the next round
        for (ssize_t i = 0; i < w; i++)
            ring_pop(&to_tool);
    }
}

static void clear_line(line_clock *c)
{
    to_tool.count = 0;
    to_device.count = 0;
    c->to_tool_free_ns = 0;
}

// When the first block and the last reset frame arrived, for timing an update from the
// device's side (nanoseconds since start; 0: not yet), and the gaps between blocks.
static uint64_t first_block_ns, last_reset_ns, last_block_ns;
enum { MAX_TIMED_BLOCKS = 4096 };
static uint32_t block_gap_us[MAX_TIMED_BLOCKS];
static int timed_blocks;

static int compare_u32(const void *a, const void *b)
{
    uint32_t x = *(const uint32_t *)a, y = *(const uint32_t *)b;
    return x < y ? -1 : x > y;
}

static void print_block_gaps(void)
{
    if (timed_blocks == 0)
        return;
    qsort(block_gap_us, (size_t)timed_blocks, sizeof block_gap_us[0], compare_u32);
    printf("devsim: ms between blocks: min %.1f, median %.1f, p90 %.1f, max %.1f over %d gaps\n",
           block_gap_us[0] / 1e3, block_gap_us[timed_blocks / 2] / 1e3, block_gap_us[timed_blocks * 9 / 10] / 1e3,
           block_gap_us[timed_blocks - 1] / 1e3, timed_blocks);
}

static void print_report(const options *o)
{
    const device_stats *s = &the_device.stats;
    if (first_block_ns != 0 && last_reset_ns > first_block_ns)
        printf("devsim: first block at %.3f s, reset at %.3f s: %.3f s from first block to reset\n",
               first_block_ns / 1e9, last_reset_ns / 1e9, (last_reset_ns - first_block_ns) / 1e9);
    print_block_gaps();
    printf("devsim: probes %u, blocks %u, rewrites %u, queries %u, resets %u, bad frames %u, noise bytes %u\n",
           s->probes, s->blocks, s->rewrites, s->queries, s->resets, s->bad_frames, s->noise_bytes);
    printf("devsim: replies %u sent, %u dropped, %u corrupted, %u late, %u noisy, %u overflowed\n",
           s->replies_sent, s->replies_dropped, s->replies_corrupted, s->replies_late, s->replies_noisy,
           s->replies_overflowed);
    uint32_t address = DEVICE_FLASH_BASE;
    uint32_t length = s->highest_written;
    if (the_device.queried) {
        address = the_device.query_address;
        length = the_device.query_length;
    }
    printf("devsim: flash crc 0x%04x over 0x%x bytes from 0x%x\n",
           device_flash_crc(&the_device, address, length), length, address);
    fflush(stdout);
    if (ring_overflows > 0 && !o->quiet)
        fprintf(stderr, "devsim: %llu bytes lost to full line buffers\n", (unsigned long long)ring_overflows);
}

static bool dump_flash(const char *path)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        return false;
    size_t n = the_device.stats.highest_written;
    bool ok = fwrite(the_device.flash, 1, n, f) == n;
    return fclose(f) == 0 && ok;
}

static void wait_for_port(port *p, uint64_t timeout_ns)
{
    timespec ts;
    ts.tv_sec = (time_t)(timeout_ns / 1000000000u);
    ts.tv_nsec = (long)(timeout_ns % 1000000000u);
    if (p->master < 0) {
        nanosleep(&ts, nullptr);
        return;
    }
    pollfd pfd;
    pfd.fd = p->master;
    pfd.events = POLLIN;
    pfd.revents = 0;
    int r = ppoll(&pfd, 1, &ts, nullptr);
    if (r > 0 && (pfd.revents & POLLHUP)) {
        // With nobody on the slave side poll reports the hang-up at once, every time: sleep
        // instead of spinning.
        nanosleep(&ts, nullptr);
    }
}

// Follows the tool opening and closing the port; after each close the slave is prepared for
// the next connection.
static void track_connection(const options *o, port *p, line_clock *c, bool *tool_closed)
{
    if (p->master < 0)
        return;
    pollfd pfd;
    pfd.fd = p->master;
    pfd.events = POLLIN;
    pfd.revents = 0;
    poll(&pfd, 1, 0);
    bool open_now = !(pfd.revents & POLLHUP);
    if (open_now && !p->tool_open) {
        p->tool_open = true;
        log_event(o, "the tool opened the port");
    } else if (!open_now && p->tool_open) {
        p->tool_open = false;
        to_tool.count = 0;
        c->to_tool_free_ns = 0;
        prepare_slave(p->slave_path);
        *tool_closed = true;
        log_event(o, "the tool closed the port");
    }
}

int main(int argc, char **argv)
{
    static options o;
    int parsed = parse_options(argc, argv, &o);
    if (parsed != 0)
        return parsed == 1 ? 0 : 2;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    uint64_t start = now_ns();
    device_init(&the_device, &o.faults, start / 1000u);
    line_clock clock;
    memset(&clock, 0, sizeof clock);
    clock.byte_ns = 11u * 1000000000ull / o.baud;

    static port p;
    p.master = -1;
    if (!open_port(&o, &p))
        return 1;

    bool unplugged = false;
    uint64_t replug_at = 0;
    uint64_t reset_sent_at = 0;
    while (!stop_requested) {
        uint64_t now = now_ns();
        if (o.exit_after_ms && now - start >= o.exit_after_ms * NS_PER_MS)
            break;
        bool tool_closed = false;
        track_connection(&o, &p, &clock, &tool_closed);
        if (p.master >= 0 && read_tool(&p, &clock, now) && !p.tool_open) {
            p.tool_open = true; // opened and written to since the last look
            log_event(&o, "the tool opened the port");
        }
        uint32_t resets_before = the_device.stats.resets;
        uint32_t blocks_before = the_device.stats.blocks;
        run_device(&p, &clock, now);
        if (the_device.stats.blocks != blocks_before) {
            if (first_block_ns == 0)
                first_block_ns = now - start;
            else if (timed_blocks < MAX_TIMED_BLOCKS)
                block_gap_us[timed_blocks++] = (uint32_t)((now - start - last_block_ns) / 1000u);
            last_block_ns = now - start;
        }
        if (the_device.stats.resets != resets_before)
            last_reset_ns = now - start;

        if (o.unplug_after_blocks && !unplugged && the_device.stats.blocks >= o.unplug_after_blocks) {
            unplugged = true;
            close_port(&o, &p);
            clear_line(&clock);
            replug_at = now + o.replug_after_ms * NS_PER_MS;
            log_event(&o, "adapter pulled");
        }
        if (unplugged && p.master < 0 && now >= replug_at) {
            if (!open_port(&o, &p))
                break;
            log_event(&o, "adapter plugged back in");
        }
        if (p.master >= 0)
            write_tool(&p, now);

        if (o.exit_after_reset && clock.reset_ack_end_ns != 0 && clock.reset_ack_end_ns <= now &&
            to_tool.count == 0) {
            if (reset_sent_at == 0)
                reset_sent_at = now;
            if (tool_closed || !p.tool_open || now - reset_sent_at >= RESET_GRACE_MS * NS_PER_MS)
                break;
        }

        uint64_t next = now + MAX_WAIT_NS;
        const timed_byte *in = ring_front(&to_device);
        if (in && in->at_ns < next)
            next = in->at_ns;
        const timed_byte *out = ring_front(&to_tool);
        if (out && out->at_ns < next)
            next = out->at_ns;
        uint64_t ready = device_next_ready(&the_device);
        if (ready != UINT64_MAX && ready * 1000u < next)
            next = ready * 1000u;
        if (unplugged && p.master < 0 && replug_at < next)
            next = replug_at;
        if (next > now)
            wait_for_port(&p, next - now);
    }

    print_report(&o);
    if (o.dump_path && !dump_flash(o.dump_path))
        fprintf(stderr, "devsim: cannot write %s: %s\n", o.dump_path, strerror(errno));
    close_port(&o, &p);
    return 0;
}
