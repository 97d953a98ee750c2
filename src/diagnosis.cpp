#include "diagnosis.hpp"

#include <MQTTClient.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "build_config.hpp"
#include "session.hpp"

#if AGENT_TLS
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/time.h>
#endif

namespace
{

// How long a TCP connect to the broker may take to tell a host that does not
// answer.
constexpr int CONNECT_PROBE_MS = 2000;

// errno of a TCP connect to the first of the host's addresses that answers
// (0: one accepted, its socket in *connected), within CONNECT_PROBE_MS; the
// resolver's error in *resolve_rc.
int probe_tcp(const BrokerAddress &broker, int *resolve_rc, int *connected)
{
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    *resolve_rc = getaddrinfo(broker.host, broker.port, &hints, &found);
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
bool tls_failure_explained(const BrokerAddress &broker, int fd, Reason *why)
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
        if (X509_VERIFY_PARAM_set1_ip_asc(param, broker.host) != 1)
            SSL_set1_host(ssl, broker.host);
        SSL_set_tlsext_host_name(ssl, broker.host);
        SSL_set_fd(ssl, fd);
        ERR_clear_error();
        if (SSL_connect(ssl) != 1) {
            const long verified = SSL_get_verify_result(ssl);
            const unsigned long error = ERR_peek_last_error();
            if (verified != X509_V_OK)
                set_reason(why, "TLS: the certificate of the broker at %s is refused: %s",
                           broker.peer, X509_verify_cert_error_string(verified));
            else if (error)
                set_reason(why, "TLS: the handshake with %s failed: %s", broker.peer,
                           ERR_reason_error_string(error));
            else
                set_reason(why, "TLS: %s ended the handshake", broker.peer);
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
bool tls_failure_explained(const BrokerAddress &, int, Reason *)
{
    return false;
}
#endif

} // namespace

void split_server_uri(const char *uri, BrokerAddress *broker)
{
    const char *scheme_end = strstr(uri, "://");
    const char *peer = scheme_end ? scheme_end + 3 : uri;
    const char *colon = strrchr(peer, ':');
    const char *host = peer;
    size_t host_len = colon ? static_cast<size_t>(colon - host) : strlen(host);
    if (host_len >= 2 && host[0] == '[' && host[host_len - 1] == ']') {
        ++host;
        host_len -= 2;
    }
    snprintf(broker->host, sizeof broker->host, "%.*s", static_cast<int>(host_len), host);
    snprintf(broker->port, sizeof broker->port, "%s", colon ? colon + 1 : "");
    snprintf(broker->peer, sizeof broker->peer, "%s", peer);
}

void explain_connect_failure(const BrokerAddress &broker, int rc,
                             std::chrono::steady_clock::duration took, int connect_timeout_s,
                             Reason *why)
{
    if (rc > 0) {
        set_reason(why, "the broker at %s %s: CONNACK code %d", broker.peer, connack_refusal(rc),
                   rc);
        return;
    }
    if (rc != MQTTCLIENT_FAILURE) {
        set_reason(why, "the connect to %s failed: %s (%d)", broker.peer, MQTTClient_strerror(rc),
                   rc);
        return;
    }
    if (took >= std::chrono::seconds(connect_timeout_s)) {
        set_reason(why, "no answer from the broker at %s within the %d s connect timeout",
                   broker.peer, connect_timeout_s);
        return;
    }
    int resolve_rc = 0;
    int fd = -1;
    const int error = probe_tcp(broker, &resolve_rc, &fd);
    if (resolve_rc != 0)
        set_reason(why, "the broker's host name %s does not resolve: %s", broker.host,
                   gai_strerror(resolve_rc));
    else if (error == ECONNREFUSED)
        set_reason(why, "nothing accepts connections at %s (connection refused)", broker.peer);
    else if (error == ETIMEDOUT)
        set_reason(why, "%s does not answer (no TCP connection within %d ms)", broker.peer,
                   CONNECT_PROBE_MS);
    else if (error != 0)
        set_reason(why, "%s cannot be reached: %s", broker.peer, strerror(error));
    else if (!tls_failure_explained(broker, fd, why))
        set_reason(why, "%s accepts connections, but no MQTT session came up", broker.peer);
    if (fd >= 0)
        close(fd);
}

void explain_publish_failure(const BrokerAddress &broker, int rc, bool sent,
                             unsigned long first_wait_ms, unsigned long second_wait_ms, Reason *why)
{
    if (rc == MQTTCLIENT_DISCONNECTED)
        set_reason(why, "the session with the broker at %s was lost", broker.peer);
    else if (sent && rc == MQTTCLIENT_FAILURE)
        set_reason(why,
                   "the broker at %s did not acknowledge within %lu s (the %lu s and %lu s waits)",
                   broker.peer, (first_wait_ms + second_wait_ms) / 1000, first_wait_ms / 1000,
                   second_wait_ms / 1000);
    else
        set_reason(why, "the publication to %s failed: %s (%d)", broker.peer,
                   MQTTClient_strerror(rc), rc);
}
