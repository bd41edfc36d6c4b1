#!/usr/bin/env python3
"""Calls to a user of two phones, through the headless program: forking_test.py PROGRAM CASE.

bob has two baresip phones on 127.0.0.2, a desk phone and a mobile, each registered from a port
of its own; alice (linphonec, 127.0.0.1) calls him once per row of CALLS. Every call rings both
phones; the row says what each of them does, and the case checks what the phones, alice and
the proxy's log show. Then alice's text to bob reaches both phones.

The other cases write the SIP of all three ends themselves: alice's INVITE sent twice while
both phones ring (forking_invite_retransmitted); a call answered and ended before the other
phone answers the proxy's CANCEL, while the table is full (forking_late_cancel_answer)."""

import re
import time

from peers import (ALICE_IP, BOB_IP, STEP_S, Baresip, Failure, Linphone, Proxy, Socket, answer,
                   header, main, sdp, sip, wait_until)

# What each of bob's phones does while the call rings: answers it, declines it, or just rings
# (it is cancelled when the other answers or alice gives up); then who hangs up an answered
# call. alice gives up on a call nobody takes.
CALLS = (("the desk phone answers", "answers", "rings", "alice"),
         ("the mobile answers the next", "rings", "answers", "bob"),
         ("both decline", "declines", "declines", None),
         ("alice gives up", "rings", "rings", None))

INCOMING = r"Incoming call from:\s+sip:alice@"
CLOSED = r"^\r?sip:alice@\S+: session closed"


def forking_two_devices(program, workdir, bob_ip=BOB_IP):
    proxy = Proxy(program, workdir)
    desk, mobile = (Baresip(workdir, name, bob_ip, proxy, user="bob")
                    for name in ("desk", "mobile"))
    alice = Linphone(workdir, "alice", ALICE_IP, proxy)
    for phone in (desk, mobile):
        phone.registered(proxy, "bob")
    if not alice.registration():
        raise Failure("alice failed to register")
    at = {phone: "%s:%d" % (phone.ip, phone.port) for phone in (alice, desk, mobile)}
    bob = "sip:bob@" + proxy.address

    def count(text):
        return proxy.log().count(text)

    for number, (what, *acts, ender) in enumerate(CALLS, 1):
        try:
            relayed_failures = count("Sending '486 Busy Here' to " + at[alice])
            alice.send("call " + bob)
            for phone in (desk, mobile):
                phone.wait_next("the call ringing", INCOMING)
            wait_until(lambda: count("Forking 'INVITE' to 2 bindings of 'bob'") == number,
                       "the proxy's fork of call %d" % number)
            # Both phones' 180 reach alice, each with its own To tag; linphone reports one.
            call = alice.wait_for(r"Call (\d+) to \S+ ringing\.").group(1)
            acts = dict(zip((desk, mobile), acts))
            answerer = next((phone for phone, act in acts.items() if act == "answers"), None)
            if answerer:
                answerer.send("/accept")
                alice.wait_for(r"Call %s with \S+ connected\." % call)
                answerer.wait_next("the call established", r"Call established: sip:alice@")
            elif "declines" in acts.values():
                for phone in (desk, mobile):
                    phone.send("/hangup")
                    phone.wait_next("its refusal", r"rejecting incoming call .*\(486 ")
                # The proxy waits for every branch, then relays the best failure once.
                alice.wait_for(r"Call %s with \S+ error\." % call)
                alice.wait_for(r"^SIP/2.0 486 Busy Here\r?$", log=True)
            else:
                # Her CANCEL answered by the proxy, then her INVITE with a 487.
                alice.send("terminate")
                alice.wait_for(r"Call %s with \S+ ended \(No error\)\." % call)
                alice.wait_for(r"\[client\] \[CANCEL\] transaction \[\w+\], from state "
                               r"\[TRYING\] to \[COMPLETED\]", log=True)
                alice.wait_for(r"^SIP/2.0 487 Request Terminated\r?$", log=True)
                proxy.wait_for_log("Sending '487 Request Terminated' to " + at[alice])
            for phone, act in acts.items():
                if act == "rings":  # cancelled by the proxy, its 487 acknowledged
                    phone.wait_next("the proxy's CANCEL", r"^CANCEL sip:bob\S*@%s SIP/2.0\r?$"
                                    % re.escape(at[phone]))
                    phone.wait_next("the ringing stopped", r"^ACK sip:bob\S* SIP/2.0\r?$",
                                    CLOSED)
                    proxy.wait_for_log("Sending 'CANCEL' request to: " + at[phone])
                elif act == "declines":  # the proxy acknowledged its 486 itself
                    phone.wait_next("the ACK of its 486", r"^ACK sip:bob\S* SIP/2.0\r?$")
            if answerer and ender == "alice":
                alice.send("terminate")
                alice.wait_for(r"Call %s with \S+ ended \(No error\)\." % call)
                answerer.wait_next("the call ended", r"^BYE sip:bob\S* SIP/2.0\r?$", CLOSED)
                proxy.wait_for_log("Sending 'BYE' request to: " + at[answerer])
            elif answerer:
                answerer.send("/hangup")
                alice.wait_for(r"Call %s with \S+ ended \(No error\)\." % call)
                answerer.wait_next("the 200 for its BYE",
                                   r"^SIP/2.0 200 OK\r?\n(?:.+\n)*?CSeq: \d+ BYE\r?$")
                proxy.wait_for_log("Received 'BYE' from " + at[answerer],
                                   "Sending 'BYE' request to: " + at[alice])
            elif "declines" in acts.values():
                proxy.wait_for_log("ACK of a failed forked call taken")
                log = proxy.log()
                relay = log.rindex("Sending '486 Busy Here' to " + at[alice])
                if count("Sending '486 Busy Here' to " + at[alice]) != relayed_failures + 1 or \
                        any(log.rindex("Got '486 Rejected' from '%s'" % at[phone]) > relay
                            for phone in (desk, mobile)):
                    raise Failure("expected one 486 relayed to alice after both phones "
                                  "declined:\n" + "\n".join(
                                      line for line in log.splitlines()
                                      if "'486 " in line))
        except Failure as failure:
            raise Failure("call %d (%s): %s" % (number, what, failure)) from None
    # A text to bob reaches both phones; alice gets one 200, the later one goes no further.
    answers = count("Sending '200 OK' to " + at[alice])
    alice.send("chat %s Lunch at noon?" % bob)
    for phone in (desk, mobile):
        phone.wait_next("alice's text", r'^\r?sip:alice@\S+: "Lunch at noon\?"')
    alice.wait_for(r"Chat message \S+ of chat room .*: moving from InProgress to Delivered",
                   log=True)
    proxy.wait_for_log("Forking 'MESSAGE' to 2 bindings of 'bob'",
                       "Later answer to a forked 'MESSAGE' from ")
    if count("Sending '200 OK' to " + at[alice]) != answers + 1:
        raise Failure("expected one 200 relayed to alice's MESSAGE, the log has %d" %
                      (count("Sending '200 OK' to " + at[alice]) - answers))
    # Only the call alice gave up on brought her a 487; no branch's 2xx came twice.
    if count("Sending '487 Request Terminated' to " + at[alice]) != 1:
        raise Failure("expected one 487 relayed to alice, the log has %d" %
                      count("Sending '487 Request Terminated' to " + at[alice]))
    if "Another branch answered the call too" in proxy.log():
        raise Failure("a cancelled phone's branch answered too")
    proxy.expect_statistics(Registrations=3, CallAttempts=len(CALLS), CompletedCalls=3,
                            FailedCalls=0, Errors=0)
    for phone in (desk, mobile, alice):
        phone.quit()
    proxy.stop()


class Agent(Socket):
    """A SIP end whose messages are written and read here."""

    def __init__(self, ip, proxy):
        super().__init__(ip)
        self.at, self.proxy, self.inbox = self.host, proxy, []

    def receive(self, first, call_id, timeout=STEP_S):
        """The next message whose first line begins with first, of that Call-ID; the others
        wait for a later call. None after timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            for message in self.inbox:
                if message.startswith(first) and header(message, "Call-ID") == call_id:
                    self.inbox.remove(message)
                    return message
            if time.monotonic() >= deadline:
                return None
            self.inbox += self.received(deadline - time.monotonic(), first=True)

    def expect(self, first, call_id):
        message = self.receive(first, call_id)
        if message is None:
            raise Failure("%s: no '%s' of %s within %d s" % (self.at, first, call_id, STEP_S))
        return message

    def answer(self, request, status, tag):
        self.send(answer(request, status, "sip:bob@" + self.at, tag=tag), self.proxy)

    def register(self, user):
        self.send(sip("REGISTER sip:%s SIP/2.0" % self.proxy.address,
                      "Via: SIP/2.0/UDP %s;branch=z9hG4bK-reg-%s" % (self.at, user),
                      "Max-Forwards: 70", "From: <sip:%s@%s>;tag=reg" % (user, ALICE_IP),
                      "To: <sip:%s@%s>" % (user, ALICE_IP), "Call-ID: reg-" + self.at,
                      "CSeq: 1 REGISTER", "Contact: <sip:%s@%s>" % (user, self.at),
                      "Expires: 600"), self.proxy)
        self.expect("SIP/2.0 200 ", "reg-" + self.at)

    def request(self, method, call_id, cseq, target, to_tag=""):
        """alice's request of a call: an INVITE (with an offer) to bob, or one in the dialog
        with bob's phone of that tag, through the proxy (its Record-Route)."""
        self.send(sip("%s %s SIP/2.0" % (method, target),
                      "Via: SIP/2.0/UDP %s;branch=z9hG4bK-%s-%s-%d;rport" % (self.at, call_id,
                                                                             method, cseq),
                      "Max-Forwards: 70",
                      *(["Route: <sip:%s;lr>" % self.proxy.address] if to_tag else []),
                      "From: <sip:alice@%s>;tag=alice-%s" % (ALICE_IP, call_id),
                      "To: <sip:bob@%s>%s" % (ALICE_IP, to_tag and ";tag=" + to_tag),
                      "Call-ID: " + call_id, "CSeq: %d %s" % (cseq, method),
                      "Contact: <sip:alice@%s>" % self.at,
                      *(["Content-Type: application/sdp"] if method == "INVITE" else []),
                      body=sdp(self.ip) if method == "INVITE" else ""), self.proxy)


def registered_ends(proxy):
    """bob's desk phone and mobile on 127.0.0.2 and alice on 127.0.0.1, each registered."""
    desk, mobile, alice = Agent(BOB_IP, proxy), Agent(BOB_IP, proxy), Agent(ALICE_IP, proxy)
    for agent, user in ((desk, "bob"), (mobile, "bob"), (alice, "alice")):
        agent.register(user)
    return desk, mobile, alice


def top_branch(message):
    return header(message, "Via").split("branch=")[1].split(";")[0]


def invite_retransmitted(program, workdir):
    """alice sends her INVITE again (its 100 Trying came late) while both phones ring. A phone
    may get the INVITE again on the branch it knows (its transaction takes it), never on
    another: that would be a second request of the same call, which the phone refuses with 482
    (RFC 3261 8.2.2.2). The desk phone then answers, and alice gets its 200."""
    proxy = Proxy(program, workdir)
    desk, mobile, alice = registered_ends(proxy)
    alice.request("INVITE", "call", 1, "sip:bob@" + proxy.address)
    invite = {phone: phone.expect("INVITE ", "call") for phone in (desk, mobile)}
    for phone, tag in ((desk, "desk"), (mobile, "mobile")):
        phone.answer(invite[phone], "180 Ringing", tag)
    alice.expect("SIP/2.0 180 ", "call")
    alice.request("INVITE", "call", 1, "sip:bob@" + proxy.address)  # the same bytes again
    faults = []
    deadline = time.monotonic() + 1
    for phone, name in ((desk, "desk"), (mobile, "mobile")):
        while (again := phone.receive("INVITE ", "call", deadline - time.monotonic())):
            if top_branch(again) != top_branch(invite[phone]):
                faults.append("the %s got the INVITE again on branch %s, the first on %s" %
                              (name, top_branch(again), top_branch(invite[phone])))
                phone.answer(again, "482 Loop Detected", name + "-again")
    desk.answer(invite[desk], "200 OK", "desk")
    final = alice.receive("SIP/2.0 ", "call")
    while final and final.startswith("SIP/2.0 1"):
        final = alice.receive("SIP/2.0 ", "call")
    if final is None or not final.startswith("SIP/2.0 200 "):
        faults.append("alice's INVITE was answered %s" % (final and final.split("\r\n")[0]))
    if faults:
        raise Failure("; ".join(faults))
    proxy.stop()


def late_cancel_answer(program, workdir):
    """The desk phone answers at once and the call is over before the mobile answers the
    proxy's CANCEL; the next call finds the table full. The mobile's 200 and 487 still end its
    branch: the proxy acknowledges the 487 and logs no error."""
    proxy = Proxy(program, workdir, "--max-calls", "4")  # three bindings and one call
    desk, mobile, alice = registered_ends(proxy)
    bob = "sip:bob@" + proxy.address
    alice.request("INVITE", "first", 1, bob)
    invite = {phone: phone.expect("INVITE ", "first") for phone in (desk, mobile)}
    mobile.answer(invite[mobile], "180 Ringing", "mobile")
    desk.answer(invite[desk], "200 OK", "desk")
    alice.expect("SIP/2.0 200 ", "first")
    cancel = mobile.expect("CANCEL ", "first")
    target = "sip:bob@" + desk.at
    alice.request("ACK", "first", 1, target, "desk")
    desk.expect("ACK ", "first")
    alice.request("BYE", "first", 2, target, "desk")
    desk.answer(desk.expect("BYE ", "first"), "200 OK", "desk")
    alice.expect("SIP/2.0 200 ", "first")
    # The next call wants the table's last slot (it may be refused with 503).
    alice.request("INVITE", "second", 1, bob)
    alice.expect("SIP/2.0 ", "second")
    mobile.answer(cancel, "200 OK", "mobile")
    mobile.answer(invite[mobile], "487 Request Terminated", "mobile")
    if mobile.receive("ACK ", "first", 2) is None:
        raise Failure("the mobile's 487 was not acknowledged; the proxy logged:\n" + "\n".join(
            line for line in proxy.log().splitlines() if line.startswith("LOG_ERR")))
    errors = [line for line in proxy.log().splitlines()
              if line.startswith("LOG_ERR") and mobile.at in line]
    if errors:
        raise Failure("the mobile's answers were logged as errors:\n" + "\n".join(errors))
    proxy.stop()


if __name__ == "__main__":
    main({"forking_two_devices": (forking_two_devices, ["baresip", "linphonec"]),
          "forking_one_address": (lambda p, w: forking_two_devices(p, w, bob_ip=ALICE_IP),
                                  ["baresip", "linphonec"]),
          "forking_invite_retransmitted": (invite_retransmitted, []),
          "forking_late_cancel_answer": (late_cancel_answer, [])}, __doc__)
