/* The simulated board as the interposed libc calls see it.
 *
 * aht10.c models the sensor on the simulated bus; interpose.c turns the
 * Linux I2C device interface (open, ioctl, close on /dev/i2c-N) into calls of
 * these functions and writes the bus transcript. Every function here is
 * called with the board lock held. */
#ifndef BOARDSIM_H
#define BOARDSIM_H

#include <stddef.h>
#include <stdint.h>

#define AHT10_ADDRESS 0x38
#define AHT10_FRAME_LEN 6

/* Settings taken from the environment once, before the first transfer. */
struct sim_config {
    const char *script_path; /* NULL: drifting indoor climate */
    int no_device;           /* nothing answers at AHT10_ADDRESS */
    uint32_t seed;           /* seed of the drifting climate */
};

/* Called by the device to report a problem with its script: one line of text
 * without line end, written to the transcript as a "# " comment. */
typedef void (*sim_diag_fn)(const char *text);

void aht10_configure(const struct sim_config *config, sim_diag_fn diag);

/* One write transfer to 7-bit address addr: len bytes (len may be 0 for an
 * address-only transfer). Returns 0 when the device acknowledged, otherwise
 * the errno value the I2C adapter reports (ENXIO, EREMOTEIO). */
int aht10_write(unsigned addr, const uint8_t *data, size_t len);

/* One read transfer of len bytes into data. Same result convention. */
int aht10_read(unsigned addr, uint8_t *data, size_t len);

/* Conversion used for value entries and the drifting climate: relative
 * humidity in percent and temperature in degrees Celsius to a measurement
 * frame (status 0x1c, raw values rounded to nearest, clamped to 20 bits). */
void aht10_encode(double humidity, double temperature, uint8_t frame[AHT10_FRAME_LEN]);

/* Reads a whole file with the real libc calls into a malloc'd, zero-terminated
 * buffer. Returns NULL (errno set) on failure. */
char *sim_read_file(const char *path, size_t *len);

#endif
