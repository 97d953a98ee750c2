#!/usr/bin/python3
"""MQTT over TLS: the agent sends its token only to a broker whose certificate
chains to its CA file and names its host, over TLS 1.2 or later, and the token
never crosses the network in clear. TokenOnTheWire runs in the plain build as
well, where it shows the token in clear: the control of the recording."""

import os
import socket
import ssl
import threading
import time
import unittest
import warnings

from broker import TOKEN, make_server_certificate
from harness import (ACK_SETTLE_S, AGENT_HOST, AGENT_PORT, FRAME_A, HOST, NOTICE, PAYLOAD_A, PEER,
                     TLS, AgentTestCase, published, reason, trusted_ca_dir)

TLS_HANDSHAKE_RECORD = 0x16
# The agent under test reaches its broker by address: its certificate must
# hold that address.
IP_HOST = AGENT_HOST.replace(".", "").isdigit()


class TlsServer:
    """A TLS server of the test's making on the agent's port: it records the outcome
    of each handshake (None: it succeeded, else the error) and closes the connection."""

    def __init__(self, context):
        self.context = context
        self.handshakes = []
        self.sock = socket.create_server((HOST, AGENT_PORT))
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            conn.settimeout(10)
            try:
                self.context.wrap_socket(conn, server_side=True).close()
                self.handshakes.append(None)
            except (ssl.SSLError, OSError) as e:
                self.handshakes.append(str(e))
            conn.close()

    def stop(self):
        self.sock.shutdown(socket.SHUT_RDWR)
        self.sock.close()
        self.thread.join(5)


class RefusedCertificate(AgentTestCase):
    """The broker's certificate fails a check: exit 255 with the connect failure
    line, and the token never reached the broker."""

    def assertRefusedByTheAgent(self, agent, why):
        self.assertGaveUp(agent, reason(f"TLS: the certificate of the broker at {PEER} is "
                                        f"refused: {why}"))
        # mosquitto logs the user name of every client it accepts a CONNECT from.
        self.assertIn("Opening ipv4 listen socket on port %d." % AGENT_PORT, self.broker.log())
        self.assertNotIn(TOKEN, self.broker.log())
        self.assertEqual(self.observer.messages(), [])

    def test_certificate_from_an_untrusted_authority(self):
        self.start_broker(trusted_ca=False)
        self.assertRefusedByTheAgent(self.start_agent(script=[FRAME_A]),
                                     "unable to get local issuer certificate")

    def test_expired_certificate(self):
        self.start_broker(tls_expired=True)
        self.assertRefusedByTheAgent(self.start_agent(script=[FRAME_A]), "certificate has expired")

    def test_certificate_for_another_host_name(self):
        self.start_broker(tls_name="broker.invalid")
        self.assertRefusedByTheAgent(self.start_agent(script=[FRAME_A]),
                                     "IP address mismatch" if IP_HOST else "hostname mismatch")


class ProtocolVersionAndKey(AgentTestCase):
    """Against a TLS server of the test's making (no MQTT behind it: the agent
    then gives up), whose certificate passes the checks: which handshakes the
    agent completes."""

    def start_tls_server(self, variant=None, version=None):
        certs = os.path.join(self.dir, "server")
        make_server_certificate(certs, trusted_ca_dir(), HOST, variant)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.set_ciphers("DEFAULT@SECLEVEL=0")  # what the agent must refuse, allowed here
        if version:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # TLS 1.1
                context.minimum_version = context.maximum_version = version
        context.load_cert_chain(os.path.join(certs, "server.crt"), os.path.join(certs, "server.key"))
        server = TlsServer(context)
        self.addCleanup(server.stop)
        return server

    def handshakes(self, server, why):
        self.assertGaveUp(self.start_agent(script=[FRAME_A]), reason(why))
        self.assertTrue(server.handshakes, "the agent never tried")
        return server.handshakes

    def test_tls_1_2_is_enough(self):
        server = self.start_tls_server(version=ssl.TLSVersion.TLSv1_2)
        # No MQTT behind it: a session that does not come up after the handshake.
        self.assertEqual(set(self.handshakes(
            server, f"{PEER} accepts connections, but no MQTT session came up")), {None})

    def test_server_of_tls_1_1_only_is_refused(self):
        server = self.start_tls_server(version=ssl.TLSVersion.TLSv1_1)
        self.assertNotIn(None, self.handshakes(
            server, f"TLS: the handshake with {PEER} failed: sslv3 alert handshake failure"))

    def test_key_below_security_level_2_is_refused(self):
        server = self.start_tls_server(variant="weak-key")
        self.assertNotIn(None, self.handshakes(
            server, f"TLS: the certificate of the broker at {PEER} is refused: "
            "EE certificate key too weak"))


class TokenOnTheWire(AgentTestCase):
    proxy = True
    record_wire = True

    def test_token_crosses_the_network_in_clear_only_without_tls(self):
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A])
        messages, _ = self.wait_for_messages(1, 10)
        time.sleep(ACK_SETTLE_S)
        agent.interrupt_and_wait(self)
        self.assertTelemetry(messages, [PAYLOAD_A])
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + NOTICE)

        upstream, downstream = self.fault_proxy.recorded()
        if TLS:
            self.assertEqual(upstream[0], TLS_HANDSHAKE_RECORD)
            for seen in (upstream, downstream):
                self.assertNotIn(TOKEN.encode(), seen)
                self.assertNotIn(PAYLOAD_A, seen)
        else:
            self.assertIn(TOKEN.encode(), upstream)
            self.assertIn(PAYLOAD_A, upstream)


if __name__ == "__main__":
    unittest.main()
