// The engine with the POSIX port functions, over a real pseudo-terminal, against the devsim
// program: a whole update of the default image in real time, the flash compared afterwards.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "frame_codec.h"
#include "image_fill.h"
#include "platform.h"
#include "port_posix.h"
#include "updater.h"

namespace {

std::vector<uint8_t> read_all(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

TEST(PtyUpdate, UpdatesTheSimulatedDeviceOverAPseudoTerminal)
{
    char dir[] = "/tmp/pty_update_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string link = std::string(dir) + "/port";
    std::string dump = std::string(dir) + "/flash.bin";
    std::string report = std::string(dir) + "/report.txt";

    pid_t devsim = fork();
    ASSERT_GE(devsim, 0);
    if (devsim == 0) {
        FILE *out = freopen(report.c_str(), "w", stdout);
        (void)out;
        execl(DEVSIM_PATH, DEVSIM_PATH, "--link", link.c_str(), "--dump-flash", dump.c_str(),
              "--plug-in-delay", "500", "--program-ms", "5", (char *)NULL);
        _exit(127);
    }
    struct stat st;
    for (int k = 0; k < 500 && lstat(link.c_str(), &st) != 0; k++)
        usleep(10000);
    ASSERT_EQ(lstat(link.c_str(), &st), 0) << "devsim made no port";

    std::vector<uint8_t> raw = read_all(FIRMWARE_PATH);
    static updater u;
    static uint8_t frame[FRAME_CAPACITY];
    u.frame = frame;
    u.frame_capacity = FRAME_CAPACITY;
    u.unit_address = UNIT_ADDRESS;
    u.image = fill_image(raw.data(), (int64_t)raw.size(), &u.image_size);
    ASSERT_NE(u.image, nullptr);
    u.flash_base = FLASH_BASE;
    u.baud_rate = 115200;
    u.port = open_posix_port(link.c_str(), 115200);
    ASSERT_NE(u.port, INVALID_HANDLE_VALUE);
    u.state = STATE_START;

    uint32_t start = tick_count();
    while (u.state != STATE_DONE && u.state != STATE_FAILED && tick_count() - start < 90000u) {
        poll_updater(&u);
        sleep_ms(10);
    }
    uint32_t elapsed = tick_count() - start;
    fflush(stdout);
    close_posix_port(u.port);
    kill(devsim, SIGTERM);
    int status = 0;
    waitpid(devsim, &status, 0);

    EXPECT_EQ(u.state, STATE_DONE);
    std::vector<uint8_t> flash = read_all(dump);
    ASSERT_GE(flash.size(), (size_t)u.image_size);
    EXPECT_EQ(memcmp(flash.data(), u.image, (size_t)u.image_size), 0);
    std::vector<uint8_t> text = read_all(report);
    printf("update of %d bytes took %.2f s; devsim said:\n%.*s", u.image_size, elapsed / 1000.0,
           (int)text.size(), (const char *)text.data());
    free(u.image);
    remove(dump.c_str());
    remove(report.c_str());
    rmdir(dir);
}

} // namespace
