// Text of the telemetry message, from sensor frame to payload.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "payload.hpp"
#include "sensor.hpp"

namespace
{

std::string payload_of(float humidity, float temperature)
{
    char buf[PAYLOAD_BUFFER_SIZE];
    const int n = format_payload(buf, sizeof buf, humidity, temperature);
    EXPECT_EQ(n, static_cast<int>(strlen(buf)));
    return buf;
}

std::string payload_of_raw(uint32_t raw_humidity, uint32_t raw_temperature)
{
    const uint8_t frame[SENSOR_FRAME_BYTES] = {
        0x1C,
        static_cast<uint8_t>(raw_humidity >> 12),
        static_cast<uint8_t>(raw_humidity >> 4),
        static_cast<uint8_t>((raw_humidity & 0x0F) << 4 | raw_temperature >> 16),
        static_cast<uint8_t>(raw_temperature >> 8),
        static_cast<uint8_t>(raw_temperature),
    };
    float temperature = 0;
    float humidity = 0;
    convert_frame(frame, &temperature, &humidity);
    return payload_of(humidity, temperature);
}

// Parses a JSON number as "%.2f" writes it: optional minus, an integer part
// without leading zeros, a point and exactly two digits. Returns the position
// after it, or npos.
size_t parse_two_decimals(const std::string &s, size_t pos, double *value)
{
    const size_t start = pos;
    if (pos < s.size() && s[pos] == '-')
        ++pos;
    const size_t int_start = pos;
    while (pos < s.size() && isdigit(static_cast<unsigned char>(s[pos])))
        ++pos;
    const size_t int_len = pos - int_start;
    if (int_len == 0 || (int_len > 1 && s[int_start] == '0'))
        return std::string::npos;
    if (pos + 3 > s.size() || s[pos] != '.' || !isdigit(static_cast<unsigned char>(s[pos + 1])) ||
        !isdigit(static_cast<unsigned char>(s[pos + 2])))
        return std::string::npos;
    pos += 3;
    *value = strtod(s.substr(start, pos - start).c_str(), nullptr);
    return pos;
}

// Checks the whole text; returns "" when well-formed, else what is wrong.
std::string check_payload(const std::string &p, double *humidity, double *temperature)
{
    static const std::string head = "{\"Humidity\": ";
    static const std::string middle = ", \"Temperature\": ";
    if (p.compare(0, head.size(), head) != 0)
        return "bad head";
    size_t pos = parse_two_decimals(p, head.size(), humidity);
    if (pos == std::string::npos || p.compare(pos, middle.size(), middle) != 0)
        return "bad humidity";
    pos = parse_two_decimals(p, pos + middle.size(), temperature);
    if (pos == std::string::npos || p.substr(pos) != "}")
        return "bad temperature or tail";
    return "";
}

TEST(Payload, ExactText)
{
    EXPECT_EQ(payload_of(44.99998f, -5.249977f), "{\"Humidity\": 45.00, \"Temperature\": -5.25}");
    EXPECT_EQ(payload_of_raw(0x73333, 0x3947B), "{\"Humidity\": 45.00, \"Temperature\": -5.25}");
    EXPECT_EQ(payload_of_raw(0, 0), "{\"Humidity\": 0.00, \"Temperature\": -50.00}");
}

TEST(Payload, LongestTextFitsWithRoomToSpare)
{
    const std::string longest = payload_of_raw(0xFFFFF, 0xFFFFF);
    EXPECT_EQ(longest, "{\"Humidity\": 100.00, \"Temperature\": 150.00}");
    EXPECT_EQ(longest.size(), 43u);
}

TEST(Payload, NegativeTemperatureRoundingToZeroKeepsItsSign)
{
    EXPECT_EQ(payload_of_raw(0, 0x3FFFF), "{\"Humidity\": 0.00, \"Temperature\": -0.00}");
    EXPECT_EQ(payload_of_raw(0, 0x40000), "{\"Humidity\": 0.00, \"Temperature\": 0.00}");
}

// Every raw value of both channels gives well-formed JSON with two decimals,
// in range, rounded from the converted reading, and never decreasing as the
// raw value grows.
TEST(Payload, EveryRawValueGivesWellFormedJsonInRange)
{
    double last_humidity = -1;
    double last_temperature = -100;
    for (uint32_t raw = 0; raw < (1u << 20); ++raw) {
        // Both channels at once, and at a fixed offset so they differ.
        const uint32_t raw_t = (raw + 0x5A5A5) & 0xFFFFF;
        const std::string p = payload_of_raw(raw, raw_t);
        double humidity = 0;
        double temperature = 0;
        const std::string fault = check_payload(p, &humidity, &temperature);
        ASSERT_EQ(fault, "") << p;
        ASSERT_LE(p.size(), 43u) << p;

        const double exact_h = raw / 1048576.0 * 100.0;
        const double exact_t = raw_t / 1048576.0 * 200.0 - 50.0;
        ASSERT_GE(humidity, 0.0) << p;
        ASSERT_LE(humidity, 100.0) << p;
        ASSERT_GE(temperature, -50.0) << p;
        ASSERT_LE(temperature, 150.0) << p;
        ASSERT_LE(std::fabs(humidity - exact_h), 0.005 + 1e-4) << p;
        ASSERT_LE(std::fabs(temperature - exact_t), 0.005 + 1e-4) << p;

        ASSERT_GE(humidity, last_humidity) << p;
        last_humidity = humidity;
        if (raw_t != 0) {
            ASSERT_GE(temperature, last_temperature) << p;
        }
        last_temperature = temperature;
    }
}

} // namespace
