#include "port_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

// The same read timing the Windows port is given: up to 100 ms for the whole read, and a
// 20 ms silence after a byte ends it. The device's replies are delimited by that gap.
enum { READ_TOTAL_MS = 100, READ_INTERVAL_MS = 20 };

static speed_t speed_for(uint32_t baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    default: return B115200;
    }
}

port_handle open_posix_port(const char *path, uint32_t baud)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    struct termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cflag &= ~(tcflag_t)(CSIZE | PARODD | CSTOPB | CRTSCTS);
        tio.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;
        tio.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY | INPCK);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        cfsetispeed(&tio, speed_for(baud));
        cfsetospeed(&tio, speed_for(baud));
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

void close_posix_port(port_handle handle)
{
    if (handle != INVALID_HANDLE_VALUE)
        close(handle);
}

static int64_t now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int32_t read_port(port_handle handle, uint8_t *buffer, int32_t capacity)
{
    if (handle == INVALID_HANDLE_VALUE || capacity <= 0)
        return 0;
    int64_t start = now_ms();
    int32_t count = 0;
    while (count < capacity) {
        int64_t left = READ_TOTAL_MS - (now_ms() - start);
        if (left <= 0)
            break;
        int64_t wait = count == 0 || left < READ_INTERVAL_MS ? left : (int64_t)READ_INTERVAL_MS;
        struct pollfd p = {handle, POLLIN, 0};
        int ready = poll(&p, 1, (int)wait);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break; // the interval passed with no further byte, or the total ran out
        if (!(p.revents & POLLIN)) {
            // The other side is gone: like Win32 on a closed line, give up at once with nothing.
            break;
        }
        ssize_t got = read(handle, buffer + count, (size_t)(capacity - count));
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            break;
        count += (int32_t)got;
    }
    return count;
}

int32_t write_port(port_handle handle, const uint8_t *buffer, int32_t count)
{
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    int32_t done = 0;
    while (done < count) {
        ssize_t put = write(handle, buffer + done, (size_t)(count - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            break;
        done += (int32_t)put;
    }
    return done;
}

void purge_port(port_handle handle)
{
    if (handle != INVALID_HANDLE_VALUE)
        tcflush(handle, TCIOFLUSH);
}

void flush_port(port_handle handle)
{
    if (handle != INVALID_HANDLE_VALUE)
        tcdrain(handle);
}
