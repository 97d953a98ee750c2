/* libboardsim: loaded with LD_PRELOAD, it puts the simulated board under a
 * program that uses the Linux I2C device interface.
 *
 * open() of the simulated bus (/dev/i2c-0 unless BOARDSIM_I2C_DEV says
 * otherwise) returns a descriptor of our own; ioctl() on it is answered by the
 * simulated sensor (aht10.c) and every transaction is written to the
 * transcript; close() releases it. Opens and closes of the serial port
 * (BOARDSIM_UART_DEV) are recorded in BOARDSIM_UART_LOG, with every setting
 * the program gives it; reading the settings back gives what was set, as a
 * UART would (a pseudo-terminal drops data bits and parity). With
 * BOARDSIM_SLEEP_SCALE, a pause (sleep(n), or sem_clockwait() up to a
 * deadline) lasts that factor of its time. With BOARDSIM_INTERRUPT_AT, the
 * program gets SIGINT at the event of the event log named there. The board's
 * clock: with BOARDSIM_CLOCK_OFFSET_FILE, CLOCK_REALTIME runs the number of
 * seconds in that file off; with BOARDSIM_BOOT_ID, the kernel's boot id file
 * gives that id.
 *
 * The real libc functions are looked up on first use: libmraa's constructor
 * opens files before any constructor of ours would run. Nothing here writes
 * to the program's standard output or standard error. */

/* This file defines open() and open64() side by side: keep the libc headers
 * from mapping one onto the other, whatever the build passes in. */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "aht10.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <netinet/in.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

#define I2C_MSG_MAX 8192     /* the kernel's limit for one I2C_RDWR message */
#define LOGGED_BYTES_MAX 256 /* longer transfers are shown shortened */
#define TRACKED_MAX 64
#define CONVERSION_MS_MAX 60000

/* What we answer to I2C_FUNCS: the transfers this file implements. */
#define SIM_I2C_FUNCS                                                                              \
    (I2C_FUNC_I2C | I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_BYTE | I2C_FUNC_SMBUS_BYTE_DATA |        \
     I2C_FUNC_SMBUS_WORD_DATA | I2C_FUNC_SMBUS_I2C_BLOCK)

/* ---- the real libc functions ---- */

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*open2_fn)(const char *, int);
typedef int (*openat2_fn)(int, const char *, int);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*close_fn)(int);
typedef unsigned int (*sleep_fn)(unsigned int);
typedef int (*tcsetattr_fn)(int, int, const struct termios *);
typedef int (*tcgetattr_fn)(int, struct termios *);
typedef int (*connect_fn)(int, const struct sockaddr *, socklen_t);
typedef int (*sem_clockwait_fn)(sem_t *, clockid_t, const struct timespec *);
typedef int (*clock_gettime_fn)(clockid_t, struct timespec *);

static void *real_symbol(const char *name, void **slot)
{
    void *fn = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (!fn) {
        fn = dlsym(RTLD_NEXT, name);
        __atomic_store_n(slot, fn, __ATOMIC_RELEASE);
    }
    return fn;
}

#define REAL(type, name)                                                                           \
    static type real_##name(void)                                                                  \
    {                                                                                              \
        static void *slot;                                                                         \
        return (type)real_symbol(#name, &slot);                                                    \
    }

REAL(open_fn, open)
REAL(open_fn, open64)
REAL(openat_fn, openat)
REAL(openat_fn, openat64)
REAL(open2_fn, __open_2)
REAL(open2_fn, __open64_2)
REAL(openat2_fn, __openat_2)
REAL(openat2_fn, __openat64_2)
REAL(ioctl_fn, ioctl)
REAL(ioctl_fn, __ioctl_time64)
REAL(close_fn, close)
REAL(sleep_fn, sleep)
REAL(tcsetattr_fn, tcsetattr)
REAL(tcgetattr_fn, tcgetattr)
REAL(connect_fn, connect)
REAL(sem_clockwait_fn, sem_clockwait)
REAL(clock_gettime_fn, clock_gettime)

/* ---- settings ---- */

static struct {
    const char *i2c_path;
    const char *uart_path;
    const char *transcript;
    const char *uart_log;
    const char *events;
    const char *bus_node;
    double sleep_scale;
    const char *interrupt_at; /* the start of an event's subject and text */
    unsigned interrupt_nth;   /* at its nth occurrence */
    const char *clock_offset_file;
    const char *boot_id;
} cfg = {.i2c_path = "/dev/i2c-0", .sleep_scale = 1.0, .interrupt_nth = 1};

static pthread_once_t cfg_once = PTHREAD_ONCE_INIT;
extern char **environ;

static void append_line(const char *path, const char *text, size_t len);

static void transcript_comment(const char *text)
{
    char line[300];
    int n = snprintf(line, sizeof line, "# %s\n", text);
    if (n > 0)
        append_line(cfg.transcript, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

static const char *env_or(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

/* A whole number from 0 to max, or fallback. */
static unsigned env_number(const char *name, unsigned max, unsigned fallback)
{
    const char *v = getenv(name);
    char *end;
    unsigned long n;
    if (!v || !*v)
        return fallback;
    errno = 0;
    n = strtoul(v, &end, 10);
    return *end == '\0' && errno == 0 && n <= max ? (unsigned)n : fallback;
}

static void load_config(void)
{
    struct aht10_config sc;
    const char *scale = getenv("BOARDSIM_SLEEP_SCALE");
    const char *seed = getenv("BOARDSIM_SEED");
    cfg.i2c_path = env_or("BOARDSIM_I2C_DEV", cfg.i2c_path);
    cfg.uart_path = env_or("BOARDSIM_UART_DEV", NULL);
    cfg.transcript = env_or("BOARDSIM_TRANSCRIPT", NULL);
    cfg.uart_log = env_or("BOARDSIM_UART_LOG", NULL);
    cfg.events = env_or("BOARDSIM_EVENTS", NULL);
    cfg.bus_node = env_or("BOARDSIM_I2C_NODE", NULL);
    cfg.interrupt_at = env_or("BOARDSIM_INTERRUPT_AT", NULL);
    cfg.interrupt_nth = env_number("BOARDSIM_INTERRUPT_NTH", 1000000, 1);
    cfg.clock_offset_file = env_or("BOARDSIM_CLOCK_OFFSET_FILE", NULL);
    cfg.boot_id = env_or("BOARDSIM_BOOT_ID", NULL);
    if (scale && *scale) {
        char *end;
        double f = strtod(scale, &end);
        if (*end == '\0' && f > 0.0 && f < 1e6)
            cfg.sleep_scale = f;
    }
    sc.script_path = env_or("BOARDSIM_SCRIPT", NULL);
    sc.no_device = env_or("BOARDSIM_NO_DEVICE", "0")[0] == '1';
    sc.seed = seed ? (uint32_t)strtoul(seed, NULL, 0) : 1;
    sc.conversion_ms =
        env_number("BOARDSIM_CONVERSION_MS", CONVERSION_MS_MAX, AHT10_CONVERSION_MS_DEFAULT);
    aht10_configure(&sc, transcript_comment);
}

/* The settings come from the environment, which a program's earliest code
 * (its .preinit_array functions) runs without: until there is one, the
 * defaults above hold and nothing is settled. */
static void config(void)
{
    if (__atomic_load_n(&environ, __ATOMIC_ACQUIRE))
        pthread_once(&cfg_once, load_config);
}

/* ---- the board lock ----
 * Taken with every signal blocked: a signal handler of the program may close
 * the bus (MRAA's stop) while a transfer of the same thread holds the lock. */

static pthread_mutex_t board_mutex = PTHREAD_MUTEX_INITIALIZER;

static void board_lock(sigset_t *saved)
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, saved);
    pthread_mutex_lock(&board_mutex);
}

static void board_unlock(const sigset_t *saved)
{
    pthread_mutex_unlock(&board_mutex);
    pthread_sigmask(SIG_SETMASK, saved, NULL);
}

/* ---- files of our own, written with the real libc calls ---- */

static void append_line(const char *path, const char *text, size_t len)
{
    int fd;
    if (!path)
        return;
    fd = real_open()(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text += n;
        len -= (size_t)n;
    }
    real_close()(fd);
}

static void log_event(const char *subject, const char *text, size_t len);

/* SIGINT to the program at the event that BOARDSIM_INTERRUPT_AT names (its
 * BOARDSIM_INTERRUPT_NTH occurrence), once. Events are logged under the board
 * lock, with every signal blocked: the signal reaches the program when the
 * simulator returns to it, or, before a pause, just before the pause begins. */
static void interrupt_at(const char *subject, const char *text, size_t len)
{
    static unsigned seen;
    static int sent;
    char line[300];
    if (!cfg.interrupt_at || sent)
        return;
    snprintf(line, sizeof line, "%s %.*s", subject, (int)len, text);
    if (strncmp(line, cfg.interrupt_at, strlen(cfg.interrupt_at)) != 0 ||
        ++seen < cfg.interrupt_nth)
        return;
    sent = 1;
    kill(getpid(), SIGINT);
    log_event("signal", "SIGINT\n", 7);
}

/* One line of the event log: the time on CLOCK_MONOTONIC, the subject (i2c,
 * uart, net, pause, signal), then text, which ends in a line feed. Bus and
 * serial-port events, network connects and pauses share the log, so their
 * order is the program's. */
static void log_event(const char *subject, const char *text, size_t len)
{
    struct timespec now;
    char line[2048];
    int n;
    interrupt_at(subject, text, len);
    if (!cfg.events)
        return;
    clock_gettime(CLOCK_MONOTONIC, &now);
    n = snprintf(line, sizeof line, "%lld.%06ld %s %.*s", (long long)now.tv_sec, now.tv_nsec / 1000,
                 subject, (int)len, text);
    if (n > 0 && (size_t)n < sizeof line)
        append_line(cfg.events, line, (size_t)n);
}

/* A line of the transcript or the serial log, and the same as an event. */
static void record(const char *log, const char *subject, const char *text, size_t len)
{
    append_line(log, text, len);
    log_event(subject, text, len);
}

/* ---- transcript lines ---- */

struct line {
    char text[2 * (LOGGED_BYTES_MAX * 3 + 32) + 64]; /* "reg" bytes and read bytes */
    size_t len;
};

static void line_add(struct line *l, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

static void line_add(struct line *l, const char *fmt, ...)
{
    va_list ap;
    int n;
    if (l->len >= sizeof l->text - 1)
        return;
    va_start(ap, fmt);
    n = vsnprintf(l->text + l->len, sizeof l->text - l->len, fmt, ap);
    va_end(ap);
    if (n > 0)
        l->len += (size_t)n < sizeof l->text - l->len ? (size_t)n : sizeof l->text - l->len - 1;
}

static void line_bytes(struct line *l, const uint8_t *data, size_t len)
{
    size_t i;
    for (i = 0; i < len && i < LOGGED_BYTES_MAX; i++)
        line_add(l, " %02x", data[i]);
    if (len > LOGGED_BYTES_MAX)
        line_add(l, " ...(%zu bytes)", len);
}

static const char *error_word(int err)
{
    switch (err) {
    case EREMOTEIO:
        return "nack";
    case ENXIO:
        return "absent";
    case EINVAL:
        return "invalid";
    case EFAULT:
        return "fault";
    case EACCES:
    case EPERM:
        return "denied";
    case EOPNOTSUPP:
    case ENOTTY:
        return "unsupported";
    default:
        return "error";
    }
}

static void line_error(struct line *l, int err)
{
    if (err)
        line_add(l, " -> %s", error_word(err));
}

static void line_emit(struct line *l)
{
    if (l->len >= sizeof l->text - 1)
        l->len = sizeof l->text - 2; /* one line per transaction, whatever happens */
    l->text[l->len++] = '\n';
    record(cfg.transcript, "i2c", l->text, l->len);
}

/* ---- descriptors we answer for ---- */

enum fd_kind { FD_I2C = 1, FD_UART = 2, FD_NET = 3 };

struct tracked {
    int key; /* descriptor + 1; 0 when the slot is free. Read without the lock. */
    enum fd_kind kind;
    unsigned addr; /* slave address chosen with I2C_SLAVE(_FORCE) */
    dev_t dev;     /* identity of the open file, to notice a descriptor that */
    ino64_t ino;   /* was closed behind our back and reused */
};

static struct tracked tracked[TRACKED_MAX];
static int tracked_count;

static int find_slot(int fd)
{
    int i;
    if (fd < 0 || __atomic_load_n(&tracked_count, __ATOMIC_ACQUIRE) == 0)
        return -1;
    for (i = 0; i < TRACKED_MAX; i++)
        if (__atomic_load_n(&tracked[i].key, __ATOMIC_ACQUIRE) == fd + 1)
            return i;
    return -1;
}

static void release_slot(int i)
{
    __atomic_store_n(&tracked[i].key, 0, __ATOMIC_RELEASE);
    __atomic_sub_fetch(&tracked_count, 1, __ATOMIC_RELEASE);
}

/* Under the lock. Returns the slot of fd if it is still the file we track. */
static struct tracked *still_tracked(int i, int fd)
{
    struct stat64 st;
    if (tracked[i].key != fd + 1)
        return NULL;
    if (fstat64(fd, &st) != 0 || st.st_dev != tracked[i].dev || st.st_ino != tracked[i].ino) {
        release_slot(i);
        return NULL;
    }
    return &tracked[i];
}

/* Under the lock. */
static int track(int fd, enum fd_kind kind)
{
    struct stat64 st;
    int i;
    if (fstat64(fd, &st) != 0)
        return -1;
    for (i = 0; i < TRACKED_MAX; i++) {
        if (tracked[i].key == 0) {
            tracked[i].kind = kind;
            tracked[i].addr = 0;
            tracked[i].dev = st.st_dev;
            tracked[i].ino = st.st_ino;
            __atomic_add_fetch(&tracked_count, 1, __ATOMIC_RELEASE);
            __atomic_store_n(&tracked[i].key, fd + 1, __ATOMIC_RELEASE);
            return 0;
        }
    }
    errno = EMFILE;
    return -1;
}

/* ---- open ---- */

enum open_variant {
    V_OPEN,
    V_OPEN64,
    V_OPENAT,
    V_OPENAT64,
    V_OPEN_2,
    V_OPEN64_2,
    V_OPENAT_2,
    V_OPENAT64_2
};

static int pass_open(enum open_variant v, int dirfd, const char *path, int flags, int mode)
{
    open2_fn o2;
    openat2_fn oa2;
    switch (v) {
    case V_OPEN64:
        return real_open64()(path, flags, mode);
    case V_OPENAT:
        return real_openat()(dirfd, path, flags, mode);
    case V_OPENAT64:
        return real_openat64()(dirfd, path, flags, mode);
    case V_OPEN_2:
        o2 = real___open_2();
        return o2 ? o2(path, flags) : real_open()(path, flags);
    case V_OPEN64_2:
        o2 = real___open64_2();
        return o2 ? o2(path, flags) : real_open64()(path, flags);
    case V_OPENAT_2:
        oa2 = real___openat_2();
        return oa2 ? oa2(dirfd, path, flags) : real_openat()(dirfd, path, flags);
    case V_OPENAT64_2:
        oa2 = real___openat64_2();
        return oa2 ? oa2(dirfd, path, flags) : real_openat64()(dirfd, path, flags);
    default:
        return real_open()(path, flags, mode);
    }
}

/* A real, otherwise useless descriptor, never 0 (MRAA takes 0 for failure).
 * With BOARDSIM_I2C_NODE it is that file opened as the program asked, so that
 * the node's permissions and a sandbox's device rules decide whether the bus
 * opens, as on the board; otherwise a memfd (or /dev/null). */
static int new_bus_descriptor(int flags)
{
    int cloexec = (flags & O_CLOEXEC) != 0;
    int fd;
    if (cfg.bus_node)
        fd = real_open()(cfg.bus_node, flags & (O_ACCMODE | O_CLOEXEC | O_NONBLOCK));
    else
        fd = memfd_create("boardsim-i2c", cloexec ? MFD_CLOEXEC : 0);
    if (fd < 0 && !cfg.bus_node)
        fd = real_open()("/dev/null", O_RDWR | (cloexec ? O_CLOEXEC : 0));
    if (fd == 0) {
        int moved = fcntl(fd, cloexec ? F_DUPFD_CLOEXEC : F_DUPFD, 3);
        real_close()(fd);
        fd = moved;
    }
    return fd;
}

static int open_bus(const char *path, int flags)
{
    struct line l = {.len = 0};
    sigset_t saved;
    int fd = new_bus_descriptor(flags);
    int err;
    board_lock(&saved);
    line_add(&l, "open %s", path);
    if (fd < 0) {
        err = errno;
        line_error(&l, err);
        line_emit(&l);
        board_unlock(&saved);
        errno = err;
        return -1;
    }
    if (track(fd, FD_I2C) != 0) {
        err = errno;
        line_error(&l, err);
        line_emit(&l);
        board_unlock(&saved);
        real_close()(fd);
        errno = err;
        return -1;
    }
    line_emit(&l);
    board_unlock(&saved);
    return fd;
}

static void opened_uart(int fd)
{
    sigset_t saved;
    board_lock(&saved);
    track(fd, FD_UART);
    record(cfg.uart_log, "uart", "open\n", 5);
    board_unlock(&saved);
}

/* The board's boot id: a memfd that holds it, as the kernel's file would. */
#define BOOT_ID_FILE "/proc/sys/kernel/random/boot_id"
static int open_boot_id(int flags)
{
    int fd = memfd_create("boardsim-boot-id", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
    size_t len = strlen(cfg.boot_id);
    if (fd < 0)
        return -1;
    if (write(fd, cfg.boot_id, len) != (ssize_t)len || write(fd, "\n", 1) != 1 ||
        lseek(fd, 0, SEEK_SET) != 0) {
        real_close()(fd);
        errno = EIO;
        return -1;
    }
    return fd;
}

static int sim_open(enum open_variant v, int dirfd, const char *path, int flags, int mode)
{
    int saved_errno = errno;
    int fd;
    config();
    errno = saved_errno;
    if (path && cfg.boot_id && strcmp(path, BOOT_ID_FILE) == 0) {
        fd = open_boot_id(flags);
        if (fd >= 0)
            errno = saved_errno;
        return fd;
    }
    if (path && strcmp(path, cfg.i2c_path) == 0) {
        fd = open_bus(path, flags);
        if (fd >= 0)
            errno = saved_errno;
        return fd;
    }
    fd = pass_open(v, dirfd, path, flags, mode);
    if (fd >= 0 && cfg.uart_path && path && strcmp(path, cfg.uart_path) == 0) {
        saved_errno = errno;
        opened_uart(fd);
        errno = saved_errno;
    }
    return fd;
}

static int open_mode(int flags, va_list ap)
{
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        return va_arg(ap, int);
    return 0;
}

EXPORT int open(const char *path, int flags, ...)
{
    va_list ap;
    int mode;
    va_start(ap, flags);
    mode = open_mode(flags, ap);
    va_end(ap);
    return sim_open(V_OPEN, AT_FDCWD, path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...)
{
    va_list ap;
    int mode;
    va_start(ap, flags);
    mode = open_mode(flags, ap);
    va_end(ap);
    return sim_open(V_OPEN64, AT_FDCWD, path, flags, mode);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    int mode;
    va_start(ap, flags);
    mode = open_mode(flags, ap);
    va_end(ap);
    return sim_open(V_OPENAT, dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    int mode;
    va_start(ap, flags);
    mode = open_mode(flags, ap);
    va_end(ap);
    return sim_open(V_OPENAT64, dirfd, path, flags, mode);
}

/* The checking variants that _FORTIFY_SOURCE builds call. */
EXPORT int __open_2(const char *path, int flags);
EXPORT int __open64_2(const char *path, int flags);
EXPORT int __openat_2(int dirfd, const char *path, int flags);
EXPORT int __openat64_2(int dirfd, const char *path, int flags);

int __open_2(const char *path, int flags)
{
    return sim_open(V_OPEN_2, AT_FDCWD, path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
    return sim_open(V_OPEN64_2, AT_FDCWD, path, flags, 0);
}

int __openat_2(int dirfd, const char *path, int flags)
{
    return sim_open(V_OPENAT_2, dirfd, path, flags, 0);
}

int __openat64_2(int dirfd, const char *path, int flags)
{
    return sim_open(V_OPENAT64_2, dirfd, path, flags, 0);
}

/* ---- close ---- */

EXPORT int close(int fd)
{
    int i = find_slot(fd);
    if (i >= 0) {
        int saved_errno = errno;
        sigset_t saved;
        struct tracked *t;
        board_lock(&saved);
        t = still_tracked(i, fd);
        if (t) {
            if (t->kind == FD_I2C)
                record(cfg.transcript, "i2c", "close\n", 6);
            else if (t->kind == FD_UART)
                record(cfg.uart_log, "uart", "close\n", 6);
            else
                log_event("net", "close\n", 6);
            release_slot(i);
        }
        board_unlock(&saved);
        errno = saved_errno;
    }
    return real_close()(fd);
}

/* ---- connect: network connects go into the event log ---- */

/* "A:P" or "[A]:P" of an IPv4 or IPv6 address into text; 0 for other families. */
static int format_peer(const struct sockaddr *addr, socklen_t len, char *text, size_t size)
{
    char host[INET6_ADDRSTRLEN];
    const void *ip;
    unsigned port;
    int v6;

    if (!addr)
        return 0;
    if (addr->sa_family == AF_INET && len >= sizeof(struct sockaddr_in)) {
        ip = &((const struct sockaddr_in *)addr)->sin_addr;
        port = ntohs(((const struct sockaddr_in *)addr)->sin_port);
        v6 = 0;
    } else if (addr->sa_family == AF_INET6 && len >= sizeof(struct sockaddr_in6)) {
        ip = &((const struct sockaddr_in6 *)addr)->sin6_addr;
        port = ntohs(((const struct sockaddr_in6 *)addr)->sin6_port);
        v6 = 1;
    } else {
        return 0;
    }
    if (!inet_ntop(addr->sa_family, ip, host, sizeof host))
        return 0;
    return snprintf(text, size, v6 ? "[%s]:%u" : "%s:%u", host, port);
}

EXPORT int connect(int fd, const struct sockaddr *addr, socklen_t len)
{
    int result = real_connect()(fd, addr, len);
    int saved_errno = errno;
    char peer[INET6_ADDRSTRLEN + 16];
    char text[sizeof peer + 16];
    int n = format_peer(addr, len, peer, sizeof peer) > 0
                ? snprintf(text, sizeof text, "connect %s\n", peer)
                : 0;

    if (n > 0 && (size_t)n < sizeof text) {
        sigset_t saved;
        int slot;
        config();
        board_lock(&saved);
        log_event("net", text, (size_t)n);
        /* Its close goes into the event log too (a connect retried on the
         * same socket is tracked once). */
        slot = find_slot(fd);
        if (slot < 0 || !still_tracked(slot, fd))
            track(fd, FD_NET);
        board_unlock(&saved);
    }
    errno = saved_errno;
    return result;
}

/* ---- the serial port's settings ----
 * A pseudo-terminal always reports 8 data bits and no parity, whatever it was
 * given; a UART keeps what it is given. So the last settings given are kept
 * here and read back in their place, and each is logged for the report. */

static struct termios uart_settings;
static int uart_settings_valid;

/* Returns the tracked UART slot of fd, or NULL; called under the lock. */
static struct tracked *uart_slot(int fd)
{
    int i = find_slot(fd);
    struct tracked *t = i >= 0 ? still_tracked(i, fd) : NULL;
    return t && t->kind == FD_UART ? t : NULL;
}

EXPORT int tcsetattr(int fd, int action, const struct termios *t)
{
    int result = real_tcsetattr()(fd, action, t);
    int saved_errno = errno;
    sigset_t saved;
    char text[200];
    int n;

    if (!t || find_slot(fd) < 0)
        return result;
    board_lock(&saved);
    if (uart_slot(fd)) {
        if (result == 0) {
            uart_settings = *t;
            uart_settings_valid = 1;
        }
        n = snprintf(text, sizeof text,
                     "tcsetattr iflag=%lx oflag=%lx cflag=%lx lflag=%lx ispeed=%lu ospeed=%lu%s\n",
                     (unsigned long)t->c_iflag, (unsigned long)t->c_oflag,
                     (unsigned long)t->c_cflag, (unsigned long)t->c_lflag,
                     (unsigned long)cfgetispeed(t), (unsigned long)cfgetospeed(t),
                     result == 0 ? "" : " -> error");
        if (n > 0 && (size_t)n < sizeof text)
            record(cfg.uart_log, "uart", text, (size_t)n);
    }
    board_unlock(&saved);
    errno = saved_errno;
    return result;
}

EXPORT int tcgetattr(int fd, struct termios *t)
{
    int result = real_tcgetattr()(fd, t);
    sigset_t saved;

    if (result != 0 || find_slot(fd) < 0)
        return result;
    board_lock(&saved);
    if (uart_slot(fd) && uart_settings_valid)
        *t = uart_settings;
    board_unlock(&saved);
    return result;
}

/* ---- ioctl: the I2C device interface ---- */

static int write_then_read(unsigned addr, const uint8_t *out, size_t out_len, uint8_t *in,
                           size_t in_len, int *busy)
{
    int err = aht10_write(addr, out, out_len);
    *busy = 0;
    return err ? err : aht10_read(addr, in, in_len, busy);
}

/* One transfer written as one line: "write A B..", "read A -> B.." or
 * "read A reg R.. -> B..". */
static int log_write(unsigned addr, const uint8_t *data, size_t len)
{
    struct line l = {.len = 0};
    int err = aht10_write(addr, data, len);
    line_add(&l, "write 0x%02x", addr);
    line_bytes(&l, data, len);
    line_error(&l, err);
    line_emit(&l);
    return err;
}

static int log_read(unsigned addr, const uint8_t *reg, size_t reg_len, uint8_t *data, size_t len)
{
    struct line l = {.len = 0};
    int busy;
    int err = reg ? write_then_read(addr, reg, reg_len, data, len, &busy)
                  : aht10_read(addr, data, len, &busy);
    line_add(&l, "read 0x%02x", addr);
    if (reg) {
        line_add(&l, " reg");
        line_bytes(&l, reg, reg_len);
    }
    if (err) {
        line_error(&l, err);
    } else {
        line_add(&l, " ->");
        line_bytes(&l, data, len);
        if (busy)
            line_add(&l, " (busy)"); /* before the conversion was done */
    }
    line_emit(&l);
    return err;
}

static int smbus_transfer(struct tracked *t, const struct i2c_smbus_ioctl_data *req)
{
    union i2c_smbus_data *d;
    uint8_t buf[I2C_SMBUS_BLOCK_MAX + 2] = {0};
    unsigned a = t->addr;
    size_t len;
    int err, size, reading, busy;
    struct line l = {.len = 0};

    if (!req)
        return EFAULT;
    d = req->data;
    size = (int)req->size;
    reading = req->read_write == I2C_SMBUS_READ;
    if (req->read_write != I2C_SMBUS_READ && req->read_write != I2C_SMBUS_WRITE)
        return EINVAL;
    if (!d && size != I2C_SMBUS_QUICK && !(size == I2C_SMBUS_BYTE && !reading))
        return EINVAL;

    switch (size) {
    case I2C_SMBUS_QUICK:
        err = reading ? aht10_read(a, buf, 0, &busy) : aht10_write(a, buf, 0);
        line_add(&l, "quick 0x%02x", a);
        line_error(&l, err);
        line_emit(&l);
        return err;
    case I2C_SMBUS_BYTE:
        if (!reading) {
            buf[0] = req->command;
            return log_write(a, buf, 1);
        }
        err = log_read(a, NULL, 0, buf, 1);
        if (!err)
            d->byte = buf[0];
        return err;
    case I2C_SMBUS_BYTE_DATA:
        buf[0] = req->command;
        if (!reading) {
            buf[1] = d->byte;
            return log_write(a, buf, 2);
        }
        err = log_read(a, buf, 1, buf + 1, 1);
        if (!err)
            d->byte = buf[1];
        return err;
    case I2C_SMBUS_WORD_DATA: /* little-endian on the bus */
        buf[0] = req->command;
        if (!reading) {
            buf[1] = (uint8_t)(d->word & 0xFF);
            buf[2] = (uint8_t)(d->word >> 8);
            return log_write(a, buf, 3);
        }
        err = log_read(a, buf, 1, buf + 1, 2);
        if (!err)
            d->word = (uint16_t)(buf[1] | (buf[2] << 8));
        return err;
    case I2C_SMBUS_I2C_BLOCK_BROKEN:
    case I2C_SMBUS_I2C_BLOCK_DATA:
        len = (size == I2C_SMBUS_I2C_BLOCK_BROKEN && reading) ? I2C_SMBUS_BLOCK_MAX : d->block[0];
        if (len > I2C_SMBUS_BLOCK_MAX)
            return EINVAL;
        buf[0] = req->command;
        if (!reading) {
            memcpy(buf + 1, d->block + 1, len);
            return log_write(a, buf, len + 1);
        }
        err = log_read(a, buf, 1, buf + 1, len);
        if (!err) {
            d->block[0] = (uint8_t)len;
            memcpy(d->block + 1, buf + 1, len);
        }
        return err;
    default:
        line_add(&l, "smbus 0x%02x size %d", a, size);
        line_error(&l, EOPNOTSUPP);
        line_emit(&l);
        return EOPNOTSUPP;
    }
}

static unsigned msg_addr(const struct i2c_msg *m)
{
    /* The simulated bus has 7-bit addresses only: a 10-bit one matches nothing. */
    return (m->flags & I2C_M_TEN) ? 0x8000u | m->addr : m->addr;
}

static int rdwr_transfer(const struct i2c_rdwr_ioctl_data *req, int *done)
{
    const struct i2c_msg *m;
    unsigned i;
    int err = 0;

    if (!req || !req->msgs || req->nmsgs == 0 || req->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS)
        return EINVAL;
    m = req->msgs;
    for (i = 0; i < req->nmsgs; i++)
        if (m[i].len > I2C_MSG_MAX || (m[i].len > 0 && !m[i].buf))
            return EINVAL;

    /* The usual register read: a write of the register, then a read. */
    if (req->nmsgs == 2 && !(m[0].flags & I2C_M_RD) && (m[1].flags & I2C_M_RD) &&
        msg_addr(&m[0]) == msg_addr(&m[1])) {
        err = log_read(msg_addr(&m[0]), m[0].buf, m[0].len, m[1].buf, m[1].len);
        *done = err ? 0 : 2;
        return err;
    }
    for (i = 0; i < req->nmsgs && !err; i++) {
        if (m[i].flags & I2C_M_RD)
            err = log_read(msg_addr(&m[i]), NULL, 0, m[i].buf, m[i].len);
        else
            err = log_write(msg_addr(&m[i]), m[i].buf, m[i].len);
    }
    *done = err ? 0 : (int)req->nmsgs;
    return err;
}

/* Under the lock. Returns the ioctl's result, or -1 with *err set. */
static int bus_ioctl(struct tracked *t, unsigned long request, void *arg, int *err)
{
    struct line l = {.len = 0};
    unsigned long value = (unsigned long)arg;
    int done = 0;

    *err = 0;
    switch (request) {
    case I2C_FUNCS:
        line_add(&l, "funcs");
        if (!arg)
            *err = EFAULT;
        else
            *(unsigned long *)arg = SIM_I2C_FUNCS;
        break;
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        line_add(&l, "address 0x%02lx", value);
        if (value > 0x7F)
            *err = EINVAL;
        else
            t->addr = (unsigned)value;
        break;
    case I2C_TENBIT:
        line_add(&l, "tenbit %lu", value);
        if (value)
            *err = EOPNOTSUPP;
        break;
    case I2C_PEC:
        line_add(&l, "pec %lu", value);
        break;
    case I2C_RETRIES:
        line_add(&l, "retries %lu", value);
        break;
    case I2C_TIMEOUT:
        line_add(&l, "timeout %lu", value);
        break;
    case I2C_SMBUS:
        *err = smbus_transfer(t, arg);
        if (*err == EINVAL || *err == EFAULT) {
            line_add(&l, "smbus");
            break;
        }
        return *err ? -1 : 0;
    case I2C_RDWR:
        *err = rdwr_transfer(arg, &done);
        if (*err == EINVAL) {
            line_add(&l, "rdwr");
            break;
        }
        return *err ? -1 : done;
    default:
        line_add(&l, "ioctl 0x%lx", request);
        *err = ENOTTY;
        break;
    }
    line_error(&l, *err);
    line_emit(&l);
    return *err ? -1 : 0;
}

static int sim_ioctl(ioctl_fn real, int fd, unsigned long request, void *arg)
{
    int i = find_slot(fd);
    if (i >= 0) {
        int saved_errno = errno, err = 0, result = 0, handled = 0;
        sigset_t saved;
        struct tracked *t;
        board_lock(&saved);
        t = still_tracked(i, fd);
        if (t && t->kind == FD_I2C) {
            handled = 1;
            result = bus_ioctl(t, request, arg, &err);
        }
        board_unlock(&saved);
        if (handled) {
            errno = err ? err : saved_errno;
            return result;
        }
        errno = saved_errno;
    }
    return real(fd, request, arg);
}

EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    void *arg;
    va_start(ap, request);
    arg = va_arg(ap, void *);
    va_end(ap);
    return sim_ioctl(real_ioctl(), fd, request, arg);
}

/* What 32-bit programs built with 64-bit time_t call instead of ioctl(). */
EXPORT int __ioctl_time64(int fd, unsigned long request, ...);

int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list ap;
    void *arg;
    ioctl_fn real = real___ioctl_time64();
    va_start(ap, request);
    arg = va_arg(ap, void *);
    va_end(ap);
    return sim_ioctl(real ? real : real_ioctl(), fd, request, arg);
}

/* ---- pauses: sleep(), and sem_clockwait() up to a deadline ---- */

/* An event "pause S s", S in the program's seconds. */
static void log_pause(double seconds)
{
    char text[64];
    sigset_t saved;
    int n;
    if (!cfg.events && !cfg.interrupt_at)
        return;
    n = snprintf(text, sizeof text, "%.3f s\n", seconds);
    if (n <= 0 || (size_t)n >= sizeof text)
        return;
    board_lock(&saved);
    log_event("pause", text, (size_t)n);
    board_unlock(&saved);
}

static double seconds_of(const struct timespec *t)
{
    return (double)t->tv_sec + (double)t->tv_nsec / 1e9;
}

static struct timespec timespec_of(double seconds)
{
    struct timespec t;
    if (seconds > 2147483647.0)
        seconds = 2147483647.0;
    t.tv_sec = (time_t)seconds;
    t.tv_nsec = (long)((seconds - (double)t.tv_sec) * 1e9);
    if (t.tv_nsec > 999999999L)
        t.tv_nsec = 999999999L;
    return t;
}

/* A wait for a semaphore up to a deadline: the time left is scaled. */
EXPORT int sem_clockwait(sem_t *sem, clockid_t clock, const struct timespec *deadline)
{
    int saved_errno = errno;
    struct timespec now, scaled;
    double left;

    config();
    if (clock_gettime(clock, &now) != 0) {
        errno = saved_errno;
        return real_sem_clockwait()(sem, clock, deadline);
    }
    left = seconds_of(deadline) - seconds_of(&now);
    log_pause(left > 0 ? left : 0);
    if (cfg.sleep_scale != 1.0 && left > 0) {
        scaled = timespec_of(seconds_of(&now) + left * cfg.sleep_scale);
        deadline = &scaled;
    }
    errno = saved_errno;
    return real_sem_clockwait()(sem, clock, deadline);
}

EXPORT unsigned int sleep(unsigned int seconds)
{
    int saved_errno = errno;
    struct timespec want, left;
    double remaining;
    unsigned int result = 0;

    config();
    log_pause(seconds);
    errno = saved_errno;
    if (cfg.sleep_scale == 1.0 || seconds == 0)
        return real_sleep()(seconds);
    want = timespec_of(seconds * cfg.sleep_scale);
    if (nanosleep(&want, &left) != 0 && errno == EINTR) {
        /* Interrupted like sleep(): report the unslept part in unscaled
         * seconds, at least 1 so that the caller sees it was cut short. */
        remaining = ((double)left.tv_sec + (double)left.tv_nsec / 1e9) / cfg.sleep_scale;
        result = remaining >= seconds ? seconds : (unsigned int)(remaining + 0.5);
        if (result == 0)
            result = 1;
    }
    errno = saved_errno;
    return result;
}

/* ---- the board's wall clock ---- */

/* The offset in whole seconds, from the file (0 when it is missing, empty or
 * not a number): read at every reading, so that a test can set the clock as
 * NTP would while the program runs. Reads with the system calls alone. */
static long clock_offset(void)
{
    char text[32];
    ssize_t n;
    long offset;
    char *end;
    int fd;
    if (!cfg.clock_offset_file)
        return 0;
    fd = real_open()(cfg.clock_offset_file, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    n = read(fd, text, sizeof text - 1);
    real_close()(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    offset = strtol(text, &end, 10);
    return end != text && (*end == '\0' || *end == '\n') ? offset : 0;
}

EXPORT int clock_gettime(clockid_t clock, struct timespec *now)
{
    int saved_errno = errno;
    int result = real_clock_gettime()(clock, now);
    if (result != 0)
        return result;
    config();
    if (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)
        now->tv_sec += clock_offset();
    errno = saved_errno;
    return result;
}
