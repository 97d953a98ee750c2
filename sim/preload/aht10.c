/* The simulated AHT10 humidity and temperature sensor.
 *
 * The device answers at 7-bit address 0x38. Every write is acknowledged; a
 * write whose first byte is 0xAC (trigger measurement) starts the conversion
 * of the next measurement, which is ready after the conversion time (75 ms by
 * the datasheet). A read returns the status byte and the last completed
 * measurement: before the conversion is done, the status has its busy bit set
 * and the data are those of the measurement before (zero before the first).
 * The measurements come from a script (one entry per trigger) or, without
 * one, from a slowly drifting indoor climate. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "aht10.h"

#include <errno.h>
#include <locale.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define AHT10_CMD_MEASURE 0xAC
#define AHT10_STATUS_IDLE 0x1C /* calibrated, not busy */
#define AHT10_STATUS_BUSY 0x80
#define RAW_MAX 0xFFFFFu /* 20-bit readings */
#define NS_PER_MS 1000000ull

enum entry_kind { ENTRY_FRAME, ENTRY_NACK, ENTRY_ABSENT };
/* Which transfers of a measurement a fault fails: all of them, the trigger
 * alone (the reads after it succeed, with the measurement before), or the
 * reads alone (the trigger is acknowledged, and converts nothing). */
enum fault_scope { FAULT_ALL, FAULT_TRIGGER, FAULT_READ };

struct entry {
    enum entry_kind kind;
    enum fault_scope scope;
    uint8_t frame[AHT10_FRAME_LEN];
};

static struct {
    struct aht10_config config;
    aht10_diag_fn diag;
    int script_loaded;
    struct entry *entries;
    size_t count;
    size_t next;
    enum entry_kind state;               /* what the last trigger produced */
    enum fault_scope scope;              /* and which transfers it fails */
    uint8_t completed[AHT10_FRAME_LEN];  /* the last finished measurement */
    uint8_t converting[AHT10_FRAME_LEN]; /* the measurement in progress */
    int busy;                            /* a conversion is in progress */
    uint64_t ready_ns;                   /* when it is done (CLOCK_MONOTONIC) */
    double humidity;                     /* drifting climate */
    double temperature;
    uint32_t random;
} dev;

static void diag(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

static void diag(const char *fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (dev.diag)
        dev.diag(text);
}

void aht10_configure(const struct aht10_config *config, aht10_diag_fn diag_fn)
{
    dev.config = *config;
    dev.diag = diag_fn;
    /* Before the first measurement the data registers read as zero. */
    dev.state = ENTRY_FRAME;
    dev.scope = FAULT_ALL;
    memset(dev.completed, 0, sizeof dev.completed);
    dev.completed[0] = AHT10_STATUS_IDLE;
    dev.busy = 0;
    dev.humidity = 45.0;
    dev.temperature = 22.0;
    dev.random = config->seed ^ 0x9E3779B9u;
    if (dev.random == 0)
        dev.random = 1;
}

static uint32_t to_raw(double fraction)
{
    double scaled = fraction * 1048576.0 + 0.5;
    if (!(scaled >= 0.0)) /* also catches NaN */
        return 0;
    if (scaled >= (double)RAW_MAX)
        return RAW_MAX;
    return (uint32_t)scaled;
}

void aht10_encode(double humidity, double temperature, uint8_t frame[AHT10_FRAME_LEN])
{
    uint32_t h = to_raw(humidity / 100.0);
    uint32_t t = to_raw((temperature + 50.0) / 200.0);
    frame[0] = AHT10_STATUS_IDLE;
    frame[1] = (uint8_t)(h >> 12);
    frame[2] = (uint8_t)(h >> 4);
    frame[3] = (uint8_t)(((h & 0x0Fu) << 4) | (t >> 16));
    frame[4] = (uint8_t)(t >> 8);
    frame[5] = (uint8_t)t;
}

/* ---- script ---- */

static int parse_hex_byte(const char *tok, uint8_t *out)
{
    unsigned value = 0;
    size_t i, n;
    if (tok[0] == '0' && (tok[1] == 'x' || tok[1] == 'X') && tok[2] != '\0')
        tok += 2;
    n = strlen(tok);
    if (n < 1 || n > 2)
        return -1;
    for (i = 0; i < n; i++) {
        char c = tok[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = (unsigned)(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = (unsigned)(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = (unsigned)(c - 'A' + 10);
        else
            return -1;
        value = value * 16 + digit;
    }
    *out = (uint8_t)value;
    return 0;
}

static int is_digit(char c)
{
    return c >= '0' && c <= '9';
}

/* Plain decimal numbers only: [+-]digits[.digits][e[+-]digits]. */
static int parse_decimal(const char *tok, double *out)
{
    static locale_t c_locale;
    const char *p = tok;
    int digits = 0;
    if (*p == '+' || *p == '-')
        p++;
    while (is_digit(*p))
        p++, digits++;
    if (*p == '.') {
        p++;
        while (is_digit(*p))
            p++, digits++;
    }
    if (digits == 0)
        return -1;
    if (*p == 'e' || *p == 'E') {
        p++;
        if (*p == '+' || *p == '-')
            p++;
        if (!is_digit(*p))
            return -1;
        while (is_digit(*p))
            p++;
    }
    if (*p != '\0')
        return -1;
    if (!c_locale)
        c_locale = newlocale(LC_NUMERIC_MASK, "C", (locale_t)0);
    *out = c_locale ? strtod_l(tok, NULL, c_locale) : strtod(tok, NULL);
    return 0;
}

/* Returns 1 with *e filled, 0 for a blank line, -1 with *why set. */
static int parse_line(char *line, struct entry *e, const char **why)
{
    char *tok[8];
    size_t n = 0;
    char *hash = strchr(line, '#');
    char *save = NULL, *t;
    if (hash)
        *hash = '\0';
    for (t = strtok_r(line, " \t\r\v\f", &save); t; t = strtok_r(NULL, " \t\r\v\f", &save)) {
        if (n == sizeof tok / sizeof tok[0]) {
            *why = "too many fields";
            return -1;
        }
        tok[n++] = t;
    }
    if (n == 0)
        return 0;
    if (strcmp(tok[0], "nack") == 0 || strcmp(tok[0], "absent") == 0) {
        e->scope = FAULT_ALL;
        if (n == 2 && strcmp(tok[1], "trigger") == 0)
            e->scope = FAULT_TRIGGER;
        else if (n == 2 && strcmp(tok[1], "read") == 0)
            e->scope = FAULT_READ;
        else if (n != 1) {
            *why = "nack and absent take trigger, read or nothing";
            return -1;
        }
        e->kind = tok[0][0] == 'n' ? ENTRY_NACK : ENTRY_ABSENT;
        return 1;
    }
    if (strcmp(tok[0], "frame") == 0) {
        size_t i;
        if (n != 1 + AHT10_FRAME_LEN) {
            *why = "a frame has six bytes";
            return -1;
        }
        for (i = 0; i < AHT10_FRAME_LEN; i++) {
            if (parse_hex_byte(tok[1 + i], &e->frame[i]) != 0) {
                *why = "frame bytes are hexadecimal, 00 to ff";
                return -1;
            }
        }
        e->kind = ENTRY_FRAME;
        e->scope = FAULT_ALL;
        return 1;
    }
    if (n == 2) {
        double humidity, temperature;
        if (parse_decimal(tok[0], &humidity) != 0 || parse_decimal(tok[1], &temperature) != 0) {
            *why = "expected: HUMIDITY TEMPERATURE, frame B0..B5, nack or absent";
            return -1;
        }
        if (humidity < 0.0 || humidity > 100.0 || temperature < -50.0 || temperature > 150.0) {
            *why = "out of range (humidity 0..100, temperature -50..150)";
            return -1;
        }
        e->kind = ENTRY_FRAME;
        e->scope = FAULT_ALL;
        aht10_encode(humidity, temperature, e->frame);
        return 1;
    }
    *why = "expected: HUMIDITY TEMPERATURE, frame B0..B5, nack or absent";
    return -1;
}

/* The whole file as a zero-terminated malloc'd text, or NULL (errno set). */
static char *read_text(const char *path)
{
    FILE *f = fopen(path, "re");
    size_t used = 0, capacity = 4096;
    char *text = malloc(capacity);
    int err;

    if (!f || !text) {
        err = f ? ENOMEM : errno;
        if (f)
            fclose(f);
        free(text);
        errno = err;
        return NULL;
    }
    for (;;) {
        size_t n;
        if (capacity - used < 2) {
            char *grown = realloc(text, capacity * 2);
            if (!grown)
                break;
            text = grown;
            capacity *= 2;
        }
        n = fread(text + used, 1, capacity - used - 1, f);
        if (n == 0)
            break;
        used += n;
    }
    err = ferror(f) ? EIO : 0;
    fclose(f);
    text[used] = '\0';
    if (err) {
        free(text);
        errno = err;
        return NULL;
    }
    return text;
}

static void load_script(void)
{
    size_t capacity = 0, lineno = 0;
    char *text, *line, *save = NULL;
    dev.script_loaded = 1;
    if (!dev.config.script_path)
        return;
    text = read_text(dev.config.script_path);
    if (!text) {
        diag("script %s unreadable (%s): drifting climate instead", dev.config.script_path,
             strerror(errno));
        return;
    }
    /* strtok_r would merge empty lines and spoil the line numbers. */
    for (line = text; line; line = save) {
        struct entry e;
        const char *why = NULL;
        int r;
        save = strchr(line, '\n');
        if (save)
            *save++ = '\0';
        lineno++;
        r = parse_line(line, &e, &why);
        if (r < 0) {
            diag("script line %zu ignored: %s", lineno, why);
            continue;
        }
        if (r == 0)
            continue;
        if (dev.count == capacity) {
            size_t grown = capacity ? capacity * 2 : 64;
            struct entry *p = realloc(dev.entries, grown * sizeof *p);
            if (!p) {
                diag("script truncated at line %zu: out of memory", lineno);
                break;
            }
            dev.entries = p;
            capacity = grown;
        }
        dev.entries[dev.count++] = e;
    }
    free(text);
}

/* ---- drifting climate ---- */

static double uniform(void)
{
    uint32_t x = dev.random;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    dev.random = x;
    return (double)(x >> 8) / 16777216.0;
}

/* Mean-reverting random walk around 45 %RH and 22 degC: plain arithmetic
 * only, so every platform produces the same sequence for a seed. */
static void climate_step(uint8_t frame[AHT10_FRAME_LEN])
{
    dev.humidity += 0.05 * (45.0 - dev.humidity) + (uniform() - 0.5) * 1.0;
    dev.temperature += 0.05 * (22.0 - dev.temperature) + (uniform() - 0.5) * 0.3;
    aht10_encode(dev.humidity, dev.temperature, frame);
}

/* ---- the bus side ---- */

static uint64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

/* A finished conversion becomes the measurement the registers hold. */
static void settle(void)
{
    if (dev.busy && now_ns() >= dev.ready_ns) {
        memcpy(dev.completed, dev.converting, sizeof dev.completed);
        dev.busy = 0;
    }
}

static void trigger(void)
{
    struct entry e;

    if (!dev.script_loaded)
        load_script();
    if (dev.count == 0) {
        e.kind = ENTRY_FRAME;
        e.scope = FAULT_ALL;
        climate_step(e.frame);
    } else {
        /* Past the end of the script the last entry repeats. */
        e = dev.entries[dev.next < dev.count ? dev.next++ : dev.count - 1];
    }
    settle();
    dev.state = e.kind;
    dev.scope = e.scope;
    if (e.kind != ENTRY_FRAME)
        return; /* a failing device converts nothing */
    /* A new trigger abandons a conversion still in progress. */
    memcpy(dev.converting, e.frame, sizeof dev.converting);
    dev.busy = 1;
    dev.ready_ns = now_ns() + (uint64_t)dev.config.conversion_ms * NS_PER_MS;
    settle();
}

/* The fault of a transfer after the last trigger (or of the trigger). */
static int current_fault(int is_trigger)
{
    int err = dev.state == ENTRY_NACK ? EREMOTEIO : dev.state == ENTRY_ABSENT ? ENXIO : 0;
    if (dev.scope == FAULT_TRIGGER && !is_trigger)
        return 0;
    if (dev.scope == FAULT_READ && is_trigger)
        return 0;
    return err;
}

int aht10_write(unsigned addr, const uint8_t *data, size_t len)
{
    if (dev.config.no_device || addr != AHT10_ADDRESS)
        return ENXIO;
    /* A trigger always takes the next entry, even while the device is
     * failing: that is how a scripted fault ends. */
    if (len > 0 && data[0] == AHT10_CMD_MEASURE) {
        trigger();
        return current_fault(1);
    }
    return current_fault(0);
}

int aht10_read(unsigned addr, uint8_t *data, size_t len, int *busy)
{
    size_t i;
    int fault;

    *busy = 0;
    if (dev.config.no_device || addr != AHT10_ADDRESS)
        return ENXIO;
    fault = current_fault(0);
    if (fault)
        return fault;
    settle();
    for (i = 0; i < len; i++)
        data[i] = i < AHT10_FRAME_LEN ? dev.completed[i] : 0xFF;
    if (dev.busy && len > 0) {
        data[0] |= AHT10_STATUS_BUSY;
        *busy = 1;
    }
    return 0;
}
