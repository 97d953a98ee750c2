// AHT10-type humidity and temperature sensor on the board's I2C bus.
#pragma once

#include <cstddef>
#include <cstdint>

#include "reason.hpp"

// Bus and device
constexpr int SENSOR_I2C_BUS = 0;
constexpr uint8_t SENSOR_I2C_ADDRESS = 0x38;

// One-byte commands
constexpr uint8_t SENSOR_CMD_INIT = 0xE1;
constexpr uint8_t SENSOR_CMD_MEASURE = 0xAC;

// Measurement exchange. The sensor needs about 75 ms after the trigger to
// convert; a read before then gets the busy bit and the previous measurement
// (zeros after power-up). The status byte is not examined: the wait alone
// makes the reading that cycle's own.
constexpr unsigned SENSOR_MEASURE_WAIT_US = 80000;
constexpr uint8_t SENSOR_DATA_REGISTER = 0x00;
constexpr int SENSOR_FRAME_BYTES = 6;

// Conversion of the 20-bit raw readings
constexpr double SENSOR_RAW_FULL_SCALE = 1048576.0; // 2^20
constexpr double SENSOR_HUMIDITY_SPAN_PCT = 100.0;
constexpr double SENSOR_TEMP_SPAN_C = 200.0;
constexpr double SENSOR_TEMP_OFFSET_C = 50.0;

// Opens bus 0, selects standard speed, addresses the sensor and sends the
// initialisation command. Their results are not examined: a bus that did not
// open leaves no handle, and every measurement then fails, with the reason
// found out here.
void setup_sensor();

// Triggers one measurement and converts it. Returns false, leaving both
// readings untouched and saying why in *why, when the sensor did not take the
// trigger or did not deliver a whole frame: a frame read after a refused
// trigger is the measurement before.
bool read_sensor_values(float *temperature, float *humidity, Reason *why);

// Releases the bus.
void close_sensor();

// Converts a measurement frame (status, then 20-bit humidity and 20-bit
// temperature, big-endian, sharing the middle byte) into degrees Celsius and
// percent relative humidity. The status byte is not used.
void convert_frame(const uint8_t frame[SENSOR_FRAME_BYTES], float *temperature, float *humidity);
