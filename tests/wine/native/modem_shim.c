/* Test scaffolding for running the Windows tests under Wine, never part of the program.
 *
 * Wine drives a COM port that is linked to a Linux pseudo-terminal with the serial ioctls of a
 * real UART. A pty answers the modem-line and counter requests with ENOTTY, and Wine then fails
 * EscapeCommFunction, GetCommModemStatus and WaitCommEvent. Preloaded into Wine
 * (LD_PRELOAD=liblan2com_modem_shim.so), this library answers those requests for pty slaves only,
 * as a null-modem cable whose other end is always present would: DTR and RTS keep what was set,
 * CTS, DSR and DCD read asserted, the transmitter is always empty, no line errors are counted.
 *
 * With LAN2COM_SHIM_STATE_DIR set, every change of DTR/RTS on pty N is also written to the file
 * <dir>/pts-N as "dtr=<0|1> rts=<0|1>", so that the peer on the master side can tell the line
 * states the port set. Every other request, and every other device, goes to the real ioctl.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

/* Unix98 pty slaves (/dev/pts/N) use character majors 136 to 143. */
enum { PTS_MAJOR_FIRST = 136, PTS_MAJOR_LAST = 143, MAX_LINES = 256 };

struct line {
    dev_t rdev;
    int bits; /* TIOCM_DTR | TIOCM_RTS as last set */
};

static pthread_mutex_t lines_lock = PTHREAD_MUTEX_INITIALIZER;
static struct line lines[MAX_LINES];
static int line_count;

static ioctl_fn real_ioctl(void) {
    static ioctl_fn fn;
    if (fn == NULL) {
        fn = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    }
    return fn;
}

static int pty_slave(int fd, dev_t* rdev) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return 0;
    }
    unsigned maj = major(st.st_rdev);
    if (maj < PTS_MAJOR_FIRST || maj > PTS_MAJOR_LAST) {
        return 0;
    }
    *rdev = st.st_rdev;
    return 1;
}

/* The entry of a line; lines_lock held. NULL only when the table is full. */
static struct line* find_line(dev_t rdev) {
    for (int i = 0; i < line_count; ++i) {
        if (lines[i].rdev == rdev) {
            return &lines[i];
        }
    }
    if (line_count == MAX_LINES) {
        return NULL;
    }
    lines[line_count].rdev = rdev;
    lines[line_count].bits = 0;
    return &lines[line_count++];
}

static unsigned pts_number(dev_t rdev) {
    return (major(rdev) - PTS_MAJOR_FIRST) * 256u + minor(rdev);
}

/* Publishes the line states of a pty for the peer; lines_lock held. */
static void publish(dev_t rdev, int bits) {
    const char* dir = getenv("LAN2COM_SHIM_STATE_DIR");
    if (dir == NULL || dir[0] == '\0') {
        return;
    }
    char path[4096];
    char temp[4096 + 16];
    snprintf(path, sizeof path, "%s/pts-%u", dir, pts_number(rdev));
    snprintf(temp, sizeof temp, "%s.%ld", path, (long)getpid());
    int fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    char text[32];
    int n = snprintf(text, sizeof text, "dtr=%d rts=%d\n", (bits & TIOCM_DTR) ? 1 : 0,
                     (bits & TIOCM_RTS) ? 1 : 0);
    int ok = write(fd, text, (size_t)n) == n;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp, path) != 0) {
        unlink(temp);
    }
}

/* Answers one modem request of a pty slave; answers -1 (errno kept) when it is not one of ours. */
static int emulate(dev_t rdev, unsigned long request, void* arg) {
    const int own = TIOCM_DTR | TIOCM_RTS;
    const int peer = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
    int handled = 1;
    pthread_mutex_lock(&lines_lock);
    struct line* l = find_line(rdev);
    if (l == NULL) {
        handled = 0;
    } else if (request == TIOCMGET) {
        *(int*)arg = (l->bits & own) | peer;
    } else if (request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) {
        int before = l->bits;
        int value = *(const int*)arg & own;
        if (request == TIOCMSET) {
            l->bits = value;
        } else if (request == TIOCMBIS) {
            l->bits |= value;
        } else {
            l->bits &= ~value;
        }
        if (l->bits != before) {
            publish(rdev, l->bits);
        }
    } else if (request == TIOCSERGETLSR) {
        *(unsigned*)arg = TIOCSER_TEMT;
    } else if (request == TIOCGICOUNT) {
        memset(arg, 0, sizeof(struct serial_icounter_struct));
    } else {
        handled = 0;
    }
    pthread_mutex_unlock(&lines_lock);
    return handled ? 0 : -1;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    ioctl_fn real = real_ioctl();
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    int result = real(fd, request, arg);
    if (result == 0 || (errno != ENOTTY && errno != EINVAL) || arg == NULL) {
        return result;
    }
    switch (request) {
        case TIOCMGET:
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC:
        case TIOCSERGETLSR:
        case TIOCGICOUNT: {
            int saved = errno;
            dev_t rdev;
            if (pty_slave(fd, &rdev) && emulate(rdev, request, arg) == 0) {
                return 0;
            }
            errno = saved;
            return result;
        }
        default:
            return result;
    }
}
