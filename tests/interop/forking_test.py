#!/usr/bin/env python3
"""Calls to a user of two phones, through the headless program: forking_test.py PROGRAM CASE.

bob has two baresip phones on 127.0.0.2, a desk phone and a mobile, each registered from a port
of its own; alice (linphonec, 127.0.0.1) calls him once per row of CALLS. Every call rings both
phones; the row says what each of them does, and the case checks what the phones, alice and
the proxy's log show. Then alice's text to bob reaches both phones."""

import re
import sys

from peers import ALICE_IP, BOB_IP, Baresip, Failure, Linphone, Proxy, run, wait_until

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
        proxy.wait_for_log("User 'bob' successfully registered at '%s:%d'" % (bob_ip, phone.port))
        phone.wait_for(r"^bob@.*200 OK", "its registration answered")
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


CASES = {"forking_two_devices": (forking_two_devices, ["baresip", "linphonec"]),
         "forking_one_address": (lambda p, w: forking_two_devices(p, w, bob_ip=ALICE_IP),
                                 ["baresip", "linphonec"])}

if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        sys.exit(__doc__)
    case, programs = CASES[sys.argv[2]]
    sys.exit(run(sys.argv[2], programs, lambda workdir: case(sys.argv[1], workdir)))
