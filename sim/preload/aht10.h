/* The simulated AHT10 humidity and temperature sensor, as the bus sees it.
 *
 * A device model only: it knows nothing of how its transfers reach it.
 * interpose.c turns the Linux I2C device interface (open, ioctl, close on
 * /dev/i2c-N) into calls of these functions and writes the bus transcript.
 * The functions are not thread-safe: the caller serialises them. */
#ifndef AHT10_H
#define AHT10_H

#include <stddef.h>
#include <stdint.h>

#define AHT10_ADDRESS 0x38
#define AHT10_FRAME_LEN 6
/* The datasheet's time from the trigger command to a ready measurement. */
#define AHT10_CONVERSION_MS_DEFAULT 75u

struct aht10_config {
    const char *script_path; /* NULL: drifting indoor climate */
    int no_device;           /* nothing answers at AHT10_ADDRESS */
    uint32_t seed;           /* seed of the drifting climate */
    unsigned conversion_ms;  /* trigger to ready measurement; 0: at once */
};

/* Called by the device to report a problem with its script: one line of text
 * without line end. */
typedef void (*aht10_diag_fn)(const char *text);

void aht10_configure(const struct aht10_config *config, aht10_diag_fn diag);

/* One write transfer to 7-bit address addr: len bytes (len may be 0 for an
 * address-only transfer). Returns 0 when the device acknowledged, otherwise
 * the errno value the I2C adapter reports (ENXIO, EREMOTEIO). */
int aht10_write(unsigned addr, const uint8_t *data, size_t len);

/* One read transfer of len bytes into data. Same result convention. *busy is
 * set to 1 when the read came before the conversion it asked for was done:
 * data then holds the status with the busy bit and the previous measurement. */
int aht10_read(unsigned addr, uint8_t *data, size_t len, int *busy);

/* Conversion used for value entries and the drifting climate: relative
 * humidity in percent and temperature in degrees Celsius to a measurement
 * frame (status 0x1c, raw values rounded to nearest, clamped to 20 bits). */
void aht10_encode(double humidity, double temperature, uint8_t frame[AHT10_FRAME_LEN]);

#endif
