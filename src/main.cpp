// Telemetry agent: every cycle it measures humidity and temperature, publishes
// them to the IoT platform's broker and pauses. SIGINT ends it in order.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mraa/uart.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "device.hpp"
#include "payload.hpp"
#include "sensor.hpp"
#include "service.hpp"
#include "telemetry.hpp"

namespace
{

constexpr char TELEMETRY_TOPIC[] = "v1/devices/me/telemetry";
constexpr unsigned PUBLISH_INTERVAL_S = 7;

// Serial port: claimed and configured for the whole run, never used.
constexpr int SERIAL_UART_INDEX = 0;
constexpr unsigned SERIAL_BAUD_RATE = 115200;
constexpr int SERIAL_DATA_BITS = 8;
constexpr int SERIAL_STOP_BITS = 1;

// Console texts
constexpr char CONNECT_FAILURE_LINE[] = "Failed to connect to MQTT server\n";
constexpr char SENSOR_FAILURE_LINE[] = "Failed to read sensor data\n";
#define SHUTDOWN_MESSAGE "Received termination signal. Cleaning up resources..."
#define SHUTDOWN_NOTICE "\n" SHUTDOWN_MESSAGE

// Standard output and error. A console that does not take a line at once (a
// pipe nobody reads, a stalled journal stream) loses it: telemetry and the
// orderly stop never wait for the console.
constexpr size_t CONSOLE_BUFFER_BYTES = 4096;
char stdout_buffer[CONSOLE_BUFFER_BYTES];

// A console stream. Connected to the journal, each line starts with its
// syslog priority ("<3>"), which journald takes off and records; elsewhere
// the bytes go out as they are.
struct Console {
    int fd;
    int default_priority;
    bool journal;
    bool line_start;
    int priority; // of the line being written
};
Console stdout_console = {STDOUT_FILENO, LOG_INFO, false, true, LOG_INFO};
Console stderr_console = {STDERR_FILENO, LOG_ERR, false, true, LOG_ERR};

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

// The same with a priority before each line, in writes of whole lines where
// they fit: a line-buffered stream's line is one write, as without them.
void write_with_priorities(Console *console, const char *data, size_t size)
{
    char out[PIPE_BUF];
    size_t used = 0;

    for (size_t i = 0; i < size;) {
        if (console->line_start) {
            if (used + sizeof "<7>" > sizeof out) {
                write_through(console->fd, out, used);
                used = 0;
            }
            used += static_cast<size_t>(
                snprintf(out + used, sizeof out - used, "<%d>", console->priority));
            console->line_start = false;
        }
        const char *end = static_cast<const char *>(memchr(data + i, '\n', size - i));
        size_t n = end ? static_cast<size_t>(end - (data + i)) + 1 : size - i;
        n = std::min(n, sizeof out - used);
        memcpy(out + used, data + i, n);
        used += n;
        i += n;
        if (out[used - 1] == '\n') {
            console->line_start = true;
            console->priority = console->default_priority;
        }
        if (used == sizeof out) {
            write_through(console->fd, out, used);
            used = 0;
        }
    }
    write_through(console->fd, out, used);
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

// A stream on the console with the buffering the C library would give it
// (line buffering on a terminal, or where the service asked for it with
// stdbuf).
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

void setup_console()
{
    stdout = open_console(&stdout_console, stdout, stdout_buffer, sizeof stdout_buffer);
    stderr = open_console(&stderr_console, stderr, nullptr, 0);
}

// One line on standard error at priority: a reason (warning) or the news
// that things work again (notice).
void print_note(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
void print_note(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    stderr_console.priority = priority;
    vfprintf(stderr, format, args);
    va_end(args);
}

// Standard input, output and error closed by whoever started the agent would
// be taken by the next file or socket opened (the MQTT socket, say) and the
// console lines would go there. Run before any constructor, MRAA's included:
// it opens the syslog socket.
void open_missing_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd)
                close(opened);
        }
    }
}

[[gnu::section(".preinit_array"),
  gnu::used]] void (*const preinit)() = open_missing_standard_descriptors;

} // namespace

mraa_uart_context uart = nullptr;

// Records the interrupt; the main flow then releases everything. During a
// connect, which blocks up to its 30 s timeout whatever signal comes, nothing
// is left buffered on stdout and the kernel releases all there is, so the
// handler writes the notice and ends the process itself.
void handle_termination(int)
{
    if (connect_in_progress) {
        static const char notice[] = SHUTDOWN_NOTICE "\n";
        static const char journal_notice[] = "<6>\n<6>" SHUTDOWN_MESSAGE "\n";
        if (console_ready(STDOUT_FILENO)) {
            const bool journal = stdout_console.journal;
            const ssize_t written =
                journal ? write(STDOUT_FILENO, journal_notice, sizeof journal_notice - 1)
                        : write(STDOUT_FILENO, notice, sizeof notice - 1);
            (void)written;
        }
        _exit(0);
    }
    termination_requested = 1;
}

namespace
{

[[noreturn]] void shut_down()
{
    puts(SHUTDOWN_NOTICE);
    MQTTClient_destroy(&client);
    mraa_i2c_stop(i2c);
    mraa_uart_stop(uart);
    exit(0);
}

// A failure that lasts: its reason line is printed when the reason first
// appears and when it changes, not in every cycle; one line says when things
// work again.
struct Outage {
    char reason[std::max(SESSION_REASON_BYTES, SENSOR_REASON_BYTES)]; // empty: none
    time_t since; // the first failure's time, for the service's status
};

void report_failure(Outage *outage, const char *reason)
{
    if (strcmp(outage->reason, reason) == 0)
        return;
    if (!outage->reason[0])
        outage->since = time(nullptr);
    snprintf(outage->reason, sizeof outage->reason, "%s", reason);
    print_note(LOG_WARNING, "Reason: %s\n", reason);
}

void report_recovery(Outage *outage, const char *format, ...) __attribute__((format(printf, 2, 3)));
void report_recovery(Outage *outage, const char *format, ...)
{
    if (!outage->reason[0])
        return;
    outage->reason[0] = '\0';
    char line[SESSION_REASON_BYTES];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    print_note(LOG_NOTICE, "Recovered: %s\n", line);
}

// The service's status after a cycle, with the watchdog's keep-alive: one
// notification. failing: the outage the cycle ended in, if any.
void notify_cycle(const Outage *failing, const char *what_fails, const char *payload)
{
    if (!service_notifying())
        return;
    char message[64 + sizeof failing->reason + PAYLOAD_BUFFER_SIZE];
    const time_t now = time(nullptr);
    if (failing) {
        snprintf(message, sizeof message, "WATCHDOG=1\nSTATUS=%s for %lld s: %s", what_fails,
                 static_cast<long long>(now - failing->since), failing->reason);
    } else {
        tm utc = {};
        gmtime_r(&now, &utc);
        snprintf(message, sizeof message, "WATCHDOG=1\nSTATUS=Delivered at %02d:%02d:%02d UTC: %s",
                 utc.tm_hour, utc.tm_min, utc.tm_sec, payload);
    }
    service_notify(message);
}

// A core of the agent would hold its access token. Not dumpable, the kernel
// writes none (and lets no other process of the user read its memory); with
// no core size either, systemd-coredump stores none where the system makes
// even such processes dumpable.
void forbid_core_dumps()
{
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

// One agent per identity (broker URI and client id) on a machine: two would
// take each other's session over at every cycle. The claim is an abstract
// Unix socket named after the identity, held for the whole run; the kernel
// drops it with the process, and it needs no file anywhere. Its name (in
// `ss -xl`): "telemetry-agent:" CLIENT_ID ":" and a hash of both.
constexpr char IDENTITY_SOCKET_PREFIX[] = "telemetry-agent:";
#define IDENTITY_TAKEN_LINE "Not starting: another agent runs with client id %s for %s\n"

uint64_t identity_hash(const char *uri, const char *client_id)
{
    uint64_t hash = 0xcbf29ce484222325u; // FNV-1a
    for (const char *text : {uri, "\n", client_id})
        for (const char *c = text; *c; ++c)
            hash = (hash ^ static_cast<unsigned char>(*c)) * 0x100000001b3u;
    return hash;
}

// False when another process holds this identity. Any other failure does
// not keep the agent from running.
bool claim_identity()
{
    const char *uri = device_settings.server_uri;
    const char *client_id = device_settings.client_id;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const int length = snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "%s%s:%016llx",
                                IDENTITY_SOCKET_PREFIX, client_id,
                                static_cast<unsigned long long>(identity_hash(uri, client_id)));
    if (length < 0)
        return true;
    const int claim = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (claim < 0)
        return true;
    const auto size =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 +
                               std::min(static_cast<size_t>(length), sizeof address.sun_path - 2));
    if (bind(claim, reinterpret_cast<const sockaddr *>(&address), size) == 0 || errno != EADDRINUSE)
        return true; // held open until the process ends
    close(claim);
    fprintf(stderr, IDENTITY_TAKEN_LINE, client_id, uri);
    return false;
}

void setup_serial_port()
{
    uart = mraa_uart_init(SERIAL_UART_INDEX);
    mraa_uart_set_baudrate(uart, SERIAL_BAUD_RATE);
    mraa_uart_set_mode(uart, SERIAL_DATA_BITS, MRAA_UART_PARITY_NONE, SERIAL_STOP_BITS);
    mraa_uart_set_flowcontrol(uart, 0, 0);
}

} // namespace

int main()
{
    float temperature = 0.0f;
    float humidity = 0.0f;
    char payload[PAYLOAD_BUFFER_SIZE] = "";
    Outage link = {};
    Outage sensor = {};

    forbid_core_dumps();
    setup_console();
    service_open();
    signal(SIGINT, handle_termination);
    if (!claim_identity())
        return -1;

    const int rc = setup_mqtt_session();
    if (termination_requested)
        shut_down();
    if (rc != MQTTCLIENT_SUCCESS) {
        fwrite(CONNECT_FAILURE_LINE, 1, sizeof CONNECT_FAILURE_LINE - 1, stderr);
        report_failure(&link, session_failure_reason());
        return -1;
    }
    setup_sensor();
    setup_serial_port();
    if (service_notifying()) {
        char ready[64 + SESSION_REASON_BYTES];
        snprintf(ready, sizeof ready, "READY=1\nSTATUS=Connected to the broker at %s",
                 session_peer());
        service_notify(ready);
    }

    while (!termination_requested) {
        const Outage *failing = nullptr;
        if (read_sensor_values(&temperature, &humidity)) {
            // Interrupted during the sensor's conversion: stop, do not publish
            // a message nothing would wait for.
            if (termination_requested)
                break;
            format_payload(payload, sizeof payload, humidity, temperature);
            const int published = publishToMQTT(TELEMETRY_TOPIC, payload);
            if (termination_requested)
                break;
            // The progress line claims a delivery: only the broker's
            // acknowledgement makes one.
            if (published == MQTTCLIENT_SUCCESS) {
                printf("Data published to MQTT - Topic: %s, Payload: %s\r\n", TELEMETRY_TOPIC,
                       payload);
                report_recovery(&link, "the broker at %s acknowledges publications again",
                                session_peer());
            } else {
                report_failure(&link, session_failure_reason());
                failing = &link;
            }
            report_recovery(&sensor, "the sensor at 0x%02x answers again", SENSOR_I2C_ADDRESS);
        } else {
            // Publishing nothing beats publishing a reading the sensor never made.
            fputs(SENSOR_FAILURE_LINE, stderr);
            report_failure(&sensor, sensor_failure_reason());
            failing = &sensor;
            keep_session_alive();
        }
        notify_cycle(failing, failing == &link ? "Publications failing" : "No sensor reading",
                     payload);
        if (!termination_requested)
            sleep(PUBLISH_INTERVAL_S);
    }
    shut_down();
}
