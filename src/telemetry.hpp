// The one MQTT session with the broker of the IoT platform.
#pragma once

#include <MQTTClient.h>
#include <csignal>
#include <cstddef>

// The client handle: created by setup_mqtt_session, destroyed at shutdown.
extern MQTTClient client;
extern MQTTClient_connectOptions conn_opts;

// Set by the interrupt handler: a publication then stops waiting and returns
// without printing its outcome.
extern volatile sig_atomic_t termination_requested;
// Set while a connect blocks. Paho does not return early on a signal, so the
// interrupt handler ends the process itself during a connect.
extern volatile sig_atomic_t connect_in_progress;

// Creates the client and connects; returns the connect's return code
// (MQTTCLIENT_SUCCESS when the session is up).
int setup_mqtt_session();

// Publishes payload on topic with QoS 1 and waits for the acknowledgement,
// then prints the outcome line. Opens the session again first if it was lost.
// Returns the outcome: MQTTCLIENT_SUCCESS once the broker has acknowledged
// the delivery, else the failure's code (also when interrupted, without a line).
int publishToMQTT(const char *topic, const char *payload);

// Why the last failed connect or publication failed, in words a user can
// act on: one line without its line end, naming the broker.
constexpr size_t SESSION_REASON_BYTES = 320;
const char *session_failure_reason();
// The broker: host:port.
const char *session_peer();

// Lets the session answer the broker in a cycle that publishes nothing, so
// that its keep-alive does not lapse while the sensor fails.
void keep_session_alive();
