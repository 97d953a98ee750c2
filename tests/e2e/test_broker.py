#!/usr/bin/python3
"""The local device endpoint: who may connect, what reaches the observer, start-up checks.

Ports: E2E_BROKER_PORT / E2E_OBSERVER_PORT, else broker.py's defaults.
Plugin: BROKER_PLUGIN, else build/broker/token_auth.so.
"""

import os
import socket
import subprocess
import tempfile
import unittest

from broker import (HOST, TELEMETRY_TOPIC, TOKEN, Broker, BrokerError, Message, MqttError,
                    Observer, env_ports, make_ca)

PORT, OBSERVER_PORT = env_ports()
NOT_DELIVERED_WAIT_S = 0.5

_state = None
_broker = None


def setUpModule():
    global _state, _broker
    _state = tempfile.TemporaryDirectory(prefix="e2e-broker-")
    _broker = Broker(_state.name, PORT, OBSERVER_PORT).start()


def tearDownModule():
    _broker.stop()
    _state.cleanup()


def mosquitto_pub(*args, port=PORT, topic=TELEMETRY_TOPIC):
    cmd = ["mosquitto_pub", "-h", HOST, "-p", str(port), "-t", topic, "-q", "1", *args]
    return subprocess.run(cmd, capture_output=True, timeout=10)


def free_ports(count):
    socks = [socket.socket() for _ in range(count)]
    for s in socks:
        s.bind((HOST, 0))
    ports = [s.getsockname()[1] for s in socks]
    for s in socks:
        s.close()
    return ports


class ObserverTestCase(unittest.TestCase):
    def setUp(self):
        self.observer = Observer(OBSERVER_PORT).start()
        self.addCleanup(self.observer.stop)

    def assert_refused(self, done):
        self.assertNotEqual(done.returncode, 0)
        self.assertIn(b"not authorised", done.stderr)
        self.assertEqual(self.observer.wait_for(1, NOT_DELIVERED_WAIT_S), [])


class AuthTest(ObserverTestCase):
    def test_token_without_password_is_accepted(self):
        done = mosquitto_pub("-u", TOKEN, "-m", "{}")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(len(self.observer.wait_for(1)), 1)

    def test_wrong_token_is_refused(self):
        self.assert_refused(mosquitto_pub("-u", TOKEN[:-1] + "X", "-m", "{}"))

    def test_token_prefix_is_refused(self):
        self.assert_refused(mosquitto_pub("-u", TOKEN[:-1], "-m", "{}"))

    def test_no_user_name_is_refused(self):
        self.assert_refused(mosquitto_pub("-m", "{}"))

    def test_token_with_password_is_refused(self):
        self.assert_refused(mosquitto_pub("-u", TOKEN, "-P", "secret", "-m", "{}"))


class TopicTest(ObserverTestCase):
    def test_telemetry_reaches_observer_byte_for_byte_at_qos_1(self):
        payload = b'{"temperature":21.5,"humidity":40.25}'
        self.assertEqual(mosquitto_pub("-u", TOKEN, "-m", payload).returncode, 0)
        self.assertEqual(self.observer.wait_for(1),
                         [Message(TELEMETRY_TOPIC, payload, 1, False)])

    def test_readings_with_their_times_are_accepted_and_described_in_the_log(self):
        # The platform's forms: a reading it stamps on arrival, one with its
        # own ts (ms), an array of such; the log says which, for the views.
        payloads = [b'{"Humidity": 45.00, "Temperature": -5.25}',
                    b'{"ts": 1451649600512, "values": {"Humidity": 45.00, "Temperature": -5.25}}',
                    b'[{"ts": 1451649600512, "values": {"Humidity": 45.00, "Temperature": -5.25}}, '
                    b'{"ts": 1451649607512, "values": {"Humidity": 45.10, "Temperature": -5.20}}]']
        for payload in payloads:
            self.assertEqual(mosquitto_pub("-u", TOKEN, "-i", "formsTest", "-m", payload).returncode, 0)
        self.assertEqual(self.observer.wait_for(3),
                         [Message(TELEMETRY_TOPIC, p, 1, False) for p in payloads])
        log = _broker.log()
        for said in ("formsTest published a reading without ts (stamped on arrival)",
                     "formsTest published 1 timestamped reading measured 2016-01-01T12:00:00.512Z "
                     "to 2016-01-01T12:00:00.512Z",
                     "formsTest published 2 timestamped readings (an array) measured "
                     "2016-01-01T12:00:00.512Z to 2016-01-01T12:00:07.512Z"):
            self.assertIn("token_auth: " + said + "\n", log)

    def test_binary_payload_and_qos_0_are_reported_as_published(self):
        payload = bytes(range(256))
        with tempfile.NamedTemporaryFile() as f:
            f.write(payload)
            f.flush()
            self.assertEqual(mosquitto_pub("-u", TOKEN, "-f", f.name, "-q", "0").returncode, 0)
        self.assertEqual(self.observer.wait_for(1),
                         [Message(TELEMETRY_TOPIC, payload, 0, False)])

    def test_retained_flag_is_reported_as_published(self):
        self.assertEqual(mosquitto_pub("-u", TOKEN, "-m", "r", "-r").returncode, 0)
        self.assertEqual(self.observer.wait_for(1), [Message(TELEMETRY_TOPIC, b"r", 1, True)])

    def test_other_topic_is_not_delivered(self):
        mosquitto_pub("-u", TOKEN, "-m", "elsewhere", topic="v1/devices/me/attributes")
        mosquitto_pub("-u", TOKEN, "-m", "after")
        # The broker handles one connection after the other: once "after" is in, the
        # earlier publication has been decided.
        self.observer.wait_for(1)
        self.assertEqual(self.observer.wait_for(2, NOT_DELIVERED_WAIT_S),
                         [Message(TELEMETRY_TOPIC, b"after", 1, False)])

    def test_token_may_not_subscribe(self):
        with self.assertRaises(MqttError) as caught:
            Observer(PORT, TELEMETRY_TOPIC, username=TOKEN).start()
        self.assertEqual(caught.exception.code, 0x87)  # not authorised


class ObserverListenerTest(ObserverTestCase):
    def test_observer_may_not_publish(self):
        self.assertEqual(mosquitto_pub("-m", "from observer", port=OBSERVER_PORT).returncode, 0)
        mosquitto_pub("-u", TOKEN, "-m", "after")
        self.observer.wait_for(1)
        self.assertEqual(self.observer.wait_for(2, NOT_DELIVERED_WAIT_S),
                         [Message(TELEMETRY_TOPIC, b"after", 1, False)])


def openssl(*args):
    return subprocess.run(["openssl", *args], capture_output=True, text=True, timeout=10)


class TlsListenerTest(unittest.TestCase):
    """The TLS listener: the device rules over TLS, with a certificate for the run."""

    def start(self, **tls):
        state = tempfile.TemporaryDirectory(prefix="e2e-broker-")
        self.addCleanup(state.cleanup)
        os.chmod(state.name, 0o755)  # mosquitto reads the certificate as its own user
        self.port, observer_port, self.tls_port = free_ports(3)
        broker = Broker(os.path.join(state.name, "broker"), self.port, observer_port,
                        tls_port=self.tls_port, **tls).start()
        self.addCleanup(broker.stop)
        self.observer = Observer(observer_port).start()
        self.addCleanup(self.observer.stop)
        return broker

    def publish(self, broker, *args):
        return mosquitto_pub("--cafile", broker.tls_ca_file(), *args, port=self.tls_port)

    def test_token_over_tls_reaches_the_observer(self):
        broker = self.start()
        done = self.publish(broker, "-u", TOKEN, "-m", "over tls")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.observer.wait_for(1), [Message(TELEMETRY_TOPIC, b"over tls", 1, False)])
        done = self.publish(broker, "-u", TOKEN[:-1], "-m", "{}")
        self.assertIn(b"not authorised", done.stderr)

    def test_certificate_signed_by_the_given_ca_for_the_given_name_or_expired(self):
        ca = tempfile.TemporaryDirectory(prefix="e2e-ca-")
        self.addCleanup(ca.cleanup)
        make_ca(ca.name)
        broker = self.start(tls_ca=ca.name)
        self.assertEqual(self.publish(broker, "-u", TOKEN, "-m", "{}").returncode, 0)
        cert, _ = broker.tls_server_files()
        self.assertEqual(openssl("x509", "-in", cert, "-noout", "-checkip", HOST).returncode, 0)
        broker.stop()

        broker = self.start(tls_ca=ca.name, tls_name="broker.invalid")
        cert, _ = broker.tls_server_files()
        self.assertIn("does match", openssl("x509", "-in", cert, "-noout", "-checkhost",
                                            "broker.invalid").stdout)
        self.assertIn("NOT match", openssl("x509", "-in", cert, "-noout", "-checkip", HOST).stdout)
        self.assertEqual(openssl("verify", "-CAfile", broker.tls_ca_file(), cert).returncode, 0)
        broker.stop()

        broker = self.start(tls_ca=ca.name, tls_expired=True)
        cert, _ = broker.tls_server_files()
        self.assertIn("certificate has expired",
                      openssl("verify", "-CAfile", broker.tls_ca_file(), cert).stderr)
        self.assertNotEqual(self.publish(broker, "-u", TOKEN, "-m", "{}").returncode, 0)


class RegistryTest(unittest.TestCase):
    """A broker of its own per test, with a token registry."""

    def start_broker(self, registry_text):
        state = tempfile.TemporaryDirectory(prefix="e2e-broker-")
        self.addCleanup(state.cleanup)
        registry = os.path.join(state.name, "registry")
        with open(registry, "w") as f:
            f.write(registry_text)
        self.port, observer_port = free_ports(2)
        broker = Broker(os.path.join(state.name, "broker"), self.port, observer_port, tokens=registry)
        broker.start()
        self.addCleanup(broker.stop)
        self.observer = Observer(observer_port).start()
        self.addCleanup(self.observer.stop)

    def test_every_registered_token_publishes_and_only_to_telemetry(self):
        tokens = ["Tz8LwQ3nVb6RkY1mHc5J", "a1b2c3d4e5f6a7b8c9d0", "x.y~z+w/v=u-t_s"]
        # Blank lines and CRLF line ends, as a registry edited by hand may have.
        self.start_broker(tokens[0] + "\n\n" + tokens[1] + "\r\n" + tokens[2])
        for token in tokens:
            done = mosquitto_pub("-u", token, "-m", token, port=self.port)
            self.assertEqual(done.returncode, 0, done.stderr)
            mosquitto_pub("-u", token, "-m", "elsewhere", port=self.port, topic="v1/devices/me/attributes")
        mosquitto_pub("-u", tokens[0], "-m", "after", port=self.port)
        self.assertEqual([m.payload for m in self.observer.wait_for(4)],
                         [t.encode() for t in tokens] + [b"after"])
        self.assertEqual(self.observer.wait_for(5, NOT_DELIVERED_WAIT_S)[4:], [])

    def test_unknown_token_is_refused(self):
        self.start_broker("a1b2c3d4e5f6a7b8c9d0\nTz8LwQ3nVb6RkY1mHc5J\n")
        for token in ("a1b2c3d4e5f6a7b8c9d", "Tz8LwQ3nVb6RkY1mHc5Jx", "someone-else"):
            done = mosquitto_pub("-u", token, "-m", "{}", port=self.port)
            self.assertNotEqual(done.returncode, 0)
            self.assertIn(b"not authorised", done.stderr)
        self.assertEqual(self.observer.wait_for(1, NOT_DELIVERED_WAIT_S), [])

    def test_empty_registry_refuses_every_device(self):
        self.start_broker("")
        for args in (["-u", TOKEN], ["-u", ""], []):
            done = mosquitto_pub(*args, "-m", "{}", port=self.port)
            self.assertNotEqual(done.returncode, 0)
        self.assertEqual(self.observer.wait_for(1, NOT_DELIVERED_WAIT_S), [])

    def test_malformed_line_fails_the_start_naming_it(self):
        with self.assertRaisesRegex(BrokerError, r"registry:2: not a device access token"):
            self.start_broker("a1b2c3d4e5f6a7b8c9d0\ntwo words\n")


class RunBrokerTest(unittest.TestCase):
    def setUp(self):
        state = tempfile.TemporaryDirectory(prefix="e2e-broker-")
        self.addCleanup(state.cleanup)
        self.state_dir = state.name

    def test_taken_port_fails_before_starting(self):
        with socket.socket() as squatter:
            squatter.bind((HOST, 0))
            squatter.listen()
            broker = Broker(self.state_dir, squatter.getsockname()[1], *free_ports(1))
            with self.assertRaisesRegex(BrokerError, "already taken"):
                broker.start()
        self.assertFalse(os.path.exists(os.path.join(self.state_dir, "mosquitto.pid")))

    def test_ipv6_loopback_has_the_same_rules(self):
        port, observer_port = free_ports(2)
        with Broker(self.state_dir, port, observer_port, ipv6_loopback=True), \
                Observer(observer_port) as observer:
            def pub6(*args):
                return subprocess.run(["mosquitto_pub", "-h", "::1", "-p", str(port), "-t",
                                       TELEMETRY_TOPIC, "-q", "1", *args],
                                      capture_output=True, timeout=10)
            self.assertIn(b"not authorised", pub6("-u", TOKEN[:-1], "-m", "no").stderr)
            self.assertIn(b"not authorised", pub6("-u", TOKEN, "-P", "x", "-m", "no").stderr)
            self.assertEqual(pub6("-u", TOKEN, "-m", "v6").returncode, 0)
            self.assertEqual(observer.wait_for(1), [Message(TELEMETRY_TOPIC, b"v6", 1, False)])
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("::1", port), timeout=1).close()

    def test_stop_frees_both_ports(self):
        ports = free_ports(2)
        Broker(self.state_dir, *ports).start().stop()
        for port in ports:
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection((HOST, port), timeout=1).close()


if __name__ == "__main__":
    unittest.main()
