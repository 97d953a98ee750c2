#include "sensor.hpp"

#include <mraa/common.h>
#include <mraa/i2c.h>
#include <unistd.h>

namespace
{

// The bus: opened by setup_sensor, released by close_sensor.
mraa_i2c_context i2c = nullptr;
// Why the bus did not open, found out at the set-up.
Reason closed_bus = {};

// Why the bus did not open, found out once at start-up. MRAA knows no
// Cortex-A5 board by itself: only a platform file gives it bus 0.
void explain_closed_bus()
{
    if (mraa_get_i2c_bus_count() <= 0)
        set_reason(&closed_bus,
                   "I2C bus %d is not open: MRAA (platform \"%s\") knows no I2C bus; it needs "
                   "the board's platform file, named by MRAA_JSON_PLATFORM",
                   SENSOR_I2C_BUS, mraa_get_platform_name() ? mraa_get_platform_name() : "none");
    else
        set_reason(&closed_bus,
                   "I2C bus %d is not open: /dev/i2c-%d did not open (does it exist, may the "
                   "agent's user open it?)",
                   SENSOR_I2C_BUS, mraa_get_i2c_bus_id(SENSOR_I2C_BUS));
}

// Why a measurement on the open bus failed: the trigger's result, and how
// many bytes the read gave (negative: none, the transfer failed).
void explain_failed_measurement(bool triggered, int got, Reason *why)
{
    if (got < 0)
        set_reason(why,
                   "no answer from the sensor at 0x%02x on I2C bus %d (check its wiring and power)",
                   SENSOR_I2C_ADDRESS, SENSOR_I2C_BUS);
    else if (got != SENSOR_FRAME_BYTES)
        set_reason(why, "short read: the sensor at 0x%02x gave %d of its %d bytes",
                   SENSOR_I2C_ADDRESS, got, SENSOR_FRAME_BYTES);
    else if (!triggered)
        set_reason(why, "the sensor at 0x%02x did not take the measurement command",
                   SENSOR_I2C_ADDRESS);
}

} // namespace

void setup_sensor()
{
    i2c = mraa_i2c_init(SENSOR_I2C_BUS);
    if (!i2c)
        explain_closed_bus();
    mraa_i2c_frequency(i2c, MRAA_I2C_STD);
    mraa_i2c_address(i2c, SENSOR_I2C_ADDRESS);
    mraa_i2c_write_byte(i2c, SENSOR_CMD_INIT);
}

void convert_frame(const uint8_t frame[SENSOR_FRAME_BYTES], float *temperature, float *humidity)
{
    const uint32_t raw_humidity =
        (uint32_t{frame[1]} << 12) | (uint32_t{frame[2]} << 4) | (uint32_t{frame[3]} >> 4);
    const uint32_t raw_temperature =
        ((uint32_t{frame[3]} & 0x0F) << 16) | (uint32_t{frame[4]} << 8) | uint32_t{frame[5]};

    // Both raw values are below 2^24, so the conversion to float is exact.
    *humidity = static_cast<float>(static_cast<double>(static_cast<float>(raw_humidity)) /
                                   SENSOR_RAW_FULL_SCALE * SENSOR_HUMIDITY_SPAN_PCT);
    *temperature = static_cast<float>(static_cast<double>(static_cast<float>(raw_temperature)) /
                                          SENSOR_RAW_FULL_SCALE * SENSOR_TEMP_SPAN_C -
                                      SENSOR_TEMP_OFFSET_C);
}

bool read_sensor_values(float *temperature, float *humidity, Reason *why)
{
    uint8_t frame[SENSOR_FRAME_BYTES] = {};

    // A trigger the sensor did not take leaves the frame of the measurement
    // before: that reading is not this cycle's.
    const bool triggered = mraa_i2c_write_byte(i2c, SENSOR_CMD_MEASURE) == MRAA_SUCCESS;
    usleep(SENSOR_MEASURE_WAIT_US);
    const int got = mraa_i2c_read_bytes_data(i2c, SENSOR_DATA_REGISTER, frame, SENSOR_FRAME_BYTES);
    if (!triggered || got != SENSOR_FRAME_BYTES) {
        if (i2c)
            explain_failed_measurement(triggered, got, why);
        else
            *why = closed_bus;
        return false;
    }

    convert_frame(frame, temperature, humidity);
    return true;
}

void close_sensor()
{
    mraa_i2c_stop(i2c);
    i2c = nullptr;
}
