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
#if AGENT_STORE
#include <atomic>
#include <chrono>

#include "format_now.hpp"
#include "store.hpp"
#endif

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

// After the status: what the store holds, when it holds anything or dropped
// (nothing without a store).
struct Backlog {
    char text[96];
};
Backlog backlog_status()
{
    Backlog b = {""};
#if AGENT_STORE
    const StoreCounts counts = store_counts();
    if (counts.kept > 0 || counts.dropped > 0)
        snprintf(b.text, sizeof b.text, "; %zu readings stored, %llu dropped", counts.kept,
                 static_cast<unsigned long long>(counts.dropped));
#endif
    return b;
}

// The service's status after a cycle, with the watchdog's keep-alive.
// failing: the outage the cycle ended in, if any.
void notify_cycle(const Outage *failing)
{
    if (!service_notifying())
        return;
    const time_t now = time(nullptr);
    const Backlog backlog = backlog_status();
    if (failing) {
        service_cycle("%s for %lld s: %s%s", failing->what_fails,
                      static_cast<long long>(now - failing->since), failing->reason.text,
                      backlog.text);
        return;
    }
    tm utc = {};
    gmtime_r(&now, &utc);
    service_cycle("Delivered at %02d:%02d:%02d UTC: %s%s", utc.tm_hour, utc.tm_min, utc.tm_sec,
                  payload, backlog.text);
}

// What a cycle came to, said once: the progress lines claim a delivery, so
// only the broker's acknowledgement makes them; a failure line and its
// reason otherwise; a reading the sensor did not make is never published.
// Returns the outage the cycle ended in, if any, for the service's status.
const Outage *report_cycle(bool measured, const Reason &sensor_why, const SessionResult &session)
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
    return failing;
}

#if AGENT_STORE
// The backlog goes out at this pace, after the cycle's own reading: at most
// this many messages a cycle, and no new one once this much of the cycle
// went to them, so that a slow broker delays a cycle by one message's waits
// at most.
constexpr unsigned STORE_MESSAGES_PER_CYCLE = 4;
constexpr std::chrono::milliseconds STORE_BACKLOG_START_BOUND{2000};

bool dropping = false;          // the store is full: said once, until it empties
bool waiting_for_clock = false; // said once, until the clock is trusted

const char *plural(size_t n)
{
    return n == 1 ? "" : "s";
}

// A measurement time as the lines give it: 2026-12-10T08:00:00.512Z.
struct When {
    char text[80]; // 24 for a year of four digits; the compiler counts more
};
When when(int64_t ms)
{
    When w = {""};
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm utc = {};
    gmtime_r(&seconds, &utc);
    snprintf(w.text, sizeof w.text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
             utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
             static_cast<int>(ms % 1000));
    return w;
}

// The reading being published, for the interrupt's handler to keep when it
// ends the process in the middle (a connect does not return early).
std::atomic<bool> publishing{false}; // lock-free: the handler may read it
int64_t publishing_ms = 0;

// A reading whose publication failed or never ended goes into the store,
// stamped at once while the clock is trusted.
void keep_reading(int64_t measured_ms)
{
    if (store_keep(humidity, temperature, measured_ms) && !dropping) {
        dropping = true;
        console_line(LOG_WARNING,
                     "Store full (%zu reading%s): the oldest is dropped for each new one\n",
                     STORE_SIZE, plural(STORE_SIZE));
    }
    store_stamp();
}

// Stamps what the clock allows; says once that readings wait for it.
void stamp_backlog()
{
    if (store_stamp()) {
        waiting_for_clock = false;
        return;
    }
    if (waiting_for_clock)
        return;
    waiting_for_clock = true;
    console_line(LOG_WARNING,
                 "Stored readings wait for the clock: %zu measured before it was synchronised "
                 "(no %s yet)\n",
                 store_counts().unstamped, STORE_CLOCK_FLAG);
}

// True when stored readings can go out now: some are kept and stamped.
bool backlog_ready()
{
    if (store_counts().kept == 0)
        return false;
    stamp_backlog();
    const StoreCounts counts = store_counts();
    return counts.unstamped < counts.kept;
}

// The backlog, oldest first, after the cycle's own publication (or in its
// place, in a cycle without a reading): each message removed from the store
// only once the broker acknowledged it; one that fails stays for the next
// cycle. Returns the outage a failed message began or continued. Called
// once backlog_ready() said there is one.
const Outage *deliver_backlog()
{
    const auto start = std::chrono::steady_clock::now();
    bool delivered = false;
    for (unsigned sent = 0; sent < STORE_MESSAGES_PER_CYCLE; ++sent) {
        if (sent > 0 && std::chrono::steady_clock::now() - start >= STORE_BACKLOG_START_BOUND)
            break;
        StoreBatch batch = {};
        const char *message = interrupt_requested() ? nullptr : store_message(&batch);
        if (!message)
            break;
        const SessionResult session = session_publish(TELEMETRY_TOPIC, message);
        if (session.interrupted)
            return nullptr;
        const When from = when(batch.first_ts);
        const When to = when(batch.last_ts);
        const bool acknowledged = session.rc == MQTTCLIENT_SUCCESS;
        if (acknowledged) {
            store_delivered(batch);
            delivered = true;
            console_line(
                LOG_INFO, "Published %zu stored reading%s - Topic: %s, measured %s to %s\r\n",
                batch.readings, plural(batch.readings), TELEMETRY_TOPIC, from.text, to.text);
            note_recovery(&link, "the broker at %s acknowledges publications again",
                          session_peer());
        } else {
            console_line(LOG_ERR,
                         "Failed to publish %zu stored reading%s measured %s to %s. Return code: "
                         "%d\n",
                         batch.readings, plural(batch.readings), from.text, to.text, session.rc);
            note_failure(&link, session.why);
        }
        if (session.dropped)
            console_line(LOG_WARNING, "Reason: %s\n", session.dropped_why.text);
        if (!acknowledged)
            return &link;
    }
    const StoreCounts left = store_counts();
    if (delivered && left.kept == 0) {
        console_line(LOG_NOTICE,
                     "Recovered: every stored reading is delivered; %llu dropped since the store "
                     "was last empty\n",
                     static_cast<unsigned long long>(left.dropped));
        store_forget_dropped();
        dropping = false;
    }
    return nullptr;
}

#endif

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

#if AGENT_STORE
void open_store()
{
    const StoreOpened opened = store_open();
    if (opened.no_directory)
        console_line(LOG_WARNING, "Stored readings will not survive a stop: STATE_DIRECTORY is not "
                                  "set (the unit's StateDirectory=)\n");
    if (opened.refused) {
        console_line(LOG_ERR, "Failed to restore the stored readings\n");
        console_line(LOG_WARNING, "Reason: %s\n", opened.why.text);
    }
    if (opened.restored > 0)
        console_line(LOG_INFO, "Restored %zu stored reading%s from %s\r\n", opened.restored,
                     plural(opened.restored), opened.path);
    if (opened.over_size > 0)
        console_line(LOG_WARNING, "Dropped the %zu oldest stored reading%s: this build keeps %zu\n",
                     opened.over_size, plural(opened.over_size), STORE_SIZE);
    if (opened.other_boot > 0)
        console_line(LOG_WARNING,
                     "Dropped %zu stored reading%s of an earlier boot: measured before the clock "
                     "was synchronised, their times are unknown now\n",
                     opened.other_boot, plural(opened.other_boot));
}

namespace
{

// The store's lines at the stop, formatted as the interrupt's handler may.
void report_saved(const StoreSaved &saved, void (*line)(int, const char *))
{
    char text[REASON_BYTES + 64];
    if (!saved.opened)
        return;
    if (saved.failed) {
        format_now(text, sizeof text, "Failed to save %zu stored reading%s\n", store_counts().kept,
                   plural(store_counts().kept));
        line(LOG_ERR, text);
        format_now(text, sizeof text, "Reason: %s\n", saved.why.text);
        line(LOG_WARNING, text);
    } else if (saved.readings > 0) {
        format_now(text, sizeof text, "Saved %zu stored reading%s to %s\r\n", saved.readings,
                   plural(saved.readings), saved.path);
        line(LOG_INFO, text);
    }
}

void stdio_line(int priority, const char *text)
{
    console_line(priority, "%s", text);
}

} // namespace

void close_store()
{
    report_saved(store_save(), stdio_line);
}

void close_store_now()
{
    if (publishing)
        store_keep(humidity, temperature, publishing_ms);
    report_saved(store_save(), console_line_now);
}
#endif

void run_cycle()
{
    Reason sensor_why; // written when there is no reading
    if (!read_sensor_values(&temperature, &humidity, &sensor_why)) {
#if AGENT_STORE
        // The backlog's messages are the cycle's publications, if it has any
        // to send (the session untouched till then); else the session runs
        // to keep itself alive.
        const bool backlog = backlog_ready();
        const Outage *failing =
            report_cycle(false, sensor_why, backlog ? SessionResult{} : session_keep_alive());
        if (backlog)
            deliver_backlog();
        notify_cycle(failing);
#else
        notify_cycle(report_cycle(false, sensor_why, session_keep_alive()));
#endif
        return;
    }
#if AGENT_STORE
    const int64_t measured_ms = store_boot_ms();
#endif
    // Interrupted during the sensor's conversion: stop, do not publish a
    // message nothing would wait for (with a store, keep the reading).
    if (interrupt_requested()) {
#if AGENT_STORE
        keep_reading(measured_ms);
#endif
        return;
    }
    format_payload(payload, sizeof payload, humidity, temperature);
#if AGENT_STORE
    publishing_ms = measured_ms;
    publishing = true;
#endif
    const SessionResult published = session_publish(TELEMETRY_TOPIC, payload);
#if AGENT_STORE
    publishing = false;
    // A publication cut short may or may not have reached the broker: kept.
    if (published.interrupted) {
        keep_reading(measured_ms);
        return;
    }
    const Outage *failing = report_cycle(true, sensor_why, published);
    if (published.rc != MQTTCLIENT_SUCCESS)
        keep_reading(measured_ms);
    else if (backlog_ready())
        failing = deliver_backlog();
    notify_cycle(failing);
#else
    if (!published.interrupted)
        notify_cycle(report_cycle(true, sensor_why, published));
#endif
}
