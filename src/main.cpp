// Telemetry agent: every cycle it measures humidity and temperature, publishes
// them to the IoT platform's broker and pauses. SIGINT ends it in order.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mraa/uart.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "device.hpp"
#include "payload.hpp"
#include "sensor.hpp"
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
#define SHUTDOWN_NOTICE "\nReceived termination signal. Cleaning up resources..."

// Standard output and error. A console that does not take a line at once (a
// pipe nobody reads, a stalled journal stream) loses it: telemetry and the
// orderly stop never wait for the console.
constexpr size_t CONSOLE_BUFFER_BYTES = 4096;
char stdout_buffer[CONSOLE_BUFFER_BYTES];

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
ssize_t write_console(void *cookie, const char *data, size_t size)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    size_t done = 0;

    while (done < size && console_ready(fd)) {
        const ssize_t n = write(fd, data + done, std::min(size - done, size_t{PIPE_BUF}));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
}

// A stream on fd with the buffering the C library would give it (line
// buffering on a terminal, or where the service asked for it with stdbuf).
FILE *open_console(int fd, FILE *library_stream, char *buffer, size_t size)
{
    const cookie_io_functions_t io = {nullptr, write_console, nullptr, nullptr};
    FILE *stream = fopencookie(reinterpret_cast<void *>(intptr_t{fd}), "w", io);
    if (!stream)
        return library_stream;
    if (!buffer)
        setvbuf(stream, nullptr, _IONBF, 0);
    else if (__flbf(library_stream) || isatty(fd))
        setvbuf(stream, buffer, _IOLBF, size);
    else
        setvbuf(stream, buffer, _IOFBF, size);
    return stream;
}

void setup_console()
{
    stdout = open_console(STDOUT_FILENO, stdout, stdout_buffer, sizeof stdout_buffer);
    stderr = open_console(STDERR_FILENO, stderr, nullptr, 0);
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
        if (console_ready(STDOUT_FILENO)) {
            const ssize_t written = write(STDOUT_FILENO, notice, sizeof notice - 1);
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
    char payload[PAYLOAD_BUFFER_SIZE];

    forbid_core_dumps();
    setup_console();
    signal(SIGINT, handle_termination);
    if (!claim_identity())
        return -1;

    const int rc = setup_mqtt_session();
    if (termination_requested)
        shut_down();
    if (rc != MQTTCLIENT_SUCCESS) {
        fwrite(CONNECT_FAILURE_LINE, 1, sizeof CONNECT_FAILURE_LINE - 1, stderr);
        return -1;
    }
    setup_sensor();
    setup_serial_port();

    while (!termination_requested) {
        if (read_sensor_values(&temperature, &humidity)) {
            // Interrupted during the sensor's conversion: stop, do not publish
            // a message nothing would wait for.
            if (termination_requested)
                break;
            format_payload(payload, sizeof payload, humidity, temperature);
            publishToMQTT(TELEMETRY_TOPIC, payload);
            if (termination_requested)
                break;
            printf("Data published to MQTT - Topic: %s, Payload: %s\r\n", TELEMETRY_TOPIC, payload);
        } else {
            // Publishing nothing beats publishing a reading the sensor never made.
            fputs(SENSOR_FAILURE_LINE, stderr);
            keep_session_alive();
        }
        if (!termination_requested)
            sleep(PUBLISH_INTERVAL_S);
    }
    shut_down();
}
