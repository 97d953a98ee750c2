// The one MQTT session with the broker of the IoT platform: connect, publish
// with QoS 1 and wait for the acknowledgement. It prints nothing: each call
// returns what happened, with its reason.
#pragma once

#include <MQTTClient.h>

#include "build_config.hpp"
#include "device.hpp"
#include "reason.hpp"

#if AGENT_TLS
// TLS: the broker's certificate must chain to one of these and name the host.
constexpr const char *TLS_CA_FILE = device_settings.ca_file;
// TLS 1.2 and 1.3 suites only, so that no older protocol version can be
// agreed on, at OpenSSL's security level 2 (keys of 2048 bits RSA or 224 bits
// EC and more, no SHA-1 signatures): Paho would lower the level to 1.
constexpr char TLS_CIPHER_LIST[] = "DEFAULT:!SSLv3:!TLSv1:@SECLEVEL=2";
#endif

// Creates the client and connects: MQTTCLIENT_SUCCESS when the session is
// up, else the connect's code, with its reason in *why.
int session_open(Reason *why);

// What a publication, or a cycle's run of the session without one, came to.
struct SessionResult {
    int rc;           // MQTTCLIENT_SUCCESS once the broker acknowledged, else the failure's code
    bool interrupted; // SIGINT came: no outcome, nothing to claim
    Reason why;       // why rc is a failure
    bool dropped;     // after the outcome, the memory bound dropped the session
    Reason dropped_why;
};

// Publishes payload on topic with QoS 1 and waits up to 1 s, then up to 10 s
// more, for the acknowledgement. A session lost in an earlier cycle is opened
// again first; a publication that fails drops the session, so that the next
// opens a fresh one.
SessionResult session_publish(const char *topic, const char *payload);

// In a cycle that publishes nothing: lets the session answer the broker, so
// that its keep-alive does not lapse while the sensor fails.
SessionResult session_keep_alive();

// The broker: host:port.
const char *session_peer();

// Destroys the client.
void session_close();
