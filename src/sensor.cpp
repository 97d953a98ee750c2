#include "sensor.hpp"

#include <unistd.h>

mraa_i2c_context i2c = nullptr;

void setup_sensor()
{
    i2c = mraa_i2c_init(SENSOR_I2C_BUS);
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

bool read_sensor_values(float *temperature, float *humidity)
{
    uint8_t frame[SENSOR_FRAME_BYTES] = {};

    mraa_i2c_write_byte(i2c, SENSOR_CMD_MEASURE);
    usleep(SENSOR_MEASURE_WAIT_US);
    if (mraa_i2c_read_bytes_data(i2c, SENSOR_DATA_REGISTER, frame, SENSOR_FRAME_BYTES) !=
        SENSOR_FRAME_BYTES)
        return false;

    convert_frame(frame, temperature, humidity);
    return true;
}
