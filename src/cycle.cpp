#include "cycle.hpp"

#include <MQTTClient.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <syslog.h>

#include "console.hpp"
#include "payload.hpp"
#include "process.hpp"
#include "sensor.hpp"
#include "service.hpp"
#include "session.hpp"

namespace
{

constexpr char TELEMETRY_TOPIC[] = "v1/devices/me/telemetry";

// The reading and its text, for the whole run.
float temperature = 0.0f;
float humidity = 0.0f;
char payload[PAYLOAD_BUFFER_SIZE] = "";

// A failure that lasts: its reason line is printed when the reason first
// appears and when it changes, not in every cycle; one line says when things
// work again.
struct Outage {
    Reason reason; // empty: none
    time_t since;  // the first failure's time, for the service's status
    const char *what_fails;
};
Outage link = {{}, 0, "Publications failing"};
Outage sensor = {{}, 0, "No sensor reading"};

void note_failure(Outage *outage, const Reason &why)
{
    if (strcmp(outage->reason.text, why.text) == 0)
        return;
    if (!outage->reason.text[0])
        outage->since = time(nullptr);
    outage->reason = why;
    console_line(LOG_WARNING, "Reason: %s\n", why.text);
}

void note_recovery(Outage *outage, const char *format, ...) __attribute__((format(printf, 2, 3)));
void note_recovery(Outage *outage, const char *format, ...)
{
    if (!outage->reason.text[0])
        return;
    outage->reason.text[0] = '\0';
    Reason back;
    va_list args;
    va_start(args, format);
    vsnprintf(back.text, sizeof back.text, format, args);
    va_end(args);
    console_line(LOG_NOTICE, "Recovered: %s\n", back.text);
}

// The service's status after a cycle, with the watchdog's keep-alive.
// failing: the outage the cycle ended in, if any.
void notify_cycle(const Outage *failing)
{
    if (!service_notifying())
        return;
    const time_t now = time(nullptr);
    if (failing) {
        service_cycle("%s for %lld s: %s", failing->what_fails,
                      static_cast<long long>(now - failing->since), failing->reason.text);
        return;
    }
    tm utc = {};
    gmtime_r(&now, &utc);
    service_cycle("Delivered at %02d:%02d:%02d UTC: %s", utc.tm_hour, utc.tm_min, utc.tm_sec,
                  payload);
}

// What a cycle came to, said once: the progress lines claim a delivery, so
// only the broker's acknowledgement makes them; a failure line and its
// reason otherwise; a reading the sensor did not make is never published.
void report_cycle(bool measured, const Reason &sensor_why, const SessionResult &session)
{
    const Outage *failing = nullptr;
    if (!measured) {
        console_line(LOG_ERR, "Failed to read sensor data\n");
        note_failure(&sensor, sensor_why);
        failing = &sensor;
    } else if (session.rc == MQTTCLIENT_SUCCESS) {
        console_line(LOG_INFO, "Published MQTT data - Topic: %s, Payload: %s\r\n", TELEMETRY_TOPIC,
                     payload);
        console_line(LOG_INFO, "Data published to MQTT - Topic: %s, Payload: %s\r\n",
                     TELEMETRY_TOPIC, payload);
        note_recovery(&link, "the broker at %s acknowledges publications again", session_peer());
    } else {
        console_line(LOG_ERR, "Failed to publish file data. Return code: %d\n", session.rc);
        note_failure(&link, session.why);
        failing = &link;
    }
    if (session.dropped)
        console_line(LOG_WARNING, "Reason: %s\n", session.dropped_why.text);
    if (measured)
        note_recovery(&sensor, "the sensor at 0x%02x answers again", SENSOR_I2C_ADDRESS);
    notify_cycle(failing);
}

} // namespace

void report_identity_taken(const char *client_id, const char *uri)
{
    console_line(LOG_ERR, "Not starting: another agent runs with client id %s for %s\n", client_id,
                 uri);
}

void report_connect_failure(const Reason &why)
{
    console_line(LOG_ERR, "Failed to connect to MQTT server\n");
    note_failure(&link, why);
}

void report_ready()
{
    if (service_notifying())
        service_ready("Connected to the broker at %s", session_peer());
}

void report_stop()
{
    service_stopping();
    console_notice();
}

void run_cycle()
{
    Reason sensor_why; // written when there is no reading
    if (!read_sensor_values(&temperature, &humidity, &sensor_why)) {
        report_cycle(false, sensor_why, session_keep_alive());
        return;
    }
    // Interrupted during the sensor's conversion: stop, do not publish a
    // message nothing would wait for.
    if (interrupt_requested())
        return;
    format_payload(payload, sizeof payload, humidity, temperature);
    const SessionResult published = session_publish(TELEMETRY_TOPIC, payload);
    if (!published.interrupted)
        report_cycle(true, sensor_why, published);
}
