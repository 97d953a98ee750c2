#!/usr/bin/python3
"""Fault-injecting TCP proxy: HOST:LISTEN -> HOST:TARGET (HOST 127.0.0.1 unless given).

"Downstream" is target-to-client (broker to agent), "upstream" client-to-target.
Faults, switched at run time from any thread; each call takes effect before it returns.
A fault "for new connections" applies to those the proxy has not accepted yet
(wait_for_accepted(n) tells when it has):
  pass_through()        no fault (the default): ends every fault below
  delay_downstream(s)   hold downstream bytes for s seconds (0: no delay)
  drop_downstream(on)   swallow downstream bytes; connections stay open (a lost PUBACK)
  freeze() / thaw()     forward nothing either way and accept nothing, connections stay
                        open (a broker under SIGSTOP: the kernel still completes handshakes)
  close_all()           close every current connection, both sides
  refuse_new(on)        new connections are accepted and reset at once (RST)
  black_hole(on)        new connections are accepted, read and discarded, never forwarded
  flood_downstream(packet, per_second)
                        send packet (bytes of a whole MQTT packet) to every client
                        per_second times a second, between the broker's own packets, as
                        a broker that publishes to a client which never subscribed
                        (per_second 0: stop)
With record=True it keeps every byte it reads from either side: recorded().

As a script: faultproxy.py LISTEN TARGET, then one command per line on stdin:
pass, delay S, drop, freeze, thaw, close, refuse, blackhole. Stops on SIGINT or SIGTERM.
"""

import collections
import os
import selectors
import signal
import socket
import struct
import sys
import threading
import time

HOST = os.environ.get("E2E_HOST", "127.0.0.1")  # ctest sets it per build
CHUNK = 65536
MAX_QUEUED = 1 << 20  # stop reading one side while this much waits for the other
MAX_SLEEP_S = 0.5
FLOOD_TICK_S = 0.02
CONNECT_TIMEOUT_S = 2.0
STOP_TIMEOUT_S = 5.0


class _Pipe:
    """One direction of a connection: bytes read from src, waiting to be sent to dst."""

    def __init__(self, src, dst):
        self.src, self.dst = src, dst
        self.queue = collections.deque()  # [due time, bytes]
        self.queued = 0
        self.eof = False
        self.blocked = False  # dst's send buffer was full
        self.partial = b""  # flooding: the start of a packet not yet whole


class _Conn:
    def __init__(self, client, target):  # target is None for a black-holed connection
        self.client, self.target = client, target
        self.up = _Pipe(client, target)
        self.down = _Pipe(target, client)
        self.closed = False

    def sockets(self):
        return [s for s in (self.client, self.target) if s is not None]


class FaultProxy:
    def __init__(self, listen_port, target_port, host=HOST, record=False, listener=None):
        """listen_port 0 picks a free port: see .port after start(). listener: a
        listening socket to accept on (one of another network namespace, say)."""
        self.host = host
        self.port = listen_port
        self.target_port = target_port
        self._recording = {"up": bytearray(), "down": bytearray()} if record else None
        self.accepted = 0  # connections accepted so far (all kinds)
        self.dropped_bytes = 0  # downstream bytes swallowed by drop_downstream
        self._lock = threading.Lock()
        self._accepted_cond = threading.Condition(self._lock)
        self._sel = selectors.DefaultSelector()
        self._conns = []
        self._armed = {}  # socket -> event mask registered in the selector
        self._delay = 0.0
        self._drop = self._frozen = self._refuse = self._black_hole = False
        self._flood_packet, self._flood_rate, self._flood_due = b"", 0.0, 0.0
        self.flooded = 0  # packets injected by flood_downstream
        self._stopping = False
        self._listener, self._thread = listener, None
        self._wake_r, self._wake_w = socket.socketpair()

    # -- control ---------------------------------------------------------------------

    def start(self):
        if self._listener is None:
            self._listener = socket.socket()
            self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self._listener.bind((self.host, self.port))
            self._listener.listen(16)
        self._listener.setblocking(False)
        self.port = self._listener.getsockname()[1]
        self._wake_r.setblocking(False)
        self._wake_w.setblocking(False)
        self._sel.register(self._wake_r, selectors.EVENT_READ)
        self._thread = threading.Thread(target=self._run, name="faultproxy", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Closes every connection and the listening socket; joins the thread (bounded)."""
        with self._lock:
            if self._stopping:
                return
            self._stopping = True
        self._wake()
        if self._thread is not None:
            self._thread.join(STOP_TIMEOUT_S)
            if self._thread.is_alive():
                raise RuntimeError("faultproxy thread did not stop")
        with self._lock:
            for conn in list(self._conns):
                self._close(conn)
            if self._listener is not None:
                self._unarm(self._listener)
                self._listener.close()
            self._sel.close()
            self._wake_r.close()
            self._wake_w.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def pass_through(self):
        self._set(_delay=0.0, _drop=False, _frozen=False, _refuse=False, _black_hole=False)

    def delay_downstream(self, seconds):
        self._set(_delay=float(seconds))

    def drop_downstream(self, on=True):
        self._set(_drop=on)

    def freeze(self):
        self._set(_frozen=True)

    def thaw(self):
        self._set(_frozen=False)

    def refuse_new(self, on=True):
        self._set(_refuse=on)

    def black_hole(self, on=True):
        self._set(_black_hole=on)

    def flood_downstream(self, packet, per_second):
        self._set(_flood_packet=bytes(packet), _flood_rate=float(per_second),
                  _flood_due=time.monotonic())

    def close_all(self):
        with self._lock:
            for conn in list(self._conns):
                self._close(conn)

    def wait_for_accepted(self, count, timeout=5.0):
        """True once count connections have been accepted (within timeout)."""
        with self._accepted_cond:
            return self._accepted_cond.wait_for(lambda: self.accepted >= count, timeout)

    def open_connections(self):
        with self._lock:
            return len(self._conns)

    def recorded(self):
        """(upstream, downstream): every byte read so far from clients and from the target,
        of all connections, dropped or black-holed ones included."""
        with self._lock:
            return bytes(self._recording["up"]), bytes(self._recording["down"])

    def _set(self, **faults):
        with self._lock:
            for name, value in faults.items():
                setattr(self, name, value)
        self._wake()

    def _wake(self):
        try:
            self._wake_w.send(b"x")
        except OSError:  # full (a wake-up is pending anyway) or closed (stopped)
            pass

    # -- event loop (the thread) ------------------------------------------------------

    def _run(self):
        while True:
            with self._lock:
                if self._stopping:
                    return
                self._arm_all()
                timeout = self._sleep_time()
            events = self._sel.select(timeout)
            with self._lock:
                if self._stopping:
                    return
                for key, _ in events:
                    self._on_readable_or_writable(key.fileobj, key.data)
                self._flood()
                for conn in list(self._conns):
                    self._flush(conn)

    def _on_readable_or_writable(self, sock, conn):
        if sock is self._wake_r:
            self._drain_wake()
        elif sock is self._listener and not self._frozen:
            self._accept()
        elif conn is not None and not conn.closed:
            for pipe in (conn.up, conn.down):
                if pipe.dst is sock:
                    pipe.blocked = False
            for pipe in (conn.up, conn.down):
                if pipe.src is sock and self._wants_read(pipe):
                    self._read(conn, pipe)

    def _drain_wake(self):
        try:
            while self._wake_r.recv(4096):
                pass
        except BlockingIOError:
            pass

    def _accept(self):
        try:
            client, _ = self._listener.accept()
        except BlockingIOError:
            return
        self.accepted += 1
        self._accepted_cond.notify_all()
        if self._refuse:
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            client.close()
            return
        target = None
        if not self._black_hole:
            try:
                target = socket.create_connection((self.host, self.target_port), CONNECT_TIMEOUT_S)
            except OSError:
                client.close()  # the target is down: so is the proxied service
                return
            target.setblocking(False)
        client.setblocking(False)
        self._conns.append(_Conn(client, target))

    def _read(self, conn, pipe):
        try:
            data = pipe.src.recv(CHUNK)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if data and self._recording is not None:
            self._recording["up" if pipe is conn.up else "down"] += data
        if not data:
            pipe.eof = True
        elif pipe.dst is None:
            pass  # black hole
        elif pipe is conn.down and self._drop:
            self.dropped_bytes += len(data)
        elif pipe is conn.down and (self._flood_rate or pipe.partial):
            # Whole packets only, so that flooded ones go in between.
            pipe.partial += data
            while True:
                size = _packet_size(pipe.partial)
                if size is None:
                    break
                packet, pipe.partial = pipe.partial[:size], pipe.partial[size:]
                pipe.queue.append([time.monotonic() + self._delay, packet])
                pipe.queued += len(packet)
        else:
            due = time.monotonic() + (self._delay if pipe is conn.down else 0.0)
            pipe.queue.append([due, data])
            pipe.queued += len(data)

    def _flood(self):
        """Queues the packets due by now for every client, as far as each takes them."""
        if not self._flood_rate or self._frozen:
            return
        now = time.monotonic()
        due = int((now - self._flood_due) * self._flood_rate)
        if due <= 0:
            return
        self._flood_due += due / self._flood_rate
        for conn in self._conns:
            pipe = conn.down
            if pipe.dst is None:
                continue
            for _ in range(due):
                if pipe.queued >= MAX_QUEUED:
                    break  # the client reads no more: its socket is full
                pipe.queue.append([now, self._flood_packet])
                pipe.queued += len(self._flood_packet)
                self.flooded += 1

    def _flush(self, conn):
        if conn.closed:
            return
        for pipe in (conn.up, conn.down):
            if not self._frozen and not self._send_due(pipe):
                self._close(conn)
                return
        if any(p.eof and not p.queue for p in (conn.up, conn.down)):
            self._close(conn)

    def _send_due(self, pipe):
        """Sends what is due; False if the destination is gone."""
        now = time.monotonic()
        while pipe.queue and pipe.queue[0][0] <= now and not pipe.blocked:
            item = pipe.queue[0]
            try:
                sent = pipe.dst.send(item[1])
            except BlockingIOError:
                sent = 0
            except OSError:
                return False
            pipe.queued -= sent
            item[1] = item[1][sent:]
            if item[1]:
                pipe.blocked = True
            else:
                pipe.queue.popleft()
        return True

    def _close(self, conn):
        conn.closed = True
        for sock in conn.sockets():
            self._unarm(sock)
            sock.close()
        self._conns.remove(conn)

    def _wants_read(self, pipe):
        if self._frozen or pipe.eof:
            return False
        return pipe.queued < MAX_QUEUED

    def _arm_all(self):
        if self._listener is not None:
            self._arm(self._listener, 0 if self._frozen else selectors.EVENT_READ, None)
        for conn in self._conns:
            for pipe in (conn.up, conn.down):
                if pipe.src is None:
                    continue
                mask = selectors.EVENT_READ if self._wants_read(pipe) else 0
                reverse = conn.down if pipe is conn.up else conn.up
                if reverse.blocked and not self._frozen:
                    mask |= selectors.EVENT_WRITE
                self._arm(pipe.src, mask, conn)

    def _arm(self, sock, mask, conn):
        old = self._armed.get(sock, 0)
        if mask == old:
            return
        if not mask:
            self._unarm(sock)
        elif not old:
            self._sel.register(sock, mask, conn)
        else:
            self._sel.modify(sock, mask, conn)
        if mask:
            self._armed[sock] = mask

    def _unarm(self, sock):
        if self._armed.pop(sock, 0):
            self._sel.unregister(sock)

    def _sleep_time(self):
        if self._frozen:
            return MAX_SLEEP_S
        now, sleep = time.monotonic(), FLOOD_TICK_S if self._flood_rate else MAX_SLEEP_S
        for conn in self._conns:
            for pipe in (conn.up, conn.down):
                if pipe.queue and not pipe.blocked:
                    sleep = min(sleep, max(0.0, pipe.queue[0][0] - now))
        return sleep


def _packet_size(data):
    """The size of the MQTT packet data starts with, None while it is not all there."""
    length, shift = 0, 0
    for i in range(1, min(len(data), 5)):
        length |= (data[i] & 0x7F) << shift
        shift += 7
        if not data[i] & 0x80:
            size = i + 1 + length
            return size if len(data) >= size else None
    return None


def publish_packet(topic, payload):
    """A QoS 0 PUBLISH packet."""
    body = struct.pack("!H", len(topic)) + topic.encode() + payload
    length, header = len(body), bytearray([0x30])
    while True:
        length, digit = length >> 7, length & 0x7F
        header.append(digit | (0x80 if length else 0))
        if not length:
            return bytes(header) + body


COMMANDS = {
    "pass": FaultProxy.pass_through,
    "delay": lambda p, s: p.delay_downstream(float(s)),
    "drop": lambda p: p.drop_downstream(),
    "freeze": FaultProxy.freeze,
    "thaw": FaultProxy.thaw,
    "close": FaultProxy.close_all,
    "refuse": lambda p: p.refuse_new(),
    "blackhole": lambda p: p.black_hole(),
}


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: faultproxy.py LISTEN_PORT TARGET_PORT  (commands on stdin: "
                 + ", ".join(COMMANDS) + ")")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    proxy = FaultProxy(int(argv[1]), int(argv[2])).start()
    print(f"faultproxy: {proxy.host}:{proxy.port} -> {proxy.host}:{proxy.target_port}", file=sys.stderr)
    try:
        for line in sys.stdin:
            words = line.split()
            try:
                if words:
                    COMMANDS[words[0]](proxy, *words[1:])
            except (KeyError, TypeError, ValueError):
                print(f"faultproxy: bad command: {line.strip()}", file=sys.stderr)
        signal.pause()  # stdin closed: keep proxying until a signal
    except KeyboardInterrupt:
        pass
    finally:
        proxy.stop()


if __name__ == "__main__":
    main(sys.argv)
