// One board's settings, from the header generated for it at configure time.
#include "device.hpp"

#include "agent_config.hpp"

__attribute__((section("agent_settings"))) const DeviceSettings device_settings = {
    "tcp://" AGENT_BROKER_HOST ":1884",
    AGENT_CLIENT_ID,
    AGENT_ACCESS_TOKEN,
};
