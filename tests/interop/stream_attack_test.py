#!/usr/bin/env python3
"""What an attacker tries against the proxy's TCP and TLS listeners: stream_attack_test.py
PROGRAM CASE. The attacker is 127.0.0.5 (and 127.0.0.6); meanwhile an OPTIONS ping over UDP
and one over a TCP connection opened before the attack keep being answered. Each case checks
the log lines, naming the attacker's address and port, and the metrics page's counters. All
traffic stays on loopback; every loop is bounded."""

import re
import resource
import socket
import ssl
import threading
import time

from peers import STEP_S, Failure, Proxy, listener, main, metrics, sip, wait_until
from transport_test import tls_options

ATTACKER = "127.0.0.5"


def options(via):
    return sip("OPTIONS sip:ping@127.0.0.1 SIP/2.0", "Via: SIP/2.0/%s;branch=z9hG4bK%d" % (
        via, time.monotonic_ns()), "Max-Forwards: 70", "From: <sip:watch@127.0.0.1>;tag=w",
        "To: <sip:ping@127.0.0.1>", "Call-ID: watch", "CSeq: 1 OPTIONS").encode()


class Watch(threading.Thread):
    """Pings the proxy every 0.2 s over UDP and over its own TCP connection, both answered
    within 2 s each time, until stop()."""

    def __init__(self, proxy):
        super().__init__(daemon=True)
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.3", 0))
        self.udp.connect(("127.0.0.1", proxy.port))
        self.tcp = socket.create_connection(("127.0.0.1", proxy.port), STEP_S,
                                            ("127.0.0.4", 0))
        self.pings, self.fault, self.done = 0, None, threading.Event()
        self.start()

    def answered(self, sock, via):
        sock.sendall(options("%s %s:%d" % (via, *sock.getsockname())))
        sock.settimeout(2)
        text = b""
        while b"\r\n\r\n" not in text:
            got = sock.recv(65535)
            if not got:
                raise OSError("the connection was closed")
            text += got
        if not text.startswith(b"SIP/2.0 200 "):
            raise OSError("answered %r" % text)

    def run(self):
        try:
            while not self.done.wait(0.2):
                self.answered(self.udp, "UDP")
                self.answered(self.tcp, "TCP")
                self.pings += 1
        except OSError as error:
            self.fault = "ping %d: %r" % (self.pings + 1, error)

    def stop(self):
        self.done.set()
        self.join(STEP_S)
        if self.fault or self.pings < 5:
            raise Failure("the pings during the attack: %s" % (self.fault or self.pings))
        print("FIGURE %d pings answered over UDP and TCP during the attack" % self.pings)


def closed(sock):
    """Whether the proxy has closed this connection (without waiting)."""
    sock.setblocking(False)
    try:
        return sock.recv(1, socket.MSG_PEEK) == b""
    except BlockingIOError:
        return False
    except OSError:  # reset
        return True


COUNTERS = {"open": 'tavrix_connections_open{transport="%s"}',
            "refused": 'tavrix_connections_refused_total{reason="%s"}',
            "closed": 'tavrix_connections_closed_total{reason="%s"}'}


def expect_counters(proxy, **families):
    """The metrics page comes to show these counters, e.g. open={"tcp": 1}."""
    expected = {COUNTERS[family] % label: value for family, labels in families.items()
                for label, value in labels.items()}
    seen = {}
    try:
        wait_until(lambda: seen.update(metrics(proxy)) or all(
            seen.get(name) == value for name, value in expected.items()), "the counters")
    except Failure:
        raise Failure("expected %s, the page says %s" % (
            expected, {name: seen.get(name) for name in expected})) from None


def drain(sock, seconds):
    """What arrives within the time, and whether the proxy closed the connection meanwhile."""
    got, deadline = b"", time.monotonic() + seconds
    while time.monotonic() < deadline:
        sock.settimeout(deadline - time.monotonic())
        try:
            more = sock.recv(65535)
        except socket.timeout:
            break
        except OSError:
            return got, True
        if not more:
            return got, True
        got += more
    return got, False


def expect_line(proxy, pattern):
    """An error line of the log (after its time; a summary of lines held back in a flood, at
    the next tick) matches the pattern."""
    wait_until(lambda: re.search(r"^LOG_ERR: .*? " + pattern, proxy.log(), re.M),
               "an error /%s/ in the proxy's log" % pattern, 3)


def attacked(program, workdir, attack, *extra):
    proxy = Proxy(program, workdir, "--metrics", "127.0.0.1:0", *extra, log_level=2)
    watch = Watch(proxy)
    attack(proxy)
    watch.stop()
    proxy.stop()


def connections(proxy):
    """2,000 connections from one address: 64 stay open, the rest are refused; then 100 from
    another with the proxy at its limit of 100 (the ping's among them)."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, resource.getrlimit(
        resource.RLIMIT_NOFILE)[1]))
    socks = {ATTACKER: [], "127.0.0.6": []}
    deadline = time.monotonic() + 30
    for source, count in ((ATTACKER, 2000), ("127.0.0.6", 100)):
        for _ in range(count):
            if time.monotonic() < deadline:
                try:
                    socks[source].append(socket.create_connection(("127.0.0.1", proxy.port),
                                                                  3, (source, 0)))
                except OSError:
                    pass
        made = len(socks[source])
        if source == ATTACKER:
            expect_counters(proxy, refused={"source_limit": made - 64}, open={"tcp": 65})
        else:
            expect_counters(proxy, refused={"limit": made - 35}, open={"tcp": 100})
        still = sum(not closed(sock) for sock in socks[source])
        print("FIGURE %d connections from %s, %d left open" % (made, source, still))
        # A connection the system's queue could not take in time is refused too, unseen.
        if made < count * 0.95 or still != (64 if source == ATTACKER else 35):
            raise Failure("%d of %d connections made from %s, %d left open" % (
                made, count, source, still))
    expect_line(proxy, r"Connection from %s:\d+ refused: 64 connections from that "
                r"address open$" % re.escape(ATTACKER))
    # The first address's refusals, held back in the flood, must not hide the second's.
    expect_line(proxy, r"Connection from 127\.0\.0\.6:\d+ refused: 100 connections "
                r"open$")
    time.sleep(1.5)  # the table full for a while: the pings must still be answered
    for sock in socks[ATTACKER] + socks["127.0.0.6"]:
        sock.close()
    expect_counters(proxy, open={"tcp": 1})


def framing(proxy):
    """Streams the proxy cannot frame, each on its own connection: closed at once; a message of
    exactly 65,535 bytes is answered."""
    head = options("TCP %s:9" % ATTACKER).decode()
    big = head.replace("Content-Length: 0", "Content-Length: %d")
    pad = 65535 - len(big % 65535)
    rows = [("a message without Content-Length", head.replace("Content-Length: 0\r\n", ""),
             "no_length"),
            ("a message longer than 65535 bytes", head.replace("\r\n\r\n", "\r\nX-Pad: %s"
                                                               "\r\n\r\n" % ("a" * 100000)),
             "too_large"),
            # A Content-Length of six digits: closed for its length, not as if it had none.
            ("a message longer than 65535 bytes", big % 100000 + "b" * 100000, "too_large"),
            (None, big % pad + "x" * pad, None)]
    counts = {}
    for reason, data, counter in rows:
        sock = socket.create_connection(("127.0.0.1", proxy.port), STEP_S, (ATTACKER, 0))
        where = "%s:%d" % sock.getsockname()
        try:
            sock.sendall(data.encode())
        except OSError:  # closed before it all went
            pass
        got, gone = drain(sock, 2 if reason else 1)
        sock.close()
        if not reason:
            if gone or not got.startswith(b"SIP/2.0 200 "):
                raise Failure("%d bytes: answered %r, %s" % (len(data), got[:100],
                                                              "closed" if gone else "open"))
            continue
        if not gone:
            raise Failure("%s: not closed within 2 s" % reason)
        expect_line(proxy, r"Connection from %s closed: %s$" % (re.escape(where),
                                                                       reason))
        counts[counter] = counts.get(counter, 0) + 1
    expect_counters(proxy, closed=counts)


def slow(proxy):
    """A message trickled a byte every 0.25 s: closed 10 s after its first byte."""
    sock = socket.create_connection(("127.0.0.1", proxy.port), STEP_S, (ATTACKER, 0))
    start = time.monotonic()
    for byte in options("TCP %s:%d" % sock.getsockname())[:60]:
        try:
            sock.send(bytes([byte]))
        except OSError:
            break
        if closed(sock):
            break
        time.sleep(0.25)
    after, state = time.monotonic() - start, "closed" if closed(sock) else "still open"
    print("FIGURE the slow sender was %s after %.1f s" % (state, after))
    if state != "closed" or not 9.5 < after < 13:
        raise Failure("the slow sender was %s after %.1f s" % (state, after))
    expect_line(proxy, r"Connection from %s:%d closed: no whole message within 10 s$"
                % sock.getsockname())
    expect_counters(proxy, closed={"slow": 1})


def client_hello():
    """The first flight of a TLS client, as bytes."""
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ssl.create_default_context().wrap_bio(incoming, outgoing, server_hostname="x")
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def handshake(proxy):
    """Two TLS connections that never finish their handshakes: silent, and half a ClientHello.
    Both are closed 10 s after they were opened."""
    port = listener(proxy, "TLS")
    socks = [socket.create_connection(("127.0.0.1", port), STEP_S, (ATTACKER, 0))
             for _ in range(2)]
    start = time.monotonic()
    hello = client_hello()
    socks[1].sendall(hello[:len(hello) // 2])
    wait_until(lambda: all(closed(sock) for sock in socks), "both closed", 15)
    after = time.monotonic() - start
    print("FIGURE both handshakes were closed after %.1f s" % after)
    if not 9.5 < after < 13:
        raise Failure("the handshakes were closed after %.1f s" % after)
    for sock in socks:
        expect_line(proxy, r"TLS handshake with %s:%d failed: \S" % sock.getsockname())
    expect_counters(proxy, closed={"handshake": 2})


if __name__ == "__main__":
    main({"connections": (lambda p, w: attacked(p, w, connections, "--max-connections", "100"),
                          []),
          "framing": (lambda p, w: attacked(p, w, framing), []),
          "slow": (lambda p, w: attacked(p, w, slow), []),
          "handshake": (lambda p, w: attacked(p, w, handshake, *tls_options(w)[0]), [])},
         __doc__)
