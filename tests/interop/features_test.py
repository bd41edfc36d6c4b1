#!/usr/bin/env python3
"""What phones do besides calling, through the headless program: features_test.py PROGRAM CASE.

Each case says what it shows. The SIPp cases compare what one end sent with what the other
received, header by header; their far end, bob, registers from Python and the 200 must list
his bindings."""

import re

from peers import (ALICE_IP, BOB_IP, STEP_S, Baresip, Failure, Linphone, Proxy, Socket,
                   established, finish, free_udp_port, main, read_text, sip, sipp, wait_until)

CAROL_IP = "127.0.0.3"
# Lines the proxy writes or consumes itself; every other one arrives as it was sent.
OWN_LINES = {"via", "route", "record-route", "max-forwards", "content-length"}


def ask(proxy, ip, lines):
    """Sends one request from a fresh socket on ip and returns the proxy's final answer."""
    end = Socket(ip)
    end.send(sip(*(line.replace("{at}", end.host) for line in lines)), proxy)
    answer = end.final(STEP_S)
    if not answer:
        raise Failure("no answer to:\n" + "\n".join(lines))
    return answer


def register(proxy, contacts, expires=600, cseq=1):
    """bob's REGISTER of these Contact values; returns the bindings its 200 lists, as
    (URI, expires) pairs."""
    answer = ask(proxy, BOB_IP, ["REGISTER sip:%s SIP/2.0" % proxy.address,
                                 "Via: SIP/2.0/UDP {at};branch=z9hG4bK-reg-%d" % cseq,
                                 "Max-Forwards: 70", "From: <sip:bob@%s>;tag=reg" % ALICE_IP,
                                 "To: <sip:bob@%s>" % ALICE_IP, "Call-ID: reg-bob@" + BOB_IP,
                                 "CSeq: %d REGISTER" % cseq] +
                 ["Contact: " + contact for contact in contacts] + ["Expires: %d" % expires])
    if not answer.startswith("SIP/2.0 200 "):
        raise Failure("REGISTER answered:\n" + answer)
    return [(uri, int(left)) for uri, left in
            re.findall(r"^Contact: <([^>]*)>;expires=(\d+)\r$", answer, re.M)]


def expect_bindings(listed, uris, expires=600):
    """The 200 lists exactly these URIs, in this order, each with (about) its lifetime."""
    if [uri for uri, _ in listed] != uris or any(not expires - 2 <= left <= expires
                                                 for _, left in listed):
        raise Failure("expected the bindings %s with expires=%d, the 200 listed %s" %
                      (uris, expires, listed))


def traced(path, direction):
    """The messages a SIPp -trace_msg file shows as sent or received, by first word (method or
    status code) and CSeq, the first copy of each: (header lines, body)."""
    found = {}
    pattern = re.compile(r"UDP message %s (?:\((\d+) bytes\)|\[(\d+)\] bytes ):\n\n" % direction)
    for block in re.split(r"\n-{20,}[^\n]*\n", "\n" + read_text(path)):
        match = pattern.match(block)
        if not match:
            continue
        # The datagram's size cuts off what the trace writes after it.
        size = int(match.group(1) or match.group(2))
        head, _, body = block[match.end():match.end() + size].partition("\r\n\r\n")
        first, *lines = head.split("\r\n")
        fields = [(name.strip().lower(), value.strip())
                  for name, _, value in (line.partition(":") for line in lines)]
        word = first.split()[1] if first.startswith("SIP/2.0") else first.split()[0]
        key = "%s (CSeq %s)" % (word, dict(fields).get("cseq"))
        found.setdefault(key, (fields, body))
    return found


def expect_carried(sender, receiver):
    """Everything one SIPp agent sent arrived at the other with every header line but the
    proxy's own, the same values in the same order for each name, and the same body with a
    Content-Length that matches it."""
    sent, received = traced(sender.trace, "sent"), traced(receiver.trace, "received")
    if not sent:
        raise Failure("no message sent in " + sender.trace)
    for key, (fields, body) in sent.items():
        if key not in received:
            raise Failure("%s sent %s, %s never received it" % (sender.name, key, receiver.name))
        got, got_body = received[key]
        wanted = sorted((f for f in fields if f[0] not in OWN_LINES), key=lambda f: f[0])
        arrived = sorted((f for f in got if f[0] not in OWN_LINES), key=lambda f: f[0])
        length = dict(got).get("content-length", "0")
        if arrived != wanted or got_body != body or int(length) != len(body.encode("latin-1")):
            raise Failure("%s: %s sent\n%s\n%r\n%s received\n%s\n%r\nContent-Length: %s" %
                          (key, sender.name, wanted, body, receiver.name, arrived, got_body,
                           length))


def unexpected(end):
    """What a SIPp end received but did not expect: the first line and CSeq of each."""
    return ["%s got %s (CSeq %s)" % (end.name, first, cseq) for first, cseq in
            re.findall(r"^Unexpected UDP message received:\n\n([^\r]*)\r\n(?:.*\r\n)*?"
                       r"CSeq: ([^\r]*)", read_text(end.trace), re.M)]


def sipp_pair(proxy, workdir, scenario, ends):
    """Runs the far end (bob, registered at its port) and alice's end of a scenario, and checks
    what each received from the other."""
    port = free_udp_port(BOB_IP)
    expect_bindings(register(proxy, ["<sip:bob@%s:%d>" % (BOB_IP, port)]),
                    ["sip:bob@%s:%d" % (BOB_IP, port)])
    far = sipp(workdir, ends[1], BOB_IP, scenario + "_" + ends[1] + ".xml", proxy, "bob", port)
    near = sipp(workdir, ends[0], ALICE_IP, scenario + "_" + ends[0] + ".xml", proxy, "bob")
    for end, ip in ((near, ALICE_IP), (far, BOB_IP)):
        end.ip, end.trace = ip, "%s/%s.messages" % (workdir, end.name)
    try:
        finish(near, far)
    except Failure as failure:
        # SIPp's exit status says little; what an end did not expect says what went wrong.
        found = unexpected(near) + unexpected(far)
        raise Failure("%s; unexpected: %s" % (failure, "; ".join(found) or "nothing")) from None
    expect_carried(near, far)
    expect_carried(far, near)
    return near, far


def passed(proxy, method, sender, receiver, times=1):
    """The proxy logged the request's receipt from sender and its relay to receiver, at least
    that often (a retransmission passes again)."""
    for line in ("Received '%s' from %s:%d" % (method, sender.ip, sender.port),
                 "Sending '%s' request to: %s:%d" % (method, receiver.ip, receiver.port)):
        if proxy.log().count(line) < times:
            raise Failure("expected %s %d time(s) in the proxy log" % (line, times))


def reliable_call(program, workdir):
    """A call with reliable ringing: the 180 keeps Require and RSeq, the PRACK and its 200
    pass, then alice's UPDATE (a new offer and answer) and bob's DTMF INFO, then the BYE."""
    proxy = Proxy(program, workdir)
    alice, bob = sipp_pair(proxy, workdir, "reliable", ("caller", "callee"))
    for method in ("PRACK", "UPDATE", "BYE"):
        passed(proxy, method, alice, bob)
    passed(proxy, "INFO", bob, alice)
    proxy.expect_statistics(CallAttempts=1, CompletedCalls=1, FailedCalls=0, Errors=0)
    proxy.stop()


def message_waiting(program, workdir):
    """A voicemail NOTIFY outside any dialog reaches bob's registered phone. bob's next REGISTER
    with two Contacts gets both listed; "Contact: *" with "Expires: 0" lists none, and a NOTIFY
    right after finds nobody."""
    proxy = Proxy(program, workdir)
    notifier, lamp = sipp_pair(proxy, workdir, "mwi", ("notifier", "lamp"))
    passed(proxy, "NOTIFY", notifier, lamp)
    proxy.expect_statistics(CallAttempts=0, Errors=0)
    lamp_uri = "sip:bob@%s:%d" % (BOB_IP, lamp.port)
    desk_uri = "sip:bob@%s:%d" % (CAROL_IP, free_udp_port(CAROL_IP))
    expect_bindings(register(proxy, ["<%s>, <%s>" % (lamp_uri, desk_uri)], 300, cseq=2),
                    [lamp_uri, desk_uri], 300)
    proxy.expect_statistics(Registrations=2)
    expect_bindings(register(proxy, ["*"], 0, cseq=3), [])
    answer = ask(proxy, ALICE_IP, ["NOTIFY sip:bob@%s SIP/2.0" % proxy.address,
                                   "Via: SIP/2.0/UDP {at};branch=z9hG4bK-late",
                                   "Max-Forwards: 70", "From: <sip:voicemail@{at}>;tag=late",
                                   "To: <sip:bob@%s>" % proxy.address, "Call-ID: late@{at}",
                                   "CSeq: 1 NOTIFY", "Event: message-summary"])
    if not answer.startswith("SIP/2.0 404 "):
        raise Failure("a NOTIFY to bob after 'Contact: *' was answered:\n" + answer)
    proxy.expect_statistics(Registrations=0)
    proxy.stop()


def presence(program, workdir):
    """alice subscribes to bob's presence, refreshes and ends the subscription; every SUBSCRIBE
    and NOTIFY of it passes the proxy, which lets the subscription go after the last NOTIFY."""
    proxy = Proxy(program, workdir)
    watcher, presentity = sipp_pair(proxy, workdir, "presence", ("watcher", "presentity"))
    passed(proxy, "SUBSCRIBE", watcher, presentity, 3)
    passed(proxy, "NOTIFY", presentity, watcher, 3)
    log, last = proxy.log(), "Sending '200 OK' to %s:%d" % (presentity.ip, presentity.port)
    if "Cleaning up call" not in log[log.rindex(last):]:
        raise Failure("the subscription was kept after its terminated NOTIFY was answered")
    proxy.expect_statistics(CallAttempts=0, Errors=0)
    proxy.stop()


def baresip_transfer(program, workdir):
    """alice calls bob; bob transfers her to carol (REFER): carol's phone rings with alice's
    call, she answers and they talk; bob hangs up once alice reports the transfer done."""
    proxy = Proxy(program, workdir)
    alice = Baresip(workdir, "alice", ALICE_IP, proxy)
    bob = Baresip(workdir, "bob", BOB_IP, proxy, answer="auto")
    carol = Baresip(workdir, "carol", CAROL_IP, proxy)
    for phone in (alice, bob, carol):
        phone.wait_for(r"^%s@.*200 OK \(\) \[1 binding\]" % phone.name, "its one binding")
    at = {phone: "%s:%d" % (phone.ip, phone.port) for phone in (alice, bob, carol)}
    alice.send("/dial sip:bob@" + proxy.address)
    bob.wait_for(r"Call established: sip:alice@", "the call with alice")
    bob.send("/transfer sip:carol@" + proxy.address)
    carol.wait_for(r"Incoming call from:\s+sip:alice@", "alice's call ringing")
    carol.send("/accept")
    established((alice, "carol"), (carol, "alice"), audio=False)
    carol.wait_for(r"incoming rtp for 'audio' established", "alice's audio")
    proxy.wait_for_log("Received 'REFER' from " + at[bob],
                       "Sending 'REFER' request to: " + at[alice],
                       "Sending '202 Accepted' to " + at[bob],
                       "Sending 'NOTIFY' request to: " + at[bob],
                       "Sending 'INVITE' request to: " + at[carol],
                       "Received 'BYE' from " + at[bob], "Sending 'BYE' request to: " + at[alice])
    # baresip writes "Call with ... terminated" only for calls of a second or more.
    alice.wait_for(r"^sip:bob@\S+: session closed", "bob's call ended")
    alice.send("/hangup")
    carol.wait_for(r"^sip:alice@\S+: session closed", "the call ended")
    proxy.wait_for_log("Sending 'BYE' request to: " + at[carol])
    # The second call completes with carol's 200 to the BYE, a moment after it is sent.
    wait_until(lambda: proxy.log().count("Call completed") == 2, "the second call completed")
    proxy.expect_statistics(CallAttempts=2, CompletedCalls=2, Errors=0)
    for phone in (alice, bob, carol):
        phone.quit()
    proxy.stop()


def linphone_chat(program, workdir):
    """alice and bob chat both ways; each text arrives whole, and each sender sees it
    delivered."""
    proxy = Proxy(program, workdir)
    alice, bob = (Linphone(workdir, name, ip, proxy) for name, ip in
                  (("alice", ALICE_IP), ("bob", BOB_IP)))
    if not (alice.registration() and bob.registration()):
        raise Failure("a phone failed to register")
    for sender, receiver, text in ((alice, bob, "Grüezi bob, are you there?"),
                                   (bob, alice, "Yes, in the lab until six.")):
        sender.send("chat sip:%s@%s %s" % (receiver.name, proxy.address, text))
        receiver.wait_for(r"Message received from sip:%s@\S+: %s$" %
                          (sender.name, re.escape(text.encode().decode("latin-1"))))
        sender.wait_for(r"Chat message \S+ of chat room .*: moving from InProgress to Delivered",
                        log=True)
        proxy.wait_for_log("Received 'MESSAGE' from %s:%d" % (sender.ip, sender.port),
                           "Sending 'MESSAGE' request to: %s:%d" % (receiver.ip, receiver.port))
    for phone in (alice, bob):
        phone.quit()
    proxy.expect_statistics(CallAttempts=0, Errors=0)
    proxy.stop()


CASES = {"sipp_reliable_call": (reliable_call, ["sipp"]),
         "sipp_message_waiting": (message_waiting, ["sipp"]),
         "sipp_presence": (presence, ["sipp"]),
         "baresip_transfer": (baresip_transfer, ["baresip"]),
         "linphone_chat": (linphone_chat, ["linphonec"])}

if __name__ == "__main__":
    main(CASES, __doc__)
