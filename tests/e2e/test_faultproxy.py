#!/usr/bin/python3
"""The fault-injecting proxy, in front of a small echo server."""

import socket
import threading
import time
import unittest

from faultproxy import HOST, FaultProxy, publish_packet

QUIET_S = 0.3  # how long "nothing arrives" is watched


class EchoServer:
    """Echoes every byte back; counts connections accepted and ended by the peer."""

    def __init__(self):
        self.sock = socket.create_server((HOST, 0))
        self.port = self.sock.getsockname()[1]
        self.accepted = 0
        self.ended = 0
        self.conns = []
        self.lock = threading.Lock()
        threading.Thread(target=self._accept_loop, daemon=True).start()

    def _accept_loop(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with self.lock:
                self.accepted += 1
                self.conns.append(conn)
            threading.Thread(target=self._echo, args=(conn,), daemon=True).start()

    def _echo(self, conn):
        try:
            while data := conn.recv(65536):
                conn.sendall(data)
        except OSError:
            pass
        with self.lock:
            self.ended += 1

    def close(self):
        for sock in [self.sock] + self.conns:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()


def wait_until(predicate, timeout=2.0):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()


class FaultProxyTest(unittest.TestCase):
    def setUp(self):
        self.server = EchoServer()
        self.addCleanup(self.server.close)
        self.proxy = FaultProxy(0, self.server.port).start()
        self.addCleanup(self.proxy.stop)

    def connect(self):
        client = socket.create_connection((HOST, self.proxy.port), timeout=2)
        self.addCleanup(client.close)
        return client

    def round_trip(self, client, data=b"ping"):
        """Seconds until data came back through the proxy."""
        start = time.monotonic()
        client.sendall(data)
        got = b""
        while len(got) < len(data):
            got += client.recv(len(data) - len(got))
        self.assertEqual(got, data)
        return time.monotonic() - start

    def assert_quiet(self, client):
        client.settimeout(QUIET_S)
        with self.assertRaises(socket.timeout):
            client.recv(100)
        client.settimeout(2)


class PassAndDelayTest(FaultProxyTest):
    def test_passes_bytes_both_ways(self):
        client = self.connect()
        self.round_trip(client, bytes(range(256)) * 1000)
        self.assertEqual(self.server.accepted, 1)

    def test_delay_holds_downstream_bytes_for_the_set_time(self):
        client = self.connect()
        self.assertLess(self.round_trip(client), 0.1)
        self.proxy.delay_downstream(0.4)
        elapsed = self.round_trip(client)
        self.assertGreaterEqual(elapsed, 0.4)
        self.assertLess(elapsed, 0.6)


class DropAndFreezeTest(FaultProxyTest):
    def test_drop_swallows_downstream_and_keeps_the_connection(self):
        client = self.connect()
        self.proxy.drop_downstream()
        client.sendall(b"lost")
        self.assert_quiet(client)
        self.assertEqual(self.proxy.dropped_bytes, 4)
        self.proxy.pass_through()
        self.round_trip(client, b"next")

    def test_freeze_holds_traffic_and_new_connections_until_thaw(self):
        client = self.connect()
        self.round_trip(client)
        self.proxy.freeze()
        client.sendall(b"held")
        late = self.connect()  # the kernel completes the handshake; nobody accepts it
        self.assert_quiet(client)
        self.assertEqual((self.proxy.accepted, self.server.accepted), (1, 1))
        self.proxy.thaw()
        self.assertEqual(client.recv(4), b"held")
        self.round_trip(late)
        self.assertEqual(self.server.accepted, 2)


class CloseTest(FaultProxyTest):
    def test_close_all_ends_both_sides(self):
        client = self.connect()
        self.round_trip(client)
        self.proxy.close_all()
        self.assertEqual(client.recv(1), b"")
        self.assertTrue(wait_until(lambda: self.server.ended == 1))
        self.assertEqual(self.proxy.open_connections(), 0)

    def test_refuse_new_resets_new_connections_only(self):
        old = self.connect()
        self.assertTrue(self.proxy.wait_for_accepted(1))
        self.proxy.refuse_new()
        with self.assertRaises(ConnectionResetError):  # from connect or from the first read
            new = self.connect()
            new.sendall(b"x")
            new.recv(1)
        self.round_trip(old)
        self.assertEqual(self.server.accepted, 1)

    def test_black_hole_accepts_and_never_answers(self):
        self.proxy.black_hole()
        client = self.connect()
        client.sendall(b"\x10\x0c" + b"\x00" * 12)  # looks like an MQTT CONNECT
        self.assert_quiet(client)
        self.assertEqual((self.proxy.accepted, self.server.accepted), (1, 0))

    def test_stop_closes_connections_and_listener_promptly(self):
        client = self.connect()
        self.round_trip(client)
        start = time.monotonic()
        self.proxy.stop()
        self.assertLess(time.monotonic() - start, 1.0)
        self.assertEqual(client.recv(1), b"")
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection((HOST, self.proxy.port), timeout=1).close()


    def test_flood_goes_between_whole_packets(self):
        # The echo server stands in for a broker: what the client sends comes
        # back as its packets, which the flood must never split.
        client = self.connect()
        self.assertLess(self.round_trip(client), 1.0)
        flood = publish_packet("flood", b"x" * 100)
        own = [publish_packet("own", bytes([i]) * 300) for i in range(20)]
        self.proxy.flood_downstream(flood, 500)
        for packet in own:  # in pieces, as TCP may deliver them
            client.sendall(packet[:7])
            time.sleep(0.005)
            client.sendall(packet[7:])
        stream = b""
        while stream.count(own[-1]) == 0:
            stream += client.recv(65536)
        self.proxy.flood_downstream(b"", 0)
        self.assertTrue(wait_until(lambda: self.proxy.flooded > 5))
        rest = stream
        while rest:
            packet = next((p for p in own + [flood] if rest.startswith(p)), None)
            self.assertIsNotNone(packet, rest[:16])
            rest = rest[len(packet):]
        self.assertEqual([p for p in own if p in stream], own)
        self.assertGreater(stream.count(flood), 0)


if __name__ == "__main__":
    unittest.main()
