#include "console.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace
{

#define SHUTDOWN_MESSAGE "Received termination signal. Cleaning up resources..."
#define SHUTDOWN_NOTICE "\n" SHUTDOWN_MESSAGE
// The longest priority before a line: "<7>".
constexpr size_t PRIORITY_BYTES = 3;

constexpr size_t CONSOLE_BUFFER_BYTES = 4096;
char stdout_buffer[CONSOLE_BUFFER_BYTES];

// A console stream: its descriptor, and the priorities of its lines when it
// is the journal's.
struct Console {
    int fd;
    bool journal;
    LinePriorities lines;
};
Console stdout_console = {STDOUT_FILENO, false, {LOG_INFO, LOG_INFO, true}};
Console stderr_console = {STDERR_FILENO, false, {LOG_ERR, LOG_ERR, true}};

// True when fd can take a write without blocking.
bool console_ready(int fd)
{
    pollfd ready = {fd, POLLOUT, 0};
    int n;
    do
        n = poll(&ready, 1, 0);
    while (n < 0 && errno == EINTR);
    return n == 1 && (ready.revents & POLLOUT);
}

// Writes what the console takes now and drops the rest. Each write is at most
// PIPE_BUF bytes: that much never blocks once poll() has seen room.
void write_through(int fd, const char *data, size_t size)
{
    size_t done = 0;

    while (done < size && console_ready(fd)) {
        const ssize_t n = write(fd, data + done, std::min(size - done, size_t{PIPE_BUF}));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
}

// With the priorities, in writes of whole lines where they fit: a
// line-buffered stream's line is one write, as without them.
void write_with_priorities(Console *console, const char *data, size_t size)
{
    char out[PIPE_BUF];

    while (size > 0) {
        size_t taken = 0;
        const size_t used = add_priorities(&console->lines, data, size, out, sizeof out, &taken);
        write_through(console->fd, out, used);
        data += taken;
        size -= taken;
    }
}

ssize_t write_console(void *cookie, const char *data, size_t size)
{
    Console *console = static_cast<Console *>(cookie);
    if (console->journal)
        write_with_priorities(console, data, size);
    else
        write_through(console->fd, data, size);
    return static_cast<ssize_t>(size);
}

// True when fd is the journal's stream: systemd names it in JOURNAL_STREAM
// as device:inode.
bool is_journal_stream(int fd)
{
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat st = {};
    char end = 0;
    return stream && sscanf(stream, "%llu:%llu%c", &device, &inode, &end) == 2 &&
           fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

FILE *open_console(Console *console, FILE *library_stream, char *buffer, size_t size)
{
    const cookie_io_functions_t io = {nullptr, write_console, nullptr, nullptr};
    console->journal = is_journal_stream(console->fd);
    FILE *stream = fopencookie(console, "w", io);
    if (!stream)
        return library_stream;
    if (!buffer)
        setvbuf(stream, nullptr, _IONBF, 0);
    else if (__flbf(library_stream) || isatty(console->fd))
        setvbuf(stream, buffer, _IOLBF, size);
    else
        setvbuf(stream, buffer, _IOFBF, size);
    return stream;
}

} // namespace

size_t add_priorities(LinePriorities *lines, const char *data, size_t size, char *out, size_t room,
                      size_t *taken)
{
    size_t used = 0;
    size_t i = 0;

    while (i < size) {
        if (lines->line_start) {
            if (room - used <= PRIORITY_BYTES) // a priority and at least a byte of its line
                break;
            out[used++] = '<';
            out[used++] = static_cast<char>('0' + (lines->priority & 7));
            out[used++] = '>';
            lines->line_start = false;
        }
        const char *end = static_cast<const char *>(memchr(data + i, '\n', size - i));
        const size_t n =
            std::min(end ? static_cast<size_t>(end - (data + i)) + 1 : size - i, room - used);
        if (n == 0)
            break;
        memcpy(out + used, data + i, n);
        used += n;
        i += n;
        if (out[used - 1] == '\n') {
            lines->line_start = true;
            lines->priority = lines->default_priority;
        }
    }
    *taken = i;
    return used;
}

void console_open()
{
    stdout = open_console(&stdout_console, stdout, stdout_buffer, sizeof stdout_buffer);
    stderr = open_console(&stderr_console, stderr, nullptr, 0);
}

void console_line(int priority, const char *format, ...)
{
    const bool out = priority >= LOG_INFO;
    va_list args;
    va_start(args, format);
    if (!out)
        stderr_console.lines.priority = priority;
    vfprintf(out ? stdout : stderr, format, args);
    va_end(args);
}

void console_flush()
{
    fflush(stdout);
}

void console_notice()
{
    puts(SHUTDOWN_NOTICE);
}

void console_notice_now()
{
    static const char notice[] = SHUTDOWN_NOTICE "\n";
    static const char journal_notice[] = "<6>\n<6>" SHUTDOWN_MESSAGE "\n";
    if (!console_ready(STDOUT_FILENO))
        return;
    const ssize_t written = stdout_console.journal
                                ? write(STDOUT_FILENO, journal_notice, sizeof journal_notice - 1)
                                : write(STDOUT_FILENO, notice, sizeof notice - 1);
    (void)written;
}

#if AGENT_STORE
void console_line_now(int priority, const char *line)
{
    const Console &console = priority >= LOG_INFO ? stdout_console : stderr_console;
    if (!console_ready(console.fd))
        return;
    const size_t size = strlen(line);
    ssize_t written;
    if (console.journal) {
        LinePriorities lines = {priority, priority, true};
        char text[PIPE_BUF];
        size_t taken = 0;
        written =
            write(console.fd, text, add_priorities(&lines, line, size, text, sizeof text, &taken));
    } else {
        written = write(console.fd, line, size);
    }
    (void)written;
}
#endif
