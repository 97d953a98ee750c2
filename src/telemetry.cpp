#include "telemetry.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "build_config.hpp"
#include "device.hpp"

#if AGENT_TLS
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/time.h>
#endif

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
// After a failed connect, how long a TCP connect to the broker may take to
// tell a host that does not answer.
constexpr int CONNECT_PROBE_MS = 2000;
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

// Why the last connect or publication failed, for the user.
char failure_reason[SESSION_REASON_BYTES];
// The broker as the user knows it: host:port of the URI, and its parts.
char broker_host[sizeof device_settings.server_uri];
const char *broker_port = "";
char broker_peer[sizeof device_settings.server_uri];

void set_reason(const char *format, ...) __attribute__((format(printf, 1, 2)));
void set_reason(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(failure_reason, sizeof failure_reason, format, args);
    va_end(args);
}

// The host and the port of scheme://host:port (host may be [IPv6]).
void split_server_uri()
{
    const char *scheme_end = strstr(MQTT_SERVER_URI, "://");
    const char *peer = scheme_end ? scheme_end + 3 : MQTT_SERVER_URI;
    const char *colon = strrchr(peer, ':');
    const char *host = peer;
    size_t host_len = colon ? static_cast<size_t>(colon - host) : strlen(host);
    broker_port = colon ? colon + 1 : "";
    if (host_len >= 2 && host[0] == '[' && host[host_len - 1] == ']') {
        ++host;
        host_len -= 2;
    }
    snprintf(broker_host, sizeof broker_host, "%.*s", static_cast<int>(host_len), host);
    snprintf(broker_peer, sizeof broker_peer, "%s", peer);
}

// errno of a TCP connect to the first of the host's addresses that answers
// (0: one accepted, its socket in *connected), within CONNECT_PROBE_MS; the
// resolver's error in *resolve_rc.
int probe_tcp(int *resolve_rc, int *connected)
{
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    *resolve_rc = getaddrinfo(broker_host, broker_port, &hints, &found);
    if (*resolve_rc != 0)
        return 0;
    int error = ETIMEDOUT;
    for (const addrinfo *a = found; a && error != 0; a = a->ai_next) {
        const int fd =
            socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        error = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            pollfd done = {fd, POLLOUT, 0};
            error = ETIMEDOUT;
            socklen_t len = sizeof error;
            if (poll(&done, 1, CONNECT_PROBE_MS) == 1)
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
        }
        if (error == 0)
            *connected = fd;
        else
            close(fd);
    }
    freeaddrinfo(found);
    return error;
}

// The broker's answer to a connect it refused (MQTT 3.1.1's CONNACK codes).
const char *connack_refusal(int code)
{
    switch (code) {
    case 1:
        return "does not speak the protocol version";
    case 2:
        return "refused the client id";
    case 3:
        return "is unavailable";
    case 4:
        return "refused the access token (bad user name or password)";
    case 5:
        return "refused the access token (not authorized)";
    }
    return "refused the connection";
}

#if AGENT_TLS
// After a failed connect to a broker that accepts TCP: a handshake of the
// agent's own, with the checks Paho makes, tells which of them failed
// (OpenSSL's words). False when it succeeds.
bool tls_failure_explained(int fd)
{
    const timeval timeout = {CONNECT_PROBE_MS / 1000, 0};
    fcntl(fd, F_SETFL, 0);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

    bool explained = false;
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL *ssl = ctx ? SSL_new(ctx) : nullptr;
    if (ssl) {
        SSL_set_cipher_list(ssl, TLS_CIPHER_LIST);
        SSL_CTX_load_verify_locations(ctx, TLS_CA_FILE, nullptr);
        SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
        // The name or the address the certificate must hold, as Paho checks it.
        X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
        if (X509_VERIFY_PARAM_set1_ip_asc(param, broker_host) != 1)
            SSL_set1_host(ssl, broker_host);
        SSL_set_tlsext_host_name(ssl, broker_host);
        SSL_set_fd(ssl, fd);
        ERR_clear_error();
        if (SSL_connect(ssl) != 1) {
            const long verified = SSL_get_verify_result(ssl);
            const unsigned long error = ERR_peek_last_error();
            if (verified != X509_V_OK)
                set_reason("TLS: the certificate of the broker at %s is refused: %s", broker_peer,
                           X509_verify_cert_error_string(verified));
            else if (error)
                set_reason("TLS: the handshake with %s failed: %s", broker_peer,
                           ERR_reason_error_string(error));
            else
                set_reason("TLS: %s ended the handshake", broker_peer);
            explained = true;
        } else {
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
    }
    SSL_CTX_free(ctx);
    ERR_clear_error();
    return explained;
}
#else
bool tls_failure_explained(int)
{
    return false;
}
#endif

// Finds out, after a failed connect only, why it failed: Paho reports most
// failures as MQTTCLIENT_FAILURE.
void explain_connect_failure(int rc, std::chrono::steady_clock::duration took)
{
    using namespace std::chrono;
    if (rc > 0) {
        set_reason("the broker at %s %s: CONNACK code %d", broker_peer, connack_refusal(rc), rc);
        return;
    }
    if (rc != MQTTCLIENT_FAILURE) {
        set_reason("the connect to %s failed: %s (%d)", broker_peer, MQTTClient_strerror(rc), rc);
        return;
    }
    if (took >= seconds(conn_opts.connectTimeout)) {
        set_reason("no answer from the broker at %s within the %d s connect timeout", broker_peer,
                   conn_opts.connectTimeout);
        return;
    }
    int resolve_rc = 0;
    int fd = -1;
    const int error = probe_tcp(&resolve_rc, &fd);
    if (resolve_rc != 0)
        set_reason("the broker's host name %s does not resolve: %s", broker_host,
                   gai_strerror(resolve_rc));
    else if (error == ECONNREFUSED)
        set_reason("nothing accepts connections at %s (connection refused)", broker_peer);
    else if (error == ETIMEDOUT)
        set_reason("%s does not answer (no TCP connection within %d ms)", broker_peer,
                   CONNECT_PROBE_MS);
    else if (error != 0)
        set_reason("%s cannot be reached: %s", broker_peer, strerror(error));
    else if (!tls_failure_explained(fd))
        set_reason("%s accepts connections, but no MQTT session came up", broker_peer);
    if (fd >= 0)
        close(fd);
}

// Why a publication on an open session failed: rc, after the publish call
// (sent: it succeeded) and the waits.
void explain_publish_failure(int rc, bool sent)
{
    if (rc == MQTTCLIENT_DISCONNECTED)
        set_reason("the session with the broker at %s was lost", broker_peer);
    else if (sent && rc == MQTTCLIENT_FAILURE)
        set_reason("the broker at %s did not acknowledge within %lu s (the %lu s and %lu s waits)",
                   broker_peer, (MQTT_FIRST_WAIT_MS + MQTT_SECOND_WAIT_MS) / 1000,
                   MQTT_FIRST_WAIT_MS / 1000, MQTT_SECOND_WAIT_MS / 1000);
    else
        set_reason("the publication to %s failed: %s (%d)", broker_peer, MQTTClient_strerror(rc),
                   rc);
}

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
// ends the process (see connect_in_progress). So does it while a failure is
// looked into.
int connect_session()
{
    connect_in_progress = 1;
    if (termination_requested) {
        connect_in_progress = 0;
        return MQTTCLIENT_FAILURE;
    }
    const auto start = std::chrono::steady_clock::now();
    const int rc = MQTTClient_connect(client, &conn_opts);
    if (rc != MQTTCLIENT_SUCCESS)
        explain_connect_failure(rc, std::chrono::steady_clock::now() - start);
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
    split_server_uri();
#if AGENT_TLS
    setup_tls();
#endif
    return connect_session();
}

int publishToMQTT(const char *topic, const char *payload)
{
    // A session dropped in an earlier cycle is opened again; never connect
    // while connected, which would leak a socket. The handler may end the
    // process during the connect, so nothing printed may stay buffered.
    bool reconnect_failed = false;
    if (!MQTTClient_isConnected(client)) {
        fflush(stdout);
        reconnect_failed = connect_session() != MQTTCLIENT_SUCCESS;
        if (termination_requested)
            return MQTTCLIENT_FAILURE;
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
    const bool sent = rc == MQTTCLIENT_SUCCESS;
    if (sent) {
        wait_for_delivery(token, MQTT_FIRST_WAIT_MS);
        rc = wait_for_delivery(token, MQTT_SECOND_WAIT_MS);
    }
    if (termination_requested)
        return MQTTCLIENT_FAILURE; // no outcome line: nothing to claim

    if (rc == MQTTCLIENT_SUCCESS) {
        printf("Published MQTT data - Topic: %s, Payload: %s\r\n", topic, payload);
        bound_inbound_memory();
        return rc;
    }
    fprintf(stderr, "Failed to publish file data. Return code: %d\n", rc);
    // A failed reconnect has given its reason already.
    if (!reconnect_failed)
        explain_publish_failure(rc, sent);
    // A message left in flight would block the next publish for ever: drop
    // the session, and the next cycle opens a fresh one.
    if (MQTTClient_isConnected(client))
        MQTTClient_disconnect(client, 0);
    bound_inbound_memory();
    return rc;
}

const char *session_failure_reason()
{
    return failure_reason;
}

const char *session_peer()
{
    return broker_peer;
}

void keep_session_alive()
{
    // A session lost here is opened again by the next publication.
    if (MQTTClient_isConnected(client)) {
        run_session(MQTT_IDLE_RUN_MS);
        bound_inbound_memory();
    }
}
