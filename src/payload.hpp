// Text of one telemetry message.
#pragma once

#include <cstddef>
#include <cstdio>

constexpr size_t PAYLOAD_BUFFER_SIZE = 500;

// Writes {"Humidity": H, "Temperature": T} with two decimals each into buf
// (at most size bytes, terminating zero included) and returns what snprintf
// returns. The longest text the sensor's ranges can give is 43 characters.
inline int format_payload(char *buf, size_t size, float humidity, float temperature)
{
    return snprintf(buf, size, "{\"Humidity\": %.2f, \"Temperature\": %.2f}",
                    static_cast<double>(humidity), static_cast<double>(temperature));
}
