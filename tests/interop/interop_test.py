#!/usr/bin/env python3
"""One interop case against the headless program: interop_test.py PROGRAM CASE.

alice is on 127.0.0.1 and bob on 127.0.0.2; each case checks what the peers report, what the
proxy logged on the way, and its statistics."""

import sys
import time

from peers import (ALICE_IP, BOB_IP, Baresip, Failure, Proxy, finish, free_udp_port, run,
                   sipp)


def sipp_call(program, workdir):
    """A call with SDP both ways through the default route, to SIPp's own callee."""
    callee_port = free_udp_port(BOB_IP)
    proxy = Proxy(program, workdir, "--default-route", "%s:%d" % (BOB_IP, callee_port))
    callee = sipp(workdir, "callee", BOB_IP, "uas", proxy, "callee", callee_port)
    time.sleep(0.3)  # the callee binds before the call comes
    finish(sipp(workdir, "caller", ALICE_IP, "uac_call.xml", proxy, "longname"), callee)
    proxy.wait_for_log("Sending 'ACK' request to: %s:%d" % (BOB_IP, callee_port),
                       "Sending 'BYE' request to: %s:%d" % (BOB_IP, callee_port))
    proxy.expect_statistics(CallAttempts=1, CompletedCalls=1, LastRoute="longname")
    proxy.stop()


def sipp_cancel(program, workdir):
    callee_port = free_udp_port(BOB_IP)
    proxy = Proxy(program, workdir, "--default-route", "%s:%d" % (BOB_IP, callee_port))
    callee = sipp(workdir, "callee", BOB_IP, "uas_cancel.xml", proxy, "callee", callee_port)
    time.sleep(0.3)
    finish(sipp(workdir, "caller", ALICE_IP, "uac_cancel.xml", proxy, "longname"), callee)
    proxy.wait_for_log("Sending 'CANCEL' request to: %s:%d" % (BOB_IP, callee_port))
    proxy.expect_statistics(CallAttempts=1, CompletedCalls=1, FailedCalls=0)
    proxy.stop()


def baresip_call(program, workdir):
    """Two soft phones register, alice calls, bob answers by himself, alice hangs up."""
    proxy = Proxy(program, workdir)
    bob = Baresip(workdir, "bob", BOB_IP, proxy, answer="auto")
    alice = Baresip(workdir, "alice", ALICE_IP, proxy)
    for phone in (alice, bob):
        proxy.wait_for_log("User '%s' successfully registered at '%s:%d'" %
                           (phone.name, phone.ip, phone.port))
        phone.wait_for(r"^%s@.*200 OK" % phone.name, "its registration answered")
    alice.send("/dial sip:bob@" + proxy.address)
    for phone, other in ((alice, "bob"), (bob, "alice")):
        phone.wait_for(r"Call established: sip:%s@" % other, "the call established")
        phone.wait_for(r"incoming rtp for 'audio' established", "the other's audio")
    proxy.wait_for_log("Sending 'ACK' request to: %s:%d" % (bob.ip, bob.port))
    time.sleep(1)  # a moment of audio both ways
    alice.send("/hangup")
    bob.wait_for(r"Call with sip:alice@\S+ terminated", "the call ended")
    alice.wait_for(r"Call with sip:bob@\S+ terminated", "the call ended")
    proxy.wait_for_log("Sending 'BYE' request to: %s:%d" % (bob.ip, bob.port), "Call completed")
    proxy.expect_statistics(Registrations=2, CallAttempts=1, CompletedCalls=1, Errors=0)
    alice.quit()
    bob.quit()
    for phone in (alice, bob):  # unregistered on the way out, gone on the next tick
        proxy.wait_for_log("Unregistered '%s'" % phone.name)
    proxy.expect_statistics(Registrations=0)
    proxy.stop()


CASES = {"sipp_call": (sipp_call, ["sipp"]), "sipp_cancel": (sipp_cancel, ["sipp"]),
         "baresip_call": (baresip_call, ["baresip"])}

if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        sys.exit(__doc__)
    case, programs = CASES[sys.argv[2]]
    sys.exit(run(sys.argv[2], programs, lambda workdir: case(sys.argv[1], workdir)))
