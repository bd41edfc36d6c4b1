#!/usr/bin/env python3
"""What an attacker tries against the proxy's time, its calls, its slots and third parties:
attack_test.py PROGRAM CASE. The phones are written here by hand, so every byte that reaches
them is counted. Each case prints its figures; all traffic stays on loopback and every loop is
bounded."""

import time

from peers import (Failure, Phone, Proxy, Socket, answer, header, main, metrics, sdp, sip,
                   status, users_file)

def ring(proxy, caller, callee, call_id):
    """The caller's INVITE through the proxy; the callee rings. The INVITE as the callee got
    it, and as the caller sent it."""
    sent = caller.request("INVITE", callee.user, call_id, body=sdp(caller.ip))
    caller.send(sent, proxy)
    invite = callee.expect("INVITE ", "the INVITE relayed")
    callee.send(answer(invite, "180 Ringing"), proxy)
    caller.expect("SIP/2.0 100 ", "100 Trying")
    caller.expect("SIP/2.0 180 ", "the 180 relayed")
    return invite, sent


def connect(proxy, caller, callee, invite, call_id):
    """The ringing callee answers, the caller acknowledges and hangs up: each step relayed."""
    callee.send(answer(invite, "200 OK", callee.contact, sdp(callee.ip)), proxy)
    ok = caller.expect("SIP/2.0 200 ", "the answer relayed")
    if "c=IN IP4 %s\r\n" % callee.ip not in ok:
        raise Failure("the caller got another SDP than the callee's:\n" + ok)
    for method, cseq in (("ACK", 1), ("BYE", 2)):
        caller.send(caller.request(method, callee.user, call_id, cseq, to_tag="b"), proxy)
        request = callee.expect(method + " ", "the %s relayed" % method)
    callee.send(answer(request, "200 OK"), proxy)
    caller.expect("SIP/2.0 100 ", "100 Trying to the BYE")
    caller.expect("SIP/2.0 200 ", "the BYE's 200 relayed")


def stall(program, workdir):
    """Datagrams of 65,000 bytes of Via lines naming the proxy, 10 a second for 10 s, while an
    OPTIONS ping goes every 100 ms: every ping answered within 1 s."""
    proxy = Proxy(program, workdir, log_level=1)
    attacker, pinger = Socket(), Socket("127.0.0.4")
    # The shorter the line, the more of them: the compact form and a one-letter branch.
    via = "v:SIP/2.0/UDP 127.0.0.1:%d;branch=z\r\n" % proxy.port
    stuffed = "INVITE sip:x@127.0.0.1 SIP/2.0\r\n" + via * ((65000 - 40) // len(via))
    stuffed += "\r\n".ljust(65000 - len(stuffed), "\n")
    sent, pings, answered, start = 0, {}, {}, time.monotonic()
    # Ten seconds of attack and pings, then a second for the last answers.
    while time.monotonic() - start < 11 and len(answered) < 100:
        now = time.monotonic() - start
        if sent < min(100, now * 10):
            attacker.send(stuffed, proxy)
            sent += 1
        if len(pings) < min(100, now * 10):
            ping = "ping%d" % len(pings)
            pings[ping] = time.monotonic()
            pinger.send(sip("OPTIONS sip:127.0.0.1 SIP/2.0",
                            "Via: SIP/2.0/UDP %s;branch=z9hG4bK%s" % (pinger.host, ping),
                            "From: <sip:ping@127.0.0.1>;tag=p", "To: <sip:127.0.0.1>",
                            "Call-ID: " + ping, "CSeq: %d OPTIONS" % len(pings)), proxy)
        for text in pinger.received(0.005, first=True):
            answered.setdefault(header(text, "Call-ID"), time.monotonic())
    proxy.wait_for_log("Call missing call ID")  # the big datagrams were read, not lost
    times = sorted(answered[ping] - pings[ping] for ping in answered if ping in pings)
    print("FIGURE stall: %d datagrams of %d bytes, %d of %d pings answered, round trip median "
          "%.1f ms, max %.1f ms" % (sent, len(stuffed), len(times), len(pings),
                                    1000 * times[len(times) // 2] if times else 0,
                                    1000 * max(times, default=0)))
    if len(times) < len(pings) or times[-1] > 1:
        raise Failure("%d of %d pings answered within 1 s" %
                      (sum(t <= 1 for t in times), len(pings)))


def strangers(program, workdir):
    """During ringing a third address ends, cancels, refuses and answers the call: none of it
    reaches anybody, each gets its log line and is counted; the call then connects and ends
    as usual."""
    proxy = Proxy(program, workdir, "--metrics", "127.0.0.1:0", log_level=2)
    caller, callee = Phone("127.0.0.3", "alice"), Phone("127.0.0.2", "bob")
    stranger = Phone("127.0.0.66", "mallory")
    if callee.register(proxy) != "200 OK":
        raise Failure("bob's registration was not answered 200 OK")
    invite, sent = ring(proxy, caller, callee, "call-1")
    # Each what a party would send, word for word (the answer with the stranger's Contact and
    # SDP), but from another address.
    branch = header(sent, "Via").split("branch=")[1]
    forged = [caller.request("BYE", "bob", "call-1", 2, to_tag="b"),
              caller.request("CANCEL", "bob", "call-1", branch=branch),
              answer(invite, "486 Busy Here"),
              answer(invite, "200 OK", stranger.contact, sdp(stranger.ip))]
    for text in forged:
        stranger.send(text, proxy)
    heard = {phone.user: phone.received(0.2) for phone in (caller, callee, stranger)}
    if any(heard.values()):
        raise Failure("the forgeries brought: %s" % heard)
    proxy.wait_for_log(*["Not a party to the call: '%s' from %s dropped" % (what, stranger.host)
                         for what in ("BYE", "CANCEL", "486 Busy Here", "200 OK")])
    connect(proxy, caller, callee, invite, "call-1")
    page = metrics(proxy)
    dropped = page['tavrix_datagrams_dropped_total{reason="not_a_party"}']
    completed = page["tavrix_completed_calls_total"]
    print("FIGURE strangers: %d forgeries, nothing relayed, %d counted as not_a_party, "
          "%d completed calls" % (len(forged), dropped, completed))
    if dropped != len(forged) or completed != 1:
        raise Failure("expected %d not_a_party and one completed call:\n%s"
                      % (len(forged), page))


def hoarding(program, workdir):
    """One account registers its Contact under ever new Call-IDs for 32767 s, then more
    Contacts, and calls a short unknown name again and again: one slot per binding, at most 10
    bindings and 10 calls, the rest refused; two other users still register and talk."""
    users = users_file(workdir, "office", {"mallory": "1234", "alice": "a", "bob": "b"})
    # Without the per-user limits these requests would take every one of the 30 slots. Each
    # binding holds a route too, so the route table is sized for everybody's.
    proxy = Proxy(program, workdir, "--users", users, "--max-calls", "30", "--max-routes", "30",
                  "--metrics", "127.0.0.1:0", log_level=2)
    mallory = Phone("127.0.0.3", "mallory", "1234")
    forever = ["Expires: 32767"]
    same = [mallory.register(proxy, "same-%d" % i, forever) for i in range(40)]
    contact = mallory.contact
    more = []
    for i in range(11):
        mallory.contact = "sip:mallory%d@%s" % (i, mallory.host)
        more.append(mallory.register(proxy, "more-%d" % i, forever))
    mallory.contact, calls = contact, []
    for i in range(12):
        mallory.send(mallory.request("INVITE", "x", "hold-%d" % i, extra=forever), proxy)
        calls.append(status(mallory.final()))
    held = metrics(proxy)["tavrix_call_slots_taken"]
    count = lambda answers, code: sum(a.startswith(code) for a in answers)
    print("FIGURE hoarding: the same Contact %d times: %d x 200; 11 more Contacts: %d x 200, "
          "%d x 403; 12 calls: %d x 404, %d x 503; %d slots held" % (
              len(same), count(same, "200"), count(more, "200"), count(more, "403"),
              count(calls, "404"), count(calls, "503"), held))
    if (count(same, "200") != 40 or count(more, "200") != 9 or count(more, "403") != 2 or
            count(calls, "404") != 10 or count(calls, "503") != 2 or held > 20):
        raise Failure("the account's limits do not hold: %s %s %s" % (same, more, calls))
    proxy.wait_for_log("Too many registrations for 'mallory' from " + mallory.host,
                       "Too many calls for 'mallory' from " + mallory.host)
    alice, bob = Phone("127.0.0.5", "alice", "a"), Phone("127.0.0.6", "bob", "b")
    if [alice.register(proxy), bob.register(proxy)] != ["200 OK"] * 2:
        raise Failure("alice and bob could not both register")
    invite, _ = ring(proxy, alice, bob, "call-1")
    connect(proxy, alice, bob, invite, "call-1")


def reflection(program, workdir):
    """Requests without valid credentials that aim the proxy at a victim, sent from its
    address or under a registration whose Contact it is: each brings the victim at most 1.5
    times its bytes; 100 refusable requests within a second bring at most 20 answers."""
    users = users_file(workdir, "office", {"alice": "a"})
    proxy = Proxy(program, workdir, "--users", users, log_level=1)
    victim, stranger = Phone("127.0.0.77", "eve"), Socket("127.0.0.66")
    phone = Phone("127.0.0.5", "alice", "a", contact="sip:alice@" + victim.host)
    phone.register(proxy, "reg-victim")
    victim.received(0.2)  # the 200 to the REGISTER goes to its Contact
    # The answer goes to the source address whatever the Via says: the shortest Via is the
    # attacker's best.
    full = victim.request("INVITE", "alice", "i6", body=sdp(victim.ip))
    probes = [("INVITE without Via", victim, "INVITE \r\ni:2\r\n\r\n"),
              ("INVITE", victim, "INVITE \r\nv:x\r\ni:3\r\n\r\n"),
              ("REGISTER", victim, "REGISTER \r\nv:x\r\ni:4\r\n\r\n"),
              ("unknown method", victim, "FOO \r\nv:x\r\ni:5\r\n\r\n"),
              ("INVITE of a phone", victim, full),
              ("OPTIONS", victim, "OPTIONS \r\nv:x\r\ni:7\r\n\r\n"),
              ("OPTIONS under the registration", stranger,
               "OPTIONS \r\nv:x\r\ni:reg-victim\r\n\r\n")]
    out = {}
    for name, sender, text in probes:
        sender.send(text, proxy)
        out[name] = sum(map(len, victim.received(0.15))) / len(text)
        print("FIGURE reflection %s: %d bytes in, %.2f times as many out" % (name, len(text),
                                                                           out[name]))
    # The refusals are counted per second of the proxy's own clock: the line that sums up the
    # ones left out marks where its second begins, and the 100 go well inside that second.
    # Too large to answer, the datagrams that bring that line take nothing from the victim's 20.
    summaries = proxy.log().count("answers not sent")
    for _ in range(300):
        if proxy.log().count("answers not sent") > summaries:
            break
        stranger.send("FOO \r\nv:x\r\ni:t\r\n\r\n", proxy)
        time.sleep(0.01)
    time.sleep(0.1)
    begin = time.monotonic()
    for i in range(100):
        victim.send(victim.request("INVITE", "alice", "rate%d" % i, body=sdp(victim.ip)), proxy)
        time.sleep(max(0, begin + 0.004 * (i + 1) - time.monotonic()))
    answers = victim.received(0.1)
    print("FIGURE reflection rate: 100 requests in %.2f s, %d answers" %
          (time.monotonic() - begin - 0.1, len(answers)))
    loud = {name: ratio for name, ratio in out.items() if ratio > 1.5}
    if loud or not out["INVITE of a phone"]:
        raise Failure("more than 1.5 times the bytes out: %s; a phone's INVITE answered: %s" % (
            ", ".join("%s %.2f" % item for item in loud.items()), bool(out["INVITE of a phone"])))
    if not 1 <= len(answers) <= 20:
        raise Failure("%d answers to 100 requests within a second" % len(answers))


if __name__ == "__main__":
    main({"stall": (stall, []), "strangers": (strangers, []),
          "hoarding": (hoarding, ["htdigest"]), "reflection": (reflection, ["htdigest"])},
         __doc__)
