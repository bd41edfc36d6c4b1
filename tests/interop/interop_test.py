#!/usr/bin/env python3
"""One interop case against the headless program: interop_test.py PROGRAM CASE.

alice is on 127.0.0.1 and bob on 127.0.0.2; each case checks what the peers report, what the
proxy logged on the way, and its statistics."""

import time

from peers import (ALICE_IP, BOB_IP, Baresip, Failure, Linphone, Proxy, established, finish,
                   free_udp_port, main, sipp, users_file, wait_exit, wait_until)

PASSWORDS = {"alice": "alice-secret", "bob": "bob-secret", "caller": "caller-secret"}


def authenticating(program, workdir, *options):
    """A proxy that asks for the credentials of the users above, from an htdigest file."""
    return Proxy(program, workdir, "--users", users_file(workdir, "office", PASSWORDS), *options)


def sipp_auth(program, workdir):
    """SIPp registers and calls with credentials and SDP through the default route, to SIPp's
    own callee; with a wrong password it is refused."""
    callee_port = free_udp_port(BOB_IP)
    proxy = authenticating(program, workdir, "--default-route", "%s:%d" % (BOB_IP, callee_port))
    callee = sipp(workdir, "callee", BOB_IP, "uas", proxy, "callee", callee_port)
    credentials = ["-au", "caller", "-ap", PASSWORDS["caller"]]
    caller = sipp(workdir, "register", ALICE_IP, "uac_register_auth.xml", proxy, "x",
                  extra=credentials)
    finish(caller)
    finish(sipp(workdir, "caller", ALICE_IP, "uac_auth.xml", proxy, "longname", caller.port,
                credentials), callee)
    proxy.expect_statistics(Registrations=1, CallAttempts=1, CompletedCalls=1)
    wrong = sipp(workdir, "wrong", ALICE_IP, "uac_register_auth.xml", proxy, "x",
                 extra=["-au", "caller", "-ap", "guess"])
    if wait_exit(wrong, "the SIPp with a wrong password", 15) == 0:
        raise Failure("a wrong password was accepted")
    proxy.wait_for_log("Authentication failed for 'caller' from %s:%d" % (ALICE_IP, wrong.port))
    proxy.stop()


def baresip_call(program, workdir, hangs_up="alice", bob_ip=BOB_IP, auth=False):
    """Two soft phones register, alice calls, bob answers by himself, one hangs up."""
    proxy = authenticating(program, workdir) if auth else Proxy(program, workdir)
    password = (lambda user: ";auth_pass=" + PASSWORDS[user]) if auth else (lambda user: "")
    bob = Baresip(workdir, "bob", bob_ip, proxy, answer="auto", account=password("bob"))
    alice = Baresip(workdir, "alice", ALICE_IP, proxy, account=password("alice"))
    for phone in (alice, bob):
        phone.registered(proxy)
    alice.send("/dial sip:bob@" + proxy.address)
    established((alice, "bob"), (bob, "alice"))
    proxy.wait_for_log("Sending 'ACK' request to: %s:%d" % (bob.ip, bob.port))
    time.sleep(1)  # a moment of audio both ways
    ender, other = (alice, bob) if hangs_up == "alice" else (bob, alice)
    ender.send("/hangup")
    for phone in (other, ender):
        phone.wait_for(r"Call with sip:\S+ terminated", "the call ended")
    proxy.wait_for_log("Received 'BYE' from %s:%d" % (ender.ip, ender.port),
                       "Sending 'BYE' request to: %s:%d" % (other.ip, other.port), "Call completed")
    proxy.expect_statistics(Registrations=2, CallAttempts=1, CompletedCalls=1, Errors=0)
    if auth:  # a third phone with a wrong password is refused
        mallory = Baresip(workdir, "caller", "127.0.0.3", proxy, account=";auth_pass=guess")
        mallory.wait_for(r"403 Forbidden", "the refusal")
        mallory.quit()
    for phone in (alice, bob):  # unregistered on the way out, gone on the next tick
        phone.quit()
        proxy.wait_for_log("Unregistered '%s'" % phone.name)
    proxy.expect_statistics(Registrations=0)
    proxy.stop()


def linphone(program, workdir, scenario, auth=False):
    """Two linphone phones through the proxy: every request of the call passes it."""
    proxy = authenticating(program, workdir) if auth else Proxy(program, workdir)
    alice, bob = (Linphone(workdir, name, ip, proxy, (PASSWORDS[name], "office") if auth else None)
                  for name, ip in (("alice", ALICE_IP), ("bob", BOB_IP)))
    if not (alice.registration() and bob.registration()):
        raise Failure("a phone failed to register")
    if auth and Linphone(workdir, "caller", "127.0.0.3", proxy, ("guess", "office")).registration():
        raise Failure("a wrong password was accepted")
    at = {alice: "%s:%d" % (ALICE_IP, alice.port), bob: "%s:%d" % (BOB_IP, bob.port)}

    def passed(method, sender, receiver):
        proxy.wait_for_log("Received '%s' from %s" % (method, at[sender]),
                           "Sending '%s' request to: %s" % (method, at[receiver]))

    def ended(reasons):
        for phone, reason in zip((alice, bob), reasons):
            phone.wait_for(r"Call 1 with \S+ ended \(%s\)\." % reason)

    if scenario in ("declines", "cancels"):
        alice.send("call sip:bob@" + proxy.address)
        alice.wait_for(r"Call 1 to \S+ ringing\.")
        (bob if scenario == "declines" else alice).send("terminate")
        if scenario == "declines":
            ended(("Call declined", "Call declined"))
            proxy.wait_for_log("Got '603 Decline'", "Sending '603 Decline' to " + at[alice])
        else:
            ended(("No error", "Not answered"))
            passed("CANCEL", alice, bob)
            proxy.wait_for_log("Sending '487 Request Terminated' to " + at[alice])
            passed("ACK", alice, bob)
    else:
        bob.send("autoanswer enable")
        alice.send("call sip:bob@" + proxy.address)
        for phone in (alice, bob):
            phone.wait_for(r"Call 1 with \S+ connected\.")
        passed("ACK", alice, bob)
        if scenario == "holds":
            alice.send("pause")
            alice.wait_for(r"Call 1 with \S+ is now paused\.")
            bob.wait_for(r"Call 1 has been paused by sip:alice@")
            alice.send("resume")
            bob.wait_for(r"Media streams established with \S+ for call 1")
            wait_until(lambda: proxy.log().count("Received 'INVITE' from " + at[alice]) == 2,
                       "hold and resume through the proxy")
        ender, other = (bob, alice) if scenario == "callee_hangs_up" else (alice, bob)
        ender.send("terminate")
        ended(("No error", "No error"))
        passed("BYE", ender, other)
    if scenario != "declines":
        proxy.wait_for_log("Call completed")
    for phone in (alice, bob):
        phone.quit()
    proxy.expect_statistics(CallAttempts=1, Errors=1 if auth else 0)
    proxy.stop()


CASES = {"baresip_call": (baresip_call, ["baresip"]),
         "baresip_callee_hangs_up": (lambda p, w: baresip_call(p, w, hangs_up="bob"), ["baresip"]),
         "baresip_one_address": (lambda p, w: baresip_call(p, w, bob_ip=ALICE_IP), ["baresip"]),
         "sipp_auth": (sipp_auth, ["sipp", "htdigest"]),
         "baresip_auth": (lambda p, w: baresip_call(p, w, auth=True), ["baresip", "htdigest"]),
         "linphone_auth": (lambda p, w: linphone(p, w, "caller_hangs_up", auth=True),
                           ["linphonec", "htdigest"])}
for scenario in ("caller_hangs_up", "callee_hangs_up", "holds", "declines", "cancels"):
    CASES["linphone_" + scenario] = (lambda p, w, s=scenario: linphone(p, w, s), ["linphonec"])

if __name__ == "__main__":
    main(CASES, __doc__)
