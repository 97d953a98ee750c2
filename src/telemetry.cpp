#include "telemetry.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <malloc.h>

#include "build_config.hpp"
#include "device.hpp"

namespace
{

// Session: the board's own settings (device.cpp), then what every board shares
constexpr const char *MQTT_SERVER_URI = device_settings.server_uri;
constexpr const char *MQTT_CLIENT_ID = device_settings.client_id;
constexpr const char *MQTT_USERNAME = device_settings.access_token;
constexpr int MQTT_KEEPALIVE_S = 20;
constexpr int MQTT_RETRY_INTERVAL_S = 20;

// Publication
constexpr int MQTT_QOS = 1;
constexpr int MQTT_RETAINED = 0;
constexpr unsigned long MQTT_FIRST_WAIT_MS = 1000;
constexpr unsigned long MQTT_SECOND_WAIT_MS = 10000;
// Longest single run of the session, so that an interrupt is noticed promptly.
constexpr unsigned long MQTT_WAIT_SLICE_MS = 100;
// A cycle that publishes nothing runs the session once, without waiting: it
// sends a keep-alive ping when one is due and reads what has come, the answer
// to the last ping included (well within the keep-alive's 20 s).
constexpr unsigned long MQTT_IDLE_RUN_MS = 0;

#if AGENT_TLS
// TLS: the broker's certificate must chain to one of these and name the host.
constexpr const char *TLS_CA_FILE = device_settings.ca_file;
// TLS 1.2 and 1.3 suites only, so that no older protocol version can be
// agreed on, at OpenSSL's security level 2 (keys of 2048 bits RSA or 224 bits
// EC and more, no SHA-1 signatures): Paho would lower the level to 1.
constexpr char TLS_CIPHER_LIST[] = "DEFAULT:!SSLv3:!TLSv1:@SECLEVEL=2";

MQTTClient_SSLOptions ssl_opts = MQTTClient_SSLOptions_initializer;

void setup_tls()
{
    ssl_opts.trustStore = TLS_CA_FILE;
    ssl_opts.disableDefaultTrustStore = 1;
    ssl_opts.enableServerCertAuth = 1; // the chain
    ssl_opts.verify = 1;               // the host name
    // Paho passes this on with OpenSSL before 1.1 only; the cipher list keeps
    // the session at TLS 1.2 or later with every version.
    ssl_opts.sslVersion = MQTT_SSL_VERSION_TLS_1_2;
    ssl_opts.enabledCipherSuites = TLS_CIPHER_LIST;
    conn_opts.ssl = &ssl_opts;
}
#endif

// Inbound data the agent never asked for. It subscribes to nothing, but Paho
// keeps what a broker sends all the same: a QoS 2 PUBLISH until its PUBREL
// (which a hostile broker never sends), and in its read buffer the largest
// packet read so far, which it never shrinks. Paho's API bounds neither, so
// the agent watches its heap, which glibc counts without a system call:
// grown this much past that of a fresh session, the session is dropped and
// the client made anew (which frees Paho's read buffer), and the freed memory
// goes back to the system. The next cycle connects again.
constexpr size_t INBOUND_HEAP_MAX_BYTES = 512 * 1024;
// While a publication waits, what the session holds past the bound (a large
// packet in the read buffer) may stay until its outcome, so that a stream of
// large packets does not stop telemetry; this much more (packets piling up)
// may not.
constexpr size_t INBOUND_HEAP_STEP_BYTES = 64 * 1024;

size_t fresh_session_heap = SIZE_MAX;
size_t heap_held_while_waiting = 0;

size_t heap_in_use()
{
    const struct mallinfo2 heap = mallinfo2();
    return heap.uordblks + heap.hblkhd;
}

size_t heap_growth()
{
    const size_t used = heap_in_use();
    return used > fresh_session_heap ? used - fresh_session_heap : 0;
}

// The least a session has needed: a broker that floods one connect does
// not raise the bound of the next.
void note_fresh_session()
{
    fresh_session_heap = std::min(fresh_session_heap, heap_in_use());
}

void create_client()
{
    MQTTClient_create(&client, MQTT_SERVER_URI, MQTT_CLIENT_ID, MQTTCLIENT_PERSISTENCE_NONE,
                      nullptr);
    // Paho records every packet in an in-memory trace ring (122 KiB) that
    // nothing reads: keep only errors there, which spares the memory and the
    // work of every packet.
    MQTTClient_setTraceLevel(MQTTCLIENT_TRACE_ERROR);
}

void renew_client()
{
    if (MQTTClient_isConnected(client))
        MQTTClient_disconnect(client, 0);
    MQTTClient_destroy(&client);
    malloc_trim(0);
    create_client();
}

// Past the bound with no publication waiting: a fresh client.
void bound_inbound_memory()
{
    if (heap_growth() > INBOUND_HEAP_MAX_BYTES)
        renew_client();
}

// Past the bound while a publication waits: true when the session took more
// since it first was, and the session is then gone.
bool inbound_memory_piling_up()
{
    const size_t growth = heap_growth();
    if (growth <= INBOUND_HEAP_MAX_BYTES)
        return false;
    if (heap_held_while_waiting == 0) {
        heap_held_while_waiting = growth;
        return false;
    }
    if (growth <= heap_held_while_waiting + INBOUND_HEAP_STEP_BYTES)
        return false;
    renew_client();
    return true;
}

// A connect cannot be interrupted; while it blocks, the interrupt handler
// ends the process (see connect_in_progress).
int connect_session()
{
    connect_in_progress = 1;
    if (termination_requested) {
        connect_in_progress = 0;
        return MQTTCLIENT_FAILURE;
    }
    const int rc = MQTTClient_connect(client, &conn_opts);
    connect_in_progress = 0;
    if (rc == MQTTCLIENT_SUCCESS)
        note_fresh_session();
    return rc;
}

// Runs the session for up to timeout_ms: Paho reads what the broker sent,
// completes deliveries and answers keep-alive. The agent subscribes to
// nothing, so a message the broker sends all the same is dropped at once:
// Paho would otherwise queue every one of them for ever.
void run_session(unsigned long timeout_ms)
{
    char *topic = nullptr;
    int topic_len = 0;
    MQTTClient_message *message = nullptr;

    MQTTClient_receive(client, &topic, &topic_len, &message, timeout_ms);
    if (message)
        MQTTClient_freeMessage(&message);
    if (topic)
        MQTTClient_free(topic);
}

bool delivery_pending(MQTTClient_deliveryToken token)
{
    MQTTClient_deliveryToken *pending = nullptr;
    bool found = false;

    if (MQTTClient_getPendingDeliveryTokens(client, &pending) != MQTTCLIENT_SUCCESS)
        return true;
    if (!pending) // none in flight (Paho logs a free of NULL as an error)
        return false;
    for (const MQTTClient_deliveryToken *t = pending; *t != -1; ++t)
        found = found || *t == token;
    MQTTClient_free(pending);
    return found;
}

// Waits up to budget_ms for the delivery of token, in slices so that an
// interrupt ends the wait early. Returns what Paho's own wait would: success,
// a timeout (MQTTCLIENT_FAILURE) or the session's loss.
int wait_for_delivery(MQTTClient_deliveryToken token, unsigned long budget_ms)
{
    using namespace std::chrono;
    const auto start = steady_clock::now();

    for (;;) {
        // A lost session forgets its messages in flight: ask it first.
        if (!MQTTClient_isConnected(client))
            return MQTTCLIENT_DISCONNECTED;
        if (!delivery_pending(token))
            return MQTTCLIENT_SUCCESS;
        const auto elapsed_ms = static_cast<unsigned long>(
            duration_cast<milliseconds>(steady_clock::now() - start).count());
        if (elapsed_ms >= budget_ms || termination_requested)
            return MQTTCLIENT_FAILURE;
        if (inbound_memory_piling_up())
            return MQTTCLIENT_DISCONNECTED;
        run_session(std::min(MQTT_WAIT_SLICE_MS, budget_ms - elapsed_ms));
    }
}

} // namespace

MQTTClient client = nullptr;
MQTTClient_connectOptions conn_opts = MQTTClient_connectOptions_initializer;
volatile sig_atomic_t termination_requested = 0;
volatile sig_atomic_t connect_in_progress = 0;

int setup_mqtt_session()
{
    create_client();
    conn_opts.keepAliveInterval = MQTT_KEEPALIVE_S;
    conn_opts.cleansession = 1;
    conn_opts.username = MQTT_USERNAME;
    // The library's initializer used to hold a 20 s retry interval; keep it.
    conn_opts.retryInterval = MQTT_RETRY_INTERVAL_S;
#if AGENT_TLS
    setup_tls();
#endif
    return connect_session();
}

void publishToMQTT(const char *topic, const char *payload)
{
    // A session dropped in an earlier cycle is opened again; never connect
    // while connected, which would leak a socket. The handler may end the
    // process during the connect, so nothing printed may stay buffered.
    if (!MQTTClient_isConnected(client)) {
        fflush(stdout);
        connect_session();
        if (termination_requested)
            return;
    }

    MQTTClient_message message = MQTTClient_message_initializer;
    message.payload = const_cast<char *>(payload);
    message.payloadlen = static_cast<int>(strlen(payload));
    message.qos = MQTT_QOS;
    message.retained = MQTT_RETAINED;
    MQTTClient_deliveryToken token = 0;

    // A wait on a token that was never issued reports success: when the
    // publish itself fails, its code is the outcome.
    heap_held_while_waiting = 0;
    int rc = MQTTClient_publishMessage(client, topic, &message, &token);
    if (rc == MQTTCLIENT_SUCCESS) {
        wait_for_delivery(token, MQTT_FIRST_WAIT_MS);
        rc = wait_for_delivery(token, MQTT_SECOND_WAIT_MS);
    }
    if (termination_requested)
        return;

    if (rc == MQTTCLIENT_SUCCESS) {
        printf("Published MQTT data - Topic: %s, Payload: %s\r\n", topic, payload);
        bound_inbound_memory();
        return;
    }
    fprintf(stderr, "Failed to publish file data. Return code: %d\n", rc);
    // A message left in flight would block the next publish for ever: drop
    // the session, and the next cycle opens a fresh one.
    if (MQTTClient_isConnected(client))
        MQTTClient_disconnect(client, 0);
    bound_inbound_memory();
}

void keep_session_alive()
{
    // A session lost here is opened again by the next publication.
    if (MQTTClient_isConnected(client)) {
        run_session(MQTT_IDLE_RUN_MS);
        bound_inbound_memory();
    }
}
