/* mraa-probe: runs a list of MRAA calls given on the command line, in order,
 * and prints one line per call on standard output. Used by the simulator's
 * tests to reach the simulated board through the real MRAA library.
 *
 *   i2c BUS            mraa_i2c_init                 -> "i2c ok" / "i2c null"
 *   address ADDR       mraa_i2c_address              -> "address RC"
 *   write BYTE         mraa_i2c_write_byte           -> "write RC"
 *   read REG N         mraa_i2c_read_bytes_data      -> "read N: B0 B1 .." / "read -1"
 *   i2c-stop           mraa_i2c_stop                 -> "i2c-stop RC"
 *   uart INDEX         mraa_uart_init                -> "uart ok" / "uart null"
 *   baud RATE          mraa_uart_set_baudrate        -> "baud RC"
 *   mode BITS P STOP   mraa_uart_set_mode (P: N E O) -> "mode RC"
 *   flow XONXOFF RTSCTS  mraa_uart_set_flowcontrol   -> "flow RC"
 *   uart-stop          mraa_uart_stop                -> "uart-stop RC"
 *   sleep N            sleep(N)                      -> "sleep N: left L after S.SS s"
 *   usleep US          usleep(US)                    -> "usleep US"
 *   on-sigint STATUS   a SIGINT handler that prints "sigint" and exits STATUS
 *   catch-sigint       a SIGINT handler that prints "sigint" and returns
 *   pause              wait for a signal
 *   raise SIGNAL       raise(SIGNAL) with the default action
 *   exit STATUS        exit(STATUS)
 *
 * Numbers accept C notation (0x38). Every line is flushed at once. */
#define _GNU_SOURCE

#include <mraa/i2c.h>
#include <mraa/uart.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t sigint_status;

static void on_sigint(int signum)
{
    static const char text[] = "sigint\n";
    (void)signum;
    if (write(STDOUT_FILENO, text, sizeof text - 1) < 0)
        _exit(99);
    _exit(sigint_status);
}

static void note_sigint(int signum)
{
    static const char text[] = "sigint\n";
    (void)signum;
    if (write(STDOUT_FILENO, text, sizeof text - 1) < 0)
        _exit(99);
}

static long number(const char *text)
{
    char *end;
    long v = strtol(text, &end, 0);
    if (*text == '\0' || *end != '\0') {
        fprintf(stderr, "mraa-probe: not a number: %s\n", text);
        exit(2);
    }
    return v;
}

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static mraa_uart_parity_t parity(const char *p)
{
    switch (p[0]) {
    case 'E':
        return MRAA_UART_PARITY_EVEN;
    case 'O':
        return MRAA_UART_PARITY_ODD;
    default:
        return MRAA_UART_PARITY_NONE;
    }
}

int main(int argc, char **argv)
{
    mraa_i2c_context i2c = NULL;
    mraa_uart_context uart = NULL;
    int i = 1;

    setvbuf(stdout, NULL, _IOLBF, 0);
    while (i < argc) {
        const char *op = argv[i++];
        int need = 0;
        if (!strcmp(op, "i2c") || !strcmp(op, "address") || !strcmp(op, "write") ||
            !strcmp(op, "uart") || !strcmp(op, "baud") || !strcmp(op, "sleep") ||
            !strcmp(op, "usleep") || !strcmp(op, "on-sigint") || !strcmp(op, "raise") ||
            !strcmp(op, "exit"))
            need = 1;
        else if (!strcmp(op, "read") || !strcmp(op, "flow"))
            need = 2;
        else if (!strcmp(op, "mode"))
            need = 3;
        if (argc - i < need) {
            fprintf(stderr, "mraa-probe: %s needs %d argument(s)\n", op, need);
            return 2;
        }

        if (!strcmp(op, "i2c")) {
            i2c = mraa_i2c_init((int)number(argv[i]));
            printf("i2c %s\n", i2c ? "ok" : "null");
        } else if (!strcmp(op, "address")) {
            printf("address %d\n", (int)mraa_i2c_address(i2c, (uint8_t)number(argv[i])));
        } else if (!strcmp(op, "write")) {
            printf("write %d\n", (int)mraa_i2c_write_byte(i2c, (uint8_t)number(argv[i])));
        } else if (!strcmp(op, "read")) {
            uint8_t buf[64];
            long n = number(argv[i + 1]);
            int got, k;
            if (n < 0 || n > (long)sizeof buf) {
                fprintf(stderr, "mraa-probe: read length 0..%zu\n", sizeof buf);
                return 2;
            }
            memset(buf, 0xEE, sizeof buf);
            got = mraa_i2c_read_bytes_data(i2c, (uint8_t)number(argv[i]), buf, (int)n);
            if (got < 0) {
                printf("read %d\n", got);
            } else {
                printf("read %d:", got);
                for (k = 0; k < got; k++)
                    printf(" %02x", buf[k]);
                printf("\n");
            }
        } else if (!strcmp(op, "i2c-stop")) {
            printf("i2c-stop %d\n", (int)mraa_i2c_stop(i2c));
            i2c = NULL;
        } else if (!strcmp(op, "uart")) {
            uart = mraa_uart_init((int)number(argv[i]));
            printf("uart %s\n", uart ? "ok" : "null");
        } else if (!strcmp(op, "baud")) {
            printf("baud %d\n", (int)mraa_uart_set_baudrate(uart, (unsigned)number(argv[i])));
        } else if (!strcmp(op, "mode")) {
            printf("mode %d\n",
                   (int)mraa_uart_set_mode(uart, (int)number(argv[i]), parity(argv[i + 1]),
                                           (int)number(argv[i + 2])));
        } else if (!strcmp(op, "flow")) {
            printf("flow %d\n", (int)mraa_uart_set_flowcontrol(uart, number(argv[i]) != 0,
                                                               number(argv[i + 1]) != 0));
        } else if (!strcmp(op, "uart-stop")) {
            printf("uart-stop %d\n", (int)mraa_uart_stop(uart));
            uart = NULL;
        } else if (!strcmp(op, "sleep")) {
            unsigned n = (unsigned)number(argv[i]);
            double start = now();
            unsigned left = sleep(n);
            printf("sleep %u: left %u after %.2f s\n", n, left, now() - start);
        } else if (!strcmp(op, "usleep")) {
            unsigned us = (unsigned)number(argv[i]);
            usleep(us);
            printf("usleep %u\n", us);
        } else if (!strcmp(op, "on-sigint")) {
            sigint_status = (sig_atomic_t)number(argv[i]);
            signal(SIGINT, on_sigint);
        } else if (!strcmp(op, "catch-sigint")) {
            signal(SIGINT, note_sigint);
        } else if (!strcmp(op, "pause")) {
            printf("pausing\n");
            pause();
        } else if (!strcmp(op, "raise")) {
            int sig = (int)number(argv[i]);
            signal(sig, SIG_DFL);
            raise(sig);
        } else if (!strcmp(op, "exit")) {
            return (int)number(argv[i]);
        } else {
            fprintf(stderr, "mraa-probe: unknown operation %s\n", op);
            return 2;
        }
        i += need;
    }
    return 0;
}
