// The settings that tell one board from another: the broker it reports to and
// the identity it reports under. device.cpp holds them and is the only code
// compiled for each board; everything else is the same on every board.
#pragma once

#include <cstddef>

#include "build_config.hpp"

// Longest values a board can be built with (the build refuses longer ones).
constexpr size_t DEVICE_HOST_MAX = AGENT_HOST_MAX;                 // a DNS name
constexpr size_t DEVICE_CLIENT_ID_MAX = AGENT_CLIENT_ID_MAX;       // MQTT 3.1.1 guarantees no more
constexpr size_t DEVICE_ACCESS_TOKEN_MAX = AGENT_ACCESS_TOKEN_MAX; // sent as the MQTT user name
constexpr size_t DEVICE_CA_FILE_MAX = AGENT_CA_FILE_MAX;           // a path

// Fixed sizes, so that the settings take the same bytes in every board's
// binary and two boards' agents differ in those bytes alone.
struct DeviceSettings {
    char server_uri[sizeof "tcp://" + DEVICE_HOST_MAX + sizeof ":65535"];
    char client_id[DEVICE_CLIENT_ID_MAX + 1];
    char access_token[DEVICE_ACCESS_TOKEN_MAX + 1];
#if AGENT_TLS
    // The CA certificates the broker's must chain to: the same on every board
    // of a build, but not in the build that the tests run.
    char ca_file[DEVICE_CA_FILE_MAX + 1];
#endif
};

// In a section of its own, agent_settings, so that tools can find it.
extern const DeviceSettings device_settings;
