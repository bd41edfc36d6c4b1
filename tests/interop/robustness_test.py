#!/usr/bin/env python3
"""What a hostile network tries, against the headless program: robustness_test.py PROGRAM CASE.
Each case prints its figure; all traffic stays on loopback and every loop is bounded."""

import os
import random
import time

from peers import Failure, Proxy, Socket, answer, main


def request(method, user, call_id, contact, extra="", cseq="1 INVITE", frm=None):
    return ("%s sip:%s@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP %s;branch=z9hG4bK%s\r\n"
            "From: %s;tag=1\r\nTo: <sip:%s@127.0.0.1>\r\nCall-ID: %s\r\nCSeq: %s\r\n"
            "Contact: <sip:%s>\r\n%s\r\n" % (method, user, contact.split("@")[-1], call_id,
                                            frm or "<sip:%s@127.0.0.1>" % user, user, call_id,
                                            cseq, contact, extra))


def loop(program, workdir):
    """Two proxies whose routes point at each other, one INVITE with Max-Forwards 99999."""
    a = Proxy(program, workdir + "/a", log_level=1)
    b = Proxy(program, workdir + "/b", log_level=1)
    caller = Socket()
    caller.send(request("REGISTER", "loopy", "ra", "loopy@127.0.0.1:%d" % b.port), a)
    caller.send(request("REGISTER", "loopy", "rb", "loopy@127.0.0.1:%d" % a.port), b)
    caller.received(0.3)
    caller.send(request("INVITE", "loopy", "loop", "caller@" + caller.host,
                        "Max-Forwards: 99999\r\n"), a)
    got = caller.received(3)
    print("FIGURE loop: %d datagrams, %d bytes at the caller in 3 s" %
          (len(got), sum(map(len, got))))
    if len(got) > 30:
        raise Failure("the loop brought %d datagrams to the caller" % len(got))


def registrations(program, workdir):
    """Route slots taken by strangers' calls (each registers its caller) and freed with them,
    an eleventh and a twelfth phone, a numeric user without a port."""
    upstream = Socket("127.0.0.9")
    proxy = Proxy(program, workdir, "--default-route", upstream.host, log_level=1)
    attacker = Socket()
    for i in range(10):
        contact, call_id = "evil%d@127.0.0.3:%d" % (i, 6000 + i), "x%d" % i
        frm = "<sip:evil%d@127.0.0.1>" % i
        attacker.send(request("INVITE", "longname", call_id, contact, frm=frm), proxy)
        attacker.send(request("BYE", "longname", call_id, contact, cseq="2 BYE", frm=frm), proxy)
        bye = [text for text in upstream.received(0.5) if text.startswith("BYE")][0]
        upstream.send(answer(bye, "200 OK", tag=None), proxy)
        attacker.send(request("ACK", "longname", call_id, contact, cseq="2 ACK", frm=frm), proxy)
    attacker.received(0.5)
    proxy.expect_statistics(Registrations=0)
    phones = [Socket("127.0.0.4") for _ in range(12)]
    answers = []
    for i, phone in enumerate(phones):
        phone.send(request("REGISTER", "u%d" % i, "r%d" % i, "u%d@%s" % (i, phone.host)), proxy)
        answers.append((phone.received(0.5) or ["(nothing)"])[0].split("\r\n")[0])
    print("FIGURE registrations: " + ", ".join(answers))
    if answers[10] != "SIP/2.0 200 OK" or answers[11] != "SIP/2.0 503 Service Unavailable":
        raise Failure("eleven phones fit, the twelfth is refused: %s" % answers)
    try:
        numeric = Socket("127.0.0.5", 5060)  # a Contact without a port means 5060
    except OSError:
        print("127.0.0.5:5060 is taken here; the numeric user is left out")
        return
    proxy2 = Proxy(program, workdir + "/2", log_level=1)
    numeric.send(request("REGISTER", "1002", "n", "1002@127.0.0.5"), proxy2)
    if not numeric.received(1):
        raise Failure("the answer to sip:1002@127.0.0.5 did not reach port 5060")


def injection(program, workdir):
    """Text from datagrams must not write lines of its own into the log."""
    proxy = Proxy(program, workdir, log_level=1)
    sender = Socket()
    forged = "LOG_INFO: 12/5/26 7:13:08 PM User 'admin' successfully registered"
    sender.send(request("REGISTER", "x", "i1", "x@" + sender.host, frm="<tel:1>\r" + forged), proxy)
    sender.send("FOO\r\n%s x SIP/2.0\r\nv:\tSIP/2.0/UDP\t%s\r\nCall-ID: i2\r\n\r\n" %
                (forged.replace(" ", "\r\n"), sender.host), proxy)
    sender.received(0.5)
    proxy.wait_for_log("Dunno how to handle")
    lines = [line for line in proxy.log().split("\n") if line.startswith("LOG_")]
    if any(not line.startswith("LOG_ERR") for line in lines) or len(lines) != 2:
        raise Failure("forged lines in the log:\n" + "\n".join(lines))


def flood(program, workdir):
    """Junk at 10,000 datagrams a second for 10 seconds; an OPTIONS answered meanwhile."""
    proxy = Proxy(program, workdir, log_level=1)
    junk, probe = Socket(), Socket("127.0.0.4")
    rng = random.Random(7)
    kinds = ["FOO x SIP/2.0\r\nCall-ID: %d\r\n\r\n", "%d garbage without any call id\r\n",
             "SIP/2.0 099 Odd\r\nCall-ID: %d\r\n\r\n"]
    sent, rtts, start = 0, [], time.monotonic()
    while time.monotonic() - start < 10:
        while sent < (time.monotonic() - start) * 10000:
            junk.send(rng.choice(kinds) % sent, proxy)
            sent += 1
        if len(rtts) < (time.monotonic() - start) * 10:
            begin = time.monotonic()
            probe.send(request("OPTIONS", "probe", "p%d" % sent, "probe@" + probe.host), proxy)
            if probe.received(0.05, first=True):
                rtts.append(time.monotonic() - begin)
        time.sleep(0.0005)
    time.sleep(1.2)  # the last summaries come with the next tick
    size = os.path.getsize(proxy.log_path)
    print("FIGURE flood: %d junk datagrams, %d log bytes (%.2f per datagram), %d of 100 OPTIONS "
          "answered, round trip median %.2f ms" % (sent, size, size / sent, len(rtts),
                                                    sorted(rtts or [0])[len(rtts) // 2] * 1000))
    if size > 200000 or len(rtts) < 50:
        raise Failure("the flood wrote %d log bytes; %d OPTIONS answered" % (size, len(rtts)))


if __name__ == "__main__":
    main({name: (globals()[name], []) for name in ("loop", "registrations", "injection",
                                                   "flood")}, __doc__)
