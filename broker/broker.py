"""The local device endpoint for end-to-end tests.

Broker starts and stops mosquitto through broker/run-broker.sh (the one implementation),
with a TLS listener when given tls_port; make_ca makes a certificate authority for a run.
Observer is a minimal MQTT 5 subscriber that records every message the broker delivers as
(topic, payload bytes, qos, retain), with the QoS and retain flag as published.
"""

import collections
import os
import socket
import struct
import subprocess
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
RUN_BROKER = os.path.join(HERE, "run-broker.sh")
TLS_CERTS = os.path.join(HERE, "tls-certs.sh")

HOST = os.environ.get("E2E_HOST", "127.0.0.1")  # ctest sets it per build
DEFAULT_PORT = 1884
DEFAULT_OBSERVER_PORT = 1885
TOKEN = "Tz8LwQ3nVb6RkY1mHc5J"
TELEMETRY_TOPIC = "v1/devices/me/telemetry"

Message = collections.namedtuple("Message", "topic payload qos retain")


def env_ports():
    """(port, observer_port) from E2E_BROKER_PORT / E2E_OBSERVER_PORT, else the defaults."""
    return (
        int(os.environ.get("E2E_BROKER_PORT", DEFAULT_PORT)),
        int(os.environ.get("E2E_OBSERVER_PORT", DEFAULT_OBSERVER_PORT)),
    )


class BrokerError(Exception):
    pass


def make_ca(directory):
    """A new certificate authority: directory/ca.crt and ca.key."""
    subprocess.run([TLS_CERTS, "ca", directory], check=True, timeout=20)


def make_server_certificate(directory, ca_dir, name, variant=None):
    """directory/server.crt and server.key for name, signed by ca_dir's CA;
    variant "expired" or "weak-key" (see broker/tls-certs.sh)."""
    subprocess.run([TLS_CERTS, "server", directory, ca_dir, name] + ([variant] if variant else []),
                   check=True, timeout=20)


class Broker:
    """mosquitto with config, log and pid in state_dir. plugin=None: run-broker.sh's default.
    ipv6_loopback: the device port listens on ::1 as well.
    tokens: a token registry file, in place of the one token.
    tls_port: also MQTT over TLS there, with a server certificate signed by the CA in
    tls_ca (None: a new one, tls_ca_file() then names it), for tls_name (None: the host),
    expired with tls_expired."""

    def __init__(self, state_dir, port=DEFAULT_PORT, observer_port=DEFAULT_OBSERVER_PORT,
                 plugin=None, token=TOKEN, host=HOST, tokens=None, tls_port=None, tls_ca=None,
                 tls_name=None, tls_expired=False, ipv6_loopback=False):
        self.state_dir = state_dir
        self.ipv6_loopback = ipv6_loopback
        self.host = host
        self.token = token
        self.tokens = tokens
        self.port = port
        self.observer_port = observer_port
        self.plugin = plugin
        self.tls_port = tls_port
        self.tls_ca = tls_ca
        self.tls_name = tls_name
        self.tls_expired = tls_expired

    def start(self):
        options = ["--host", self.host, "--port", str(self.port), "--observer-port", str(self.observer_port)]
        options += ["--tokens", self.tokens] if self.tokens else ["--token", self.token]
        if self.plugin:
            options += ["--plugin", self.plugin]
        if self.ipv6_loopback:
            options.append("--ipv6-loopback")
        if self.tls_port:
            options += ["--tls-port", str(self.tls_port)]
            if self.tls_ca:
                options += ["--tls-ca", self.tls_ca]
            if self.tls_name:
                options += ["--tls-name", self.tls_name]
            if self.tls_expired:
                options.append("--tls-expired")
        self._run("start", *options)
        return self

    def tls_ca_file(self):
        """The CA certificate a client must trust to reach the TLS listener."""
        return os.path.join(self.tls_ca or os.path.join(self.state_dir, "tls", "ca"), "ca.crt")

    def tls_server_files(self):
        """(certificate, key) of the TLS listener."""
        return tuple(os.path.join(self.state_dir, "tls", n) for n in ("server.crt", "server.key"))

    def stop(self):
        self._run("stop")

    def _run(self, command, *options):
        done = subprocess.run([RUN_BROKER, command, self.state_dir, *options],
                              capture_output=True, text=True, timeout=20)
        if done.returncode != 0:
            raise BrokerError(done.stderr.strip() or f"run-broker.sh exited {done.returncode}")

    def log(self):
        """The broker's log so far (useful in assertion messages)."""
        with open(os.path.join(self.state_dir, "mosquitto.log"), errors="replace") as f:
            return f.read()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class MqttError(Exception):
    """A refusal by the broker; code is the MQTT 5 reason code (e.g. 0x87 not authorised)."""

    def __init__(self, what, code):
        super().__init__(f"{what} refused: reason code 0x{code:02x}")
        self.code = code


def _string(text):
    data = text.encode() if isinstance(text, str) else text
    return struct.pack("!H", len(data)) + data


def _varint(n):
    out = bytearray()
    while True:
        n, digit = n >> 7, n & 0x7F
        out.append(digit | (0x80 if n else 0))
        if not n:
            return bytes(out)


def _packet(first_byte, body):
    return bytes([first_byte]) + _varint(len(body)) + body


def _read_varint(data, pos):
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, pos


class Observer:
    """Subscribes to topic (QoS 2, retain as published, no stale retained messages) and
    records what arrives. username/password: to try other listeners' rules."""

    SUB_OPTIONS = 0x02 | 0x08 | 0x20  # max QoS 2, retain as published, retain handling 2

    def __init__(self, port=DEFAULT_OBSERVER_PORT, topic="#", username=None, password=None,
                 timeout=5.0, host=HOST):
        self.host = host
        self.port = port
        self.topic = topic
        self.username = username
        self.password = password
        self.timeout = timeout
        self._sock = None
        self._thread = None
        self._messages = []
        self._cond = threading.Condition()

    def start(self):
        """Returns once the subscription is granted; raises MqttError on a refusal."""
        self._sock = socket.create_connection((self.host, self.port), timeout=self.timeout)
        try:
            self._connect()
            self._subscribe()
        except BaseException:
            self._sock.close()
            raise
        self._sock.settimeout(None)
        self._thread = threading.Thread(target=self._reader, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._sock is None:
            return
        try:
            self._sock.sendall(b"\xe0\x00")  # DISCONNECT
            self._sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        if self._thread:
            self._thread.join(self.timeout)
        self._sock.close()
        self._sock = None

    def messages(self):
        with self._cond:
            return list(self._messages)

    def wait_for(self, count, timeout=5.0):
        """Waits until count messages have arrived (or timeout); returns all received."""
        with self._cond:
            self._cond.wait_for(lambda: len(self._messages) >= count, timeout)
            return list(self._messages)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _connect(self):
        flags, payload = 0x02, _string(f"observer-{os.getpid()}-{id(self):x}")
        if self.username is not None:
            flags, payload = flags | 0x80, payload + _string(self.username)
        if self.password is not None:
            flags, payload = flags | 0x40, payload + _string(self.password)
        # protocol "MQTT" v5, keep-alive 0 (none), no properties
        self._sock.sendall(_packet(0x10, _string("MQTT") + bytes([5, flags, 0, 0, 0]) + payload))
        kind, body = self._read_packet()
        if kind != 0x20 or len(body) < 2:
            raise MqttError("connect", 0xFF)
        if body[1] != 0:
            raise MqttError("connect", body[1])

    def _subscribe(self):
        body = b"\x00\x01\x00" + _string(self.topic) + bytes([self.SUB_OPTIONS])
        self._sock.sendall(_packet(0x82, body))
        kind, body = self._read_packet()
        if kind != 0x90:
            raise MqttError("subscribe", 0xFF)
        props_len, pos = _read_varint(body, 2)
        code = body[pos + props_len]
        if code > 2:
            raise MqttError("subscribe", code)

    def _recv_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self._sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("broker closed the connection")
            data += chunk
        return data

    def _read_packet(self):
        first = self._recv_exact(1)[0]
        length = shift = 0
        while True:
            byte = self._recv_exact(1)[0]
            length |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                break
        return first, self._recv_exact(length)

    def _reader(self):
        try:
            while True:
                first, body = self._read_packet()
                if first >> 4 == 3:
                    self._on_publish(first, body)
                elif first >> 4 == 6:  # PUBREL -> PUBCOMP
                    self._sock.sendall(b"\x70\x02" + body[:2])
        except (OSError, ConnectionError, IndexError):
            pass

    def _on_publish(self, first, body):
        qos, retain = (first >> 1) & 3, bool(first & 1)
        topic_len = struct.unpack("!H", body[:2])[0]
        topic, pos = body[2:2 + topic_len].decode(), 2 + topic_len
        packet_id = body[pos:pos + 2] if qos else b""
        pos += len(packet_id)
        props_len, pos = _read_varint(body, pos)
        with self._cond:
            self._messages.append(Message(topic, body[pos + props_len:], qos, retain))
            self._cond.notify_all()
        if qos == 1:
            self._sock.sendall(b"\x40\x02" + packet_id)  # PUBACK
        elif qos == 2:
            self._sock.sendall(b"\x50\x02" + packet_id)  # PUBREC

