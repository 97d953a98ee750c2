/* A broker that sends a device what it never asked for, for the tests of the
 * agent's memory bounds. It accepts one device at a time (a new connection
 * replaces the old), answers CONNECT, QoS 1 PUBLISH and PINGREQ as a broker
 * would, prints "publish PAYLOAD" for each PUBLISH it is sent, and floods:
 *   hostile-broker HOST PORT qos2 RATE [unacked]
 *                                         QoS 2 PUBLISHes of 1000 bytes, RATE a
 *                                         second, ids 1..65535, never a PUBREL;
 *                                         unacked: the device's publications go
 *                                         unacknowledged while it floods
 *   hostile-broker HOST PORT big MIB N    N PUBLISHes (QoS 0) of MIB MiB each, in
 *                                         all; N 0: without end
 * The flood starts on SIGUSR1 (again from the start: N more) and stops on
 * SIGUSR2; it goes to a device once its CONNACK is sent, between the broker's
 * own packets. Ends on SIGTERM or SIGINT. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define QOS2_PAYLOAD_BYTES 1000
#define CHUNK_BYTES 65536
#define IN_MAX_BYTES 4096

static const char FLOOD_TOPIC[] = "flood";

enum mode { QOS2, BIG };

static enum mode mode;
static double qos2_rate;
static int unacked; /* no PUBACK while flooding */
static size_t big_bytes;
static unsigned long big_count;

static int device = -1;
static unsigned char in[IN_MAX_BYTES];
static size_t in_len;
static unsigned char out[CHUNK_BYTES]; /* whole packets of the broker's own, or flood */
static size_t out_len, out_sent;
static size_t big_left;    /* bytes of the current large packet still to send */
static size_t big_at;      /* where in out they go: after its header */
static unsigned long bigs; /* large packets begun on this connection */
static unsigned short next_id;
static double flood_due;
static int flooding; /* the device is connected */
static volatile sig_atomic_t armed, armed_seen;

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static size_t put_length(unsigned char *p, size_t length)
{
    size_t n = 0;
    do {
        unsigned char digit = length & 0x7F;
        length >>= 7;
        p[n++] = digit | (length ? 0x80 : 0);
    } while (length);
    return n;
}

static void put(const unsigned char *data, size_t n)
{
    if (out_len + n <= sizeof out) {
        memcpy(out + out_len, data, n);
        out_len += n;
    }
}

static void drop_device(void)
{
    if (device >= 0)
        close(device);
    device = -1;
    in_len = out_len = out_sent = big_left = big_at = 0;
    flooding = 0;
}

/* One whole packet from the device: answer it as a broker would. */
static void handle(const unsigned char *p, size_t header, size_t length)
{
    const unsigned char *body = p + header;
    switch (p[0] >> 4) {
    case 1: { /* CONNECT */
        static const unsigned char connack[] = {0x20, 2, 0, 0};
        put(connack, sizeof connack);
        flooding = 1;
        flood_due = now();
        break;
    }
    case 3: { /* PUBLISH */
        size_t topic = length >= 2 ? (size_t)(body[0] << 8 | body[1]) : 0;
        size_t at = 2 + topic;
        if (at > length)
            break;
        if ((p[0] & 0x06) == 0x02 && at + 2 <= length) {
            unsigned char puback[] = {0x40, 2, body[at], body[at + 1]};
            if (!(unacked && armed))
                put(puback, sizeof puback);
            at += 2;
        }
        printf("publish %.*s\n", (int)(length - at), (const char *)body + at);
        break;
    }
    case 12: { /* PINGREQ */
        static const unsigned char pingresp[] = {0xD0, 0};
        put(pingresp, sizeof pingresp);
        break;
    }
    case 14: /* DISCONNECT */
        drop_device();
        break;
    default: /* PUBREC of the flood, ... */
        break;
    }
}

static void read_device(void)
{
    ssize_t n = recv(device, in + in_len, sizeof in - in_len, 0);
    if (n <= 0) {
        drop_device();
        return;
    }
    in_len += (size_t)n;
    for (;;) {
        size_t length = 0, i = 1;
        int shift = 0, whole = 0;
        while (i < in_len && i < 5) {
            length |= (size_t)(in[i] & 0x7F) << shift;
            shift += 7;
            if (!(in[i++] & 0x80)) {
                whole = 1;
                break;
            }
        }
        if (!whole || in_len < i + length) {
            if (in_len == sizeof in)
                drop_device(); /* no device sends that much */
            return;
        }
        handle(in, i, length);
        if (device < 0)
            return;
        memmove(in, in + i + length, in_len - i - length);
        in_len -= i + length;
    }
}

/* The start of a PUBLISH on the flood's topic (first byte: type and QoS),
 * followed by rest bytes (packet id, payload); returns its size. */
static size_t publish_header(unsigned char *p, unsigned char first, size_t rest)
{
    size_t n = 0;
    p[n++] = first;
    n += put_length(p + n, 2 + sizeof FLOOD_TOPIC - 1 + rest);
    p[n++] = 0;
    p[n++] = sizeof FLOOD_TOPIC - 1;
    memcpy(p + n, FLOOD_TOPIC, sizeof FLOOD_TOPIC - 1);
    return n + sizeof FLOOD_TOPIC - 1;
}

/* More of the flood into the output, between whole packets. */
static void add_flood(void)
{
    if (armed != armed_seen) {
        armed_seen = armed;
        bigs = 0;
        flood_due = now();
    }
    if (!flooding || !armed || out_len || big_left)
        return;
    if (mode == QOS2) {
        double t = now();
        while (flood_due <= t && out_len + 16 + QOS2_PAYLOAD_BYTES <= sizeof out) {
            unsigned char packet[16 + QOS2_PAYLOAD_BYTES];
            size_t n = publish_header(packet, 0x34, 2 + QOS2_PAYLOAD_BYTES);
            if (++next_id == 0)
                next_id = 1;
            packet[n++] = (unsigned char)(next_id >> 8);
            packet[n++] = (unsigned char)next_id;
            memset(packet + n, 'q', QOS2_PAYLOAD_BYTES);
            put(packet, n + QOS2_PAYLOAD_BYTES);
            flood_due += 1.0 / qos2_rate;
        }
    } else if (mode == BIG && (big_count == 0 || bigs < big_count)) {
        unsigned char head[16];
        put(head, publish_header(head, 0x30, big_bytes));
        big_at = out_len;
        big_left = big_bytes;
        bigs++;
    }
}

static void write_device(void)
{
    static const unsigned char filler[CHUNK_BYTES] = {0};
    size_t end = big_left ? big_at : out_len;
    ssize_t n;
    if (out_sent < end) {
        n = send(device, out + out_sent, end - out_sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    } else if (big_left) {
        n = send(device, filler, big_left < sizeof filler ? big_left : sizeof filler,
                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            big_left -= (size_t)n;
        n = n > 0 ? 0 : n;
    } else {
        return;
    }
    if (n < 0 && errno != EAGAIN) {
        drop_device();
        return;
    }
    if (n > 0)
        out_sent += (size_t)n;
    if (out_sent == out_len && !big_left)
        out_len = out_sent = 0;
}

static volatile sig_atomic_t stopping;
static void stop(int sig)
{
    (void)sig;
    stopping = 1;
}
static void arm(int sig)
{
    armed = sig == SIGUSR1 ? armed_seen + 2 : 0;
}

int main(int argc, char **argv)
{
    struct sockaddr_in addr = {.sin_family = AF_INET};
    int listener, one = 1;

    if (argc >= 5 && argc <= 6 && !strcmp(argv[3], "qos2") &&
        (argc == 5 || !strcmp(argv[5], "unacked"))) {
        mode = QOS2;
        qos2_rate = atof(argv[4]);
        unacked = argc == 6;
    } else if (argc == 6 && !strcmp(argv[3], "big")) {
        mode = BIG;
        big_bytes = (size_t)strtoul(argv[4], NULL, 10) << 20;
        big_count = strtoul(argv[5], NULL, 10);
    } else {
        fprintf(stderr, "usage: hostile-broker HOST PORT qos2 RATE [unacked] | big MIB COUNT\n");
        return 2;
    }
    if (mode == QOS2 && qos2_rate <= 0) {
        fprintf(stderr, "hostile-broker: RATE must be positive\n");
        return 2;
    }
    if (inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1) {
        fprintf(stderr, "hostile-broker: HOST must be an IPv4 address\n");
        return 2;
    }
    addr.sin_port = htons((unsigned short)atoi(argv[2]));
    setvbuf(stdout, NULL, _IOLBF, 0);
    signal(SIGTERM, stop);
    signal(SIGINT, stop);
    signal(SIGUSR1, arm);
    signal(SIGUSR2, arm);

    listener = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener, (struct sockaddr *)&addr, sizeof addr) || listen(listener, 4)) {
        perror("hostile-broker: listen");
        return 1;
    }
    fprintf(stderr, "hostile-broker: listening on %s:%s\n", argv[1], argv[2]);
    while (!stopping) {
        struct pollfd fds[2] = {{listener, POLLIN, 0}, {device, POLLIN, 0}};
        add_flood();
        if (device >= 0 && (out_len || big_left))
            fds[1].events |= POLLOUT;
        if (poll(fds, device >= 0 ? 2 : 1, mode == QOS2 ? 10 : 200) < 0)
            continue;
        if (fds[0].revents & POLLIN) {
            int fd = accept(listener, NULL, NULL);
            if (fd >= 0) {
                drop_device();
                device = fd;
                printf("connect\n");
                continue;
            }
        }
        if (device >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            read_device();
        if (device >= 0 && (fds[1].revents & POLLOUT))
            write_device();
    }
    drop_device();
    close(listener);
    return 0;
}
