// Telemetry agent: every cycle it measures humidity and temperature, publishes
// them to the IoT platform's broker and pauses. SIGINT ends it in order.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mraa/uart.h>
#include <unistd.h>

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
        const ssize_t written = write(STDOUT_FILENO, notice, sizeof notice - 1);
        (void)written;
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

    signal(SIGINT, handle_termination);

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
        }
        if (!termination_requested)
            sleep(PUBLISH_INTERVAL_S);
    }
    shut_down();
}
