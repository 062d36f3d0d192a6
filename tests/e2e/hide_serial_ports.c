// Preloaded into Wine for the tests: the machine's own serial ports (/dev/ttyS*, /dev/ttyUSB*,
// /dev/ttyACM*) look absent, so Wine maps none of them to a COM port and the only ports the
// tool finds are the ones a test maps to a simulated device.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <string.h>
#include <unistd.h>

static int hidden(const char *path)
{
    return path != NULL && (strncmp(path, "/dev/ttyS", 9) == 0 || strncmp(path, "/dev/ttyUSB", 11) == 0 ||
                            strncmp(path, "/dev/ttyACM", 11) == 0);
}

// Wine looks for serial devices with access(path, F_OK).
int access(const char *path, int mode)
{
    static int (*real_access)(const char *, int);
    if (hidden(path)) {
        errno = ENOENT;
        return -1;
    }
    if (real_access == NULL)
        real_access = (int (*)(const char *, int))dlsym(RTLD_NEXT, "access");
    return real_access(path, mode);
}
