// Telemetry agent: every cycle it measures humidity and temperature, publishes
// them to the IoT platform's broker and pauses. SIGINT ends it in order.
#include <MQTTClient.h>
#include <cstdlib>

#include "console.hpp"
#include "cycle.hpp"
#include "device.hpp"
#include "process.hpp"
#include "sensor.hpp"
#include "serial_port.hpp"
#include "service.hpp"
#include "session.hpp"

namespace
{

constexpr unsigned PUBLISH_INTERVAL_S = 7;

// Exit statuses besides EXIT_STOPPED: the service's Restart=on-failure starts
// the agent again after either.
constexpr int EXIT_NO_BROKER = 255;      // the connect at start failed
constexpr int EXIT_IDENTITY_TAKEN = 255; // another agent runs with this identity

// The orderly stop: each owner releases what it holds.
[[noreturn]] void shut_down()
{
    report_stop();
    session_close();
    close_sensor();
    close_serial_port();
#if AGENT_STORE
    close_store();
#endif
    exit(EXIT_STOPPED);
}

} // namespace

int main()
{
    forbid_core_dumps();
    console_open();
    service_open();
    interrupt_install();
    if (!claim_identity(device_settings.server_uri, device_settings.client_id)) {
        report_identity_taken(device_settings.client_id, device_settings.server_uri);
        return EXIT_IDENTITY_TAKEN;
    }

    Reason why = {};
    const int rc = session_open(&why);
    if (interrupt_requested())
        shut_down();
    if (rc != MQTTCLIENT_SUCCESS) {
        report_connect_failure(why);
        return EXIT_NO_BROKER;
    }
    setup_sensor();
    setup_serial_port();
#if AGENT_STORE
    open_store();
    interrupt_before_exit(close_store_now);
#endif
    report_ready();

    while (!interrupt_requested()) {
        run_cycle();
        if (pause_interrupted(PUBLISH_INTERVAL_S))
            break;
    }
    shut_down();
}
