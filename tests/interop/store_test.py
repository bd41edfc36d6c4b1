#!/usr/bin/env python3
"""Registrations kept beyond one process: store_test.py PROGRAM CASE.

store: a SQLite file (--state) across restarts, and a damaged one; cluster: instances that
share their registrations through a Redis server (--registrar) the case starts and stops."""

import glob
import re
import socket
import time

from peers import ALICE_IP, BOB_IP, STEP_S, Failure, Phone, Proxy, main, spawn, wait_until


def register(phone, proxy, expires=60):
    phone.send(phone.request("REGISTER", phone.user, "reg-" + phone.user,
                             extra=["Expires: %d" % expires]), proxy)
    phone.expect("SIP/2.0 200 OK", phone.user + "'s REGISTER", others=True)


def call(proxy, caller, callee, call_id):
    """An INVITE through the proxy; the callee's socket must receive it."""
    caller.send(caller.request("INVITE", callee.user, call_id), proxy)
    callee.expect("INVITE sip:%s@%s " % (callee.user, callee.host), call_id, others=True)


def store(program, workdir):
    state = workdir + "/registrations.db"
    proxy = Proxy(program, workdir + "/1", "--state", state)
    alice, bob, carol = Phone(ALICE_IP, "alice"), Phone(BOB_IP, "bob"), Phone(BOB_IP, "carol")
    register(bob, proxy)
    register(carol, proxy, expires=1)
    proxy.stop()
    time.sleep(2.5)  # carol's registration runs out while the proxy is down
    proxy = Proxy(program, workdir + "/2", "--state", state)
    proxy.wait_for_log("User 'bob' restored at '%s' with ID: 1, " % bob.host)
    left = int(re.search(r"ID: 1, (\d+) seconds left", proxy.log()).group(1))
    if not 55 <= left <= 58 or "'carol' restored" in proxy.log():
        raise Failure("expected only bob, with 55 to 58 s left:\n" + proxy.log())
    proxy.expect_statistics(Registrations=1)
    call(proxy, alice, bob, "call-1")
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
    register(bob, proxy)  # and a new file keeps it
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
    alice, bob, carol = Phone(ALICE_IP, "alice"), Phone(BOB_IP, "bob"), Phone(BOB_IP, "carol")
    register(alice, a)
    register(bob, b)
    a.wait_for_log("User 'bob' restored")
    b.wait_for_log("User 'alice' restored")
    call(a, alice, bob, "call-1")
    call(b, bob, alice, "call-2")

    server.terminate()
    server.wait(STEP_S)
    outage = time.monotonic()
    a.wait_for_log("unreachable")
    b.wait_for_log("unreachable")
    call(a, alice, bob, "call-3")  # from each instance's own tables
    call(b, bob, alice, "call-4")
    register(carol, a)
    time.sleep(max(0.0, outage + 5 - time.monotonic()))
    server = redis()
    b.wait_for_log("User 'carol' restored")
    for proxy in (a, b):  # one LOG_ERR line for the outage, however many tries it took
        wait_until(lambda: proxy.log().count("Registrations shared") == 2, "the recovery")
        if proxy.log().count("unreachable") != 1:
            raise Failure("expected one LOG_ERR for the outage:\n" + proxy.log())
    call(b, alice, carol, "call-5")

    c = Proxy(program, workdir + "/c", "--registrar", url)
    c.wait_for_log("3 taken in")
    c.expect_statistics(Registrations=3)
    register(alice, a, expires=0)
    for proxy in (b, c):
        proxy.wait_for_log("Unregistered 'alice'")
        proxy.expect_statistics(Registrations=2)
    for proxy in (a, b, c):
        proxy.stop()
    server.terminate()
    server.wait(STEP_S)


if __name__ == "__main__":
    main({"store": (store, []), "cluster": (cluster, ["redis-server"])}, __doc__)
