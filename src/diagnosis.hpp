// Why a connect or a publication failed. Paho reports most connect failures
// as MQTTCLIENT_FAILURE: only after such a failure does the diagnosis look
// for the cause (a name lookup, a TCP connect, with TLS a handshake of its
// own).
#pragma once

#include <chrono>
#include <cstddef>

#include "device.hpp"
#include "reason.hpp"

// The broker as the user knows it, from its URI scheme://host:port.
struct BrokerAddress {
    char host[sizeof DeviceSettings::server_uri]; // without the brackets of [IPv6]
    char port[sizeof ":65535"];
    char peer[sizeof DeviceSettings::server_uri]; // host:port as the URI writes them
};

// Splits uri into *broker.
void split_server_uri(const char *uri, BrokerAddress *broker);

// Why a connect that returned rc after took failed; connect_timeout_s is its
// connect timeout.
void explain_connect_failure(const BrokerAddress &broker, int rc,
                             std::chrono::steady_clock::duration took, int connect_timeout_s,
                             Reason *why);

// Why a publication on an open session failed with rc, after the publish
// call (sent: it succeeded) and the waits of first_wait_ms and second_wait_ms.
void explain_publish_failure(const BrokerAddress &broker, int rc, bool sent,
                             unsigned long first_wait_ms, unsigned long second_wait_ms,
                             Reason *why);
