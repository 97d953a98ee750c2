/* floor: the least any agent on Paho's synchronous client can cost. It makes
 * the MQTT calls the agent's session makes, as src/session.cpp makes them,
 * and nothing else: no sensor, no serial port, no console line while it works.
 * What the agent costs beyond this program is the agent's own doing.
 *
 *   floor     (built with -DFLOOR_BROKER_HOST='"ADDRESS"', as bench/bench.sh does)
 *
 * Every cycle it publishes a fixed payload of the agent's usual length with
 * QoS 1, waits for the acknowledgement as the agent does and pauses 7 s with
 * sleep() (which the simulator's sleep scale shortens in the long run).
 * SIGINT ends it with status 0; it exits with 255 when it cannot connect at
 * start. Only failures are printed, on standard error.
 *
 * It copies the Paho calls of src/session.cpp (the client, its connect
 * options, session_publish's publication and wait_for_delivery's loop,
 * run_session) and nothing of what the agent does around them: not the memory
 * bound's heap reads, the reasons, the reconnect's diagnosis, the console, the
 * service's notifications, the pause's wait on the interrupt. Those are the
 * agent's own share. A change to the session's Paho calls is made here too,
 * by hand: nothing checks that the two agree. */
#define _GNU_SOURCE
#include <MQTTClient.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#ifndef FLOOR_BROKER_HOST
#error "FLOOR_BROKER_HOST: the broker's address, a string (bench/bench.sh sets it)"
#endif

/* The agent's settings, but for the client id: the floor runs beside the
 * agent on the same broker. */
#define SERVER_URI "tcp://" FLOOR_BROKER_HOST ":1884"
#define CLIENT_ID "bench-floor"
#define USERNAME "Tz8LwQ3nVb6RkY1mHc5J"
#define KEEPALIVE_S 20
#define RETRY_INTERVAL_S 20
#define TOPIC "v1/devices/me/telemetry"
#define QOS 1
#define FIRST_WAIT_MS 1000UL
#define SECOND_WAIT_MS 10000UL
#define WAIT_SLICE_MS 100UL
#define PAUSE_S 7

/* A payload as the agent formats one: 41 bytes. */
static char payload[] = "{\"Humidity\": 45.00, \"Temperature\": -5.25}";

static MQTTClient client;
static MQTTClient_connectOptions conn_opts = MQTTClient_connectOptions_initializer;
static volatile sig_atomic_t termination_requested;
static volatile sig_atomic_t connect_in_progress;

/* As the agent's: a connect does not return early on a signal, so the handler
 * ends the process during one. */
static void handle_termination(int signo)
{
    (void)signo;
    if (connect_in_progress)
        _exit(0);
    termination_requested = 1;
}

static int connect_session(void)
{
    int rc;

    connect_in_progress = 1;
    if (termination_requested) {
        connect_in_progress = 0;
        return MQTTCLIENT_FAILURE;
    }
    rc = MQTTClient_connect(client, &conn_opts);
    connect_in_progress = 0;
    return rc;
}

static void run_session(unsigned long timeout_ms)
{
    char *topic = NULL;
    int topic_len = 0;
    MQTTClient_message *message = NULL;

    MQTTClient_receive(client, &topic, &topic_len, &message, timeout_ms);
    if (message)
        MQTTClient_freeMessage(&message);
    if (topic)
        MQTTClient_free(topic);
}

static int delivery_pending(MQTTClient_deliveryToken token)
{
    MQTTClient_deliveryToken *pending = NULL;
    const MQTTClient_deliveryToken *t;
    int found = 0;

    if (MQTTClient_getPendingDeliveryTokens(client, &pending) != MQTTCLIENT_SUCCESS)
        return 1;
    if (!pending) /* none in flight (Paho logs a free of NULL as an error) */
        return 0;
    for (t = pending; *t != -1; ++t)
        found = found || *t == token;
    MQTTClient_free(pending);
    return found;
}

/* The agent reads std::chrono::steady_clock: CLOCK_MONOTONIC. */
static unsigned long monotonic_ms(void)
{
    struct timespec now;

    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long)now.tv_sec * 1000UL + (unsigned long)now.tv_nsec / 1000000UL;
}

/* The delivery is pending when a wait begins: only a slice completes it. */
static int wait_for_delivery(MQTTClient_deliveryToken token, unsigned long budget_ms)
{
    const unsigned long start = monotonic_ms();
    unsigned long elapsed_ms, left_ms;
    int ran;

    for (ran = 0;; ran = 1) {
        if (!MQTTClient_isConnected(client))
            return MQTTCLIENT_DISCONNECTED;
        if (ran && !delivery_pending(token))
            return MQTTCLIENT_SUCCESS;
        elapsed_ms = monotonic_ms() - start;
        if (elapsed_ms >= budget_ms || termination_requested)
            return MQTTCLIENT_FAILURE;
        left_ms = budget_ms - elapsed_ms;
        run_session(left_ms < WAIT_SLICE_MS ? left_ms : WAIT_SLICE_MS);
    }
}

static void publish(void)
{
    MQTTClient_message message = MQTTClient_message_initializer;
    MQTTClient_deliveryToken token = 0;
    int rc;

    if (!MQTTClient_isConnected(client)) {
        connect_session();
        if (termination_requested)
            return;
    }
    message.payload = payload;
    message.payloadlen = (int)strlen(payload);
    message.qos = QOS;
    message.retained = 0;
    rc = MQTTClient_publishMessage(client, TOPIC, &message, &token);
    if (rc == MQTTCLIENT_SUCCESS) {
        rc = wait_for_delivery(token, FIRST_WAIT_MS);
        if (rc != MQTTCLIENT_SUCCESS)
            rc = wait_for_delivery(token, SECOND_WAIT_MS);
    }
    if (termination_requested || rc == MQTTCLIENT_SUCCESS)
        return;
    fprintf(stderr, "floor: publication failed: %d\n", rc);
    if (MQTTClient_isConnected(client))
        MQTTClient_disconnect(client, 0);
}

int main(void)
{
    signal(SIGINT, handle_termination);
    MQTTClient_create(&client, SERVER_URI, CLIENT_ID, MQTTCLIENT_PERSISTENCE_NONE, NULL);
    MQTTClient_setTraceLevel(MQTTCLIENT_TRACE_ERROR);
    conn_opts.keepAliveInterval = KEEPALIVE_S;
    conn_opts.cleansession = 1;
    conn_opts.username = USERNAME;
    conn_opts.retryInterval = RETRY_INTERVAL_S;
    if (connect_session() != MQTTCLIENT_SUCCESS && !termination_requested) {
        fprintf(stderr, "floor: cannot connect to %s\n", SERVER_URI);
        return 255;
    }
    while (!termination_requested) {
        publish();
        if (!termination_requested)
            sleep(PAUSE_S);
    }
    MQTTClient_destroy(&client);
    return 0;
}
