#include "session.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "diagnosis.hpp"
#include "inbound.hpp"
#include "process.hpp"

namespace
{

// The board's own settings (device.cpp), then what every board shares
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

MQTTClient client = nullptr;
MQTTClient_connectOptions conn_opts = MQTTClient_connectOptions_initializer;
BrokerAddress broker = {};

#if AGENT_TLS
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

void create_client()
{
    MQTTClient_create(&client, MQTT_SERVER_URI, MQTT_CLIENT_ID, MQTTCLIENT_PERSISTENCE_NONE,
                      nullptr);
    // Paho records every packet in an in-memory trace ring (122 KiB) that
    // nothing reads: keep only errors there, which spares the memory and the
    // work of every packet.
    MQTTClient_setTraceLevel(MQTTCLIENT_TRACE_ERROR);
}

// A fresh client in place of one that holds what a broker flooded it with.
void renew_client()
{
    if (MQTTClient_isConnected(client))
        MQTTClient_disconnect(client, 0);
    MQTTClient_destroy(&client);
    inbound_release();
    create_client();
}

// A connect does not return early on a signal: while it blocks, SIGINT ends
// the process from its handler. So it does while a failure is looked into.
int connect_session(Reason *why)
{
    interrupt_ends_process(true);
    if (interrupt_requested()) {
        interrupt_ends_process(false);
        return MQTTCLIENT_FAILURE;
    }
    const auto start = std::chrono::steady_clock::now();
    const int rc = MQTTClient_connect(client, &conn_opts);
    if (rc != MQTTCLIENT_SUCCESS)
        explain_connect_failure(broker, rc, std::chrono::steady_clock::now() - start,
                                conn_opts.connectTimeout, why);
    interrupt_ends_process(false);
    if (rc == MQTTCLIENT_SUCCESS)
        inbound_session_up();
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

// Waits up to budget_ms for the delivery of token, which is pending (just
// published, or still after the first wait), in slices so that an interrupt
// ends the wait early. Returns what Paho's own wait would: success, a timeout
// (MQTTCLIENT_FAILURE) or the session's loss, also when the memory bound
// dropped the session: *dropped_holding then says what it held.
int wait_for_delivery(MQTTClient_deliveryToken token, unsigned long budget_ms,
                      size_t *dropped_holding)
{
    using namespace std::chrono;
    const auto start = steady_clock::now();

    for (bool ran = false;; ran = true) {
        // A lost session forgets its messages in flight: ask it first.
        if (!MQTTClient_isConnected(client))
            return MQTTCLIENT_DISCONNECTED;
        // Only a slice completes a delivery. One that did not read something
        // else, or nothing: what it read may have grown the heap.
        size_t held = 0;
        if (ran && !delivery_pending(token))
            return MQTTCLIENT_SUCCESS;
        if (ran && inbound_piling_up(&held)) {
            renew_client();
            *dropped_holding = held;
            return MQTTCLIENT_DISCONNECTED;
        }
        const auto elapsed_ms = static_cast<unsigned long>(
            duration_cast<milliseconds>(steady_clock::now() - start).count());
        if (elapsed_ms >= budget_ms || interrupt_requested())
            return MQTTCLIENT_FAILURE;
        run_session(std::min(MQTT_WAIT_SLICE_MS, budget_ms - elapsed_ms));
    }
}

// Once the outcome is known: a session past the memory bound goes.
void bound_inbound_memory(SessionResult *result)
{
    size_t held = 0;
    if (!inbound_past_bound(&held))
        return;
    renew_client();
    result->dropped = true;
    explain_inbound_drop(broker.peer, held, &result->dropped_why);
}

} // namespace

int session_open(Reason *why)
{
    create_client();
    conn_opts.keepAliveInterval = MQTT_KEEPALIVE_S;
    conn_opts.cleansession = 1;
    conn_opts.username = MQTT_USERNAME;
    // The library's initializer used to hold a 20 s retry interval; keep it.
    conn_opts.retryInterval = MQTT_RETRY_INTERVAL_S;
    split_server_uri(MQTT_SERVER_URI, &broker);
#if AGENT_TLS
    setup_tls();
#endif
    return connect_session(why);
}

SessionResult session_publish(const char *topic, const char *payload)
{
    SessionResult result; // its reasons are written where they apply
    result.interrupted = false;
    result.dropped = false;

    // A session dropped in an earlier cycle is opened again; never connect
    // while connected, which would leak a socket. A failed connect has given
    // its reason: the publication then fails on the closed session.
    bool reconnect_failed = false;
    if (!MQTTClient_isConnected(client)) {
        reconnect_failed = connect_session(&result.why) != MQTTCLIENT_SUCCESS;
        if (interrupt_requested()) {
            result.interrupted = true;
            return result;
        }
    }

    MQTTClient_message message = MQTTClient_message_initializer;
    message.payload = const_cast<char *>(payload);
    message.payloadlen = static_cast<int>(strlen(payload));
    message.qos = MQTT_QOS;
    message.retained = MQTT_RETAINED;
    MQTTClient_deliveryToken token = 0;

    // A wait on a token that was never issued reports success: when the
    // publish itself fails, its code is the outcome.
    inbound_wait_begins();
    size_t dropped_holding = 0;
    result.rc = MQTTClient_publishMessage(client, topic, &message, &token);
    const bool sent = result.rc == MQTTCLIENT_SUCCESS;
    if (sent) {
        result.rc = wait_for_delivery(token, MQTT_FIRST_WAIT_MS, &dropped_holding);
        if (result.rc != MQTTCLIENT_SUCCESS)
            result.rc = wait_for_delivery(token, MQTT_SECOND_WAIT_MS, &dropped_holding);
    }
    if (interrupt_requested()) {
        result.interrupted = true; // no outcome: nothing to claim
        return result;
    }
    if (result.rc == MQTTCLIENT_SUCCESS) {
        bound_inbound_memory(&result);
        return result;
    }
    if (dropped_holding > 0)
        explain_inbound_drop(broker.peer, dropped_holding, &result.why);
    else if (!reconnect_failed)
        explain_publish_failure(broker, result.rc, sent, MQTT_FIRST_WAIT_MS, MQTT_SECOND_WAIT_MS,
                                &result.why);
    // A message left in flight would block the next publish for ever: drop
    // the session, and the next cycle opens a fresh one.
    if (MQTTClient_isConnected(client))
        MQTTClient_disconnect(client, 0);
    bound_inbound_memory(&result);
    return result;
}

SessionResult session_keep_alive()
{
    SessionResult result;
    result.rc = MQTTCLIENT_SUCCESS;
    result.interrupted = false;
    result.dropped = false;
    // A session lost here is opened again by the next publication.
    if (MQTTClient_isConnected(client)) {
        run_session(MQTT_IDLE_RUN_MS);
        bound_inbound_memory(&result);
    }
    return result;
}

const char *session_peer()
{
    return broker.peer;
}

void session_close()
{
    MQTTClient_destroy(&client);
}
