// One board's settings, from the header generated for it at configure time.
#include "device.hpp"

#include "agent_config.hpp"
#include "build_config.hpp"

__attribute__((section("agent_settings"))) const DeviceSettings device_settings = {
    AGENT_URI_SCHEME "://" AGENT_BROKER_HOST ":" AGENT_BROKER_PORT,
    AGENT_CLIENT_ID,
    AGENT_ACCESS_TOKEN,
#if AGENT_TLS
    AGENT_CA_FILE,
#endif
};
