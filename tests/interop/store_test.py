#!/usr/bin/env python3
"""Registrations kept beyond one process: store_test.py PROGRAM CASE.

store: a SQLite file (--state) across restarts, and a damaged one; cluster: instances that
share their registrations through a Redis server (--registrar) the case starts and stops."""

import glob
import re
import socket
import sys
import time

from peers import ALICE_IP, BOB_IP, STEP_S, Failure, Proxy, run, spawn, wait_until
from robustness_test import Socket, request


class Phone(Socket):
    """A phone made of one UDP socket and hand-written requests."""

    def __init__(self, name, ip):
        super().__init__(ip)
        self.name = name

    def register(self, proxy, expires=60):
        self.send(request("REGISTER", self.name, "reg-" + self.name, "%s@%s" % (self.name, self.host),
                          "Expires: %d\r\n" % expires, cseq="1 REGISTER"), proxy)
        self.expect("SIP/2.0 200 OK")

    def call(self, proxy, callee, call_id):
        """An INVITE through the proxy; the callee's socket must receive it."""
        self.send(request("INVITE", callee.name, call_id, "%s@%s" % (self.name, self.host),
                          frm="<sip:%s@127.0.0.1>" % self.name), proxy)
        callee.expect("INVITE sip:%s@%s " % (callee.name, callee.host))

    def expect(self, start):
        deadline = time.monotonic() + STEP_S
        while time.monotonic() < deadline:
            if any(got.startswith(start) for got in self.received(0.1)):
                return
        raise Failure("%s received no %r" % (self.name, start))


def store(program, workdir):
    state = workdir + "/registrations.db"
    proxy = Proxy(program, workdir + "/1", "--state", state)
    alice, bob, carol = Phone("alice", ALICE_IP), Phone("bob", BOB_IP), Phone("carol", BOB_IP)
    bob.register(proxy)
    carol.register(proxy, expires=1)
    proxy.stop()
    time.sleep(2.5)  # carol's registration runs out while the proxy is down
    proxy = Proxy(program, workdir + "/2", "--state", state)
    proxy.wait_for_log("User 'bob' restored at '%s' with ID: 1, " % bob.host)
    left = int(re.search(r"ID: 1, (\d+) seconds left", proxy.log()).group(1))
    if not 55 <= left <= 58 or "'carol' restored" in proxy.log():
        raise Failure("expected only bob, with 55 to 58 s left:\n" + proxy.log())
    proxy.expect_statistics(Registrations=1)
    alice.call(proxy, bob, "call-1")
    proxy.stop()

    with open(state, "r+b") as damaged:
        damaged.write(b"not a database " * 100)
    proxy = Proxy(program, workdir + "/3", "--state", state)
    proxy.wait_for_log("LOG_ERR")
    errors = [line for line in proxy.log().split("\n") if line.startswith("LOG_ERR")]
    aside = glob.glob(state + ".corrupt-*")
    if len(errors) != 1 or len(aside) != 1 or "set aside as '%s'" % aside[0] not in errors[0]:
        raise Failure("expected one LOG_ERR naming the file set aside, %s:\n%s" % (aside, errors))
    proxy.expect_statistics(Registrations=0)
    bob.register(proxy)  # and a new file keeps it
    proxy.stop()


def cluster(program, workdir):
    with socket.socket() as probe:
        probe.bind((ALICE_IP, 0))
        port = probe.getsockname()[1]

    def redis():
        server = spawn(["redis-server", "--port", str(port), "--bind", ALICE_IP, "--save", "",
                        "--appendonly", "no"], workdir + "/redis.log")
        def listening():
            with socket.socket() as client:
                return client.connect_ex((ALICE_IP, port)) == 0
        wait_until(listening, "Redis to listen")
        return server

    server = redis()
    url = "redis://%s:%d" % (ALICE_IP, port)
    a, b = Proxy(program, workdir + "/a", "--registrar", url), \
        Proxy(program, workdir + "/b", "--registrar", url)
    alice, bob, carol = Phone("alice", ALICE_IP), Phone("bob", BOB_IP), Phone("carol", BOB_IP)
    alice.register(a)
    bob.register(b)
    a.wait_for_log("User 'bob' restored")
    b.wait_for_log("User 'alice' restored")
    alice.call(a, bob, "call-1")
    bob.call(b, alice, "call-2")

    server.terminate()
    server.wait(STEP_S)
    outage = time.monotonic()
    a.wait_for_log("unreachable")
    b.wait_for_log("unreachable")
    alice.call(a, bob, "call-3")  # from each instance's own tables
    bob.call(b, alice, "call-4")
    carol.register(a)
    time.sleep(max(0.0, outage + 5 - time.monotonic()))
    server = redis()
    b.wait_for_log("User 'carol' restored")
    for proxy in (a, b):  # one LOG_ERR line for the outage, however many tries it took
        wait_until(lambda: proxy.log().count("Registrations shared") == 2, "the recovery")
        if proxy.log().count("unreachable") != 1:
            raise Failure("expected one LOG_ERR for the outage:\n" + proxy.log())
    alice.call(b, carol, "call-5")

    c = Proxy(program, workdir + "/c", "--registrar", url)
    c.wait_for_log("3 taken in")
    c.expect_statistics(Registrations=3)
    alice.register(a, expires=0)
    for proxy in (b, c):
        proxy.wait_for_log("Unregistered 'alice'")
        proxy.expect_statistics(Registrations=2)
    for proxy in (a, b, c):
        proxy.stop()
    server.terminate()
    server.wait(STEP_S)


CASES = {"store": (store, []), "cluster": (cluster, ["redis-server"])}

if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        sys.exit(__doc__)
    case, programs = CASES[sys.argv[2]]
    sys.exit(run(sys.argv[2], programs, lambda workdir: case(sys.argv[1], workdir)))
