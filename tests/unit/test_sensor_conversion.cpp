// Frame conversion of the humidity and temperature sensor.
#include <gtest/gtest.h>

#include "sensor.hpp"

namespace
{

struct Reading {
    float temperature;
    float humidity;
};

Reading convert(std::initializer_list<uint8_t> bytes)
{
    uint8_t frame[SENSOR_FRAME_BYTES] = {};
    std::copy(bytes.begin(), bytes.end(), frame);
    Reading r{};
    convert_frame(frame, &r.temperature, &r.humidity);
    return r;
}

// The decimals given for these frames are rounded to seven digits: compare
// within a few units in the last place, except where the value is exact.
TEST(FrameConversion, KnownFrames)
{
    Reading r = convert({0x1C, 0x73, 0x33, 0x33, 0x94, 0x7B});
    EXPECT_FLOAT_EQ(r.humidity, 44.99998f);
    EXPECT_FLOAT_EQ(r.temperature, -5.249977f);

    r = convert({0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(r.humidity, 0.0f);
    EXPECT_EQ(r.temperature, -50.0f);

    r = convert({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_FLOAT_EQ(r.humidity, 99.99991f);
    EXPECT_FLOAT_EQ(r.temperature, 149.99982f);

    r = convert({0x18, 0x80, 0x00, 0x06, 0x66, 0x66});
    EXPECT_EQ(r.humidity, 50.0f);
    EXPECT_FLOAT_EQ(r.temperature, 29.99992f);
}

TEST(FrameConversion, StatusByteIsIgnored)
{
    const Reading reference = convert({0x00, 0x73, 0x33, 0x33, 0x94, 0x7B});
    for (int status = 1; status <= 0xFF; ++status) {
        const Reading r = convert({static_cast<uint8_t>(status), 0x73, 0x33, 0x33, 0x94, 0x7B});
        ASSERT_EQ(r.humidity, reference.humidity) << "status " << status;
        ASSERT_EQ(r.temperature, reference.temperature) << "status " << status;
    }
}

TEST(FrameConversion, MiddleByteIsSplitBetweenChannels)
{
    // High nibble of byte 3 is the humidity's lowest nibble, low nibble the
    // temperature's highest.
    const Reading low = convert({0x00, 0x00, 0x00, 0x0F, 0x00, 0x00});
    EXPECT_EQ(low.humidity, 0.0f);
    EXPECT_EQ(low.temperature, static_cast<float>(0xF0000 / 1048576.0 * 200.0 - 50.0));

    const Reading high = convert({0x00, 0x00, 0x00, 0xF0, 0x00, 0x00});
    EXPECT_EQ(high.humidity, static_cast<float>(15 / 1048576.0 * 100.0));
    EXPECT_EQ(high.temperature, -50.0f);

    const Reading a = convert({0x1C, 0x73, 0x33, 0x12, 0x94, 0x7B});
    const Reading b = convert({0x1C, 0x73, 0x33, 0x21, 0x94, 0x7B});
    EXPECT_NE(a.humidity, b.humidity);
    EXPECT_NE(a.temperature, b.temperature);
}

TEST(SensorRead, NoBusGivesNoReading)
{
    // Without a board (and without setup_sensor) no bus is open: the read
    // must fail and must not hand back a reading.
    float temperature = 12.5f;
    float humidity = 33.25f;
    Reason why = {};
    EXPECT_FALSE(read_sensor_values(&temperature, &humidity, &why));
    EXPECT_EQ(temperature, 12.5f);
    EXPECT_EQ(humidity, 33.25f);
}

} // namespace
