#!/usr/bin/env python3
"""SIPp agents against the headless proxy, one case per run.

alice is a SIPp agent on 127.0.0.1 and bob one on 127.0.0.2, each on a port picked at run
time: the proxy tells the two legs of a call apart by their IP alone. Each agent registers
from the port it later calls or answers on, since the proxy sends the answer to a REGISTER,
and later the calls, to the registered Contact. Every case checks each SIPp exit status (0:
the scenario ran to its end) and the statistics line and route listing printed on SIGUSR1.

Usage: sipp_cases.py PROGRAM CASE    (CASE: register, call, busy, cancel, unknown_user,
                                       registration_expiry)
"""

import os
import re
import sys

from interop_support import (ALICE_IP, BOB_IP, Failure, Proxy, free_udp_port, read_text,
                             run_test, spawn, udp_bound, wait_exit, wait_until)

HERE = os.path.dirname(os.path.abspath(__file__))
# Each SIPp call gives up after this long without the message it waits for.
RECV_TIMEOUT_MS = 4000
# A SIPp run that has not ended by now is killed and fails the case.
SIPP_DEADLINE_S = 15


def stats_line(registrations, attempts=0, failed=0, completed=0, errors=0, last_route=""):
    return ("Statistics: Registrations=%d CallAttempts=%d FailedCalls=%d CompletedCalls=%d "
            "Errors=%d LastRoute=%s" % (registrations, attempts, failed, completed, errors,
                                        last_route))


class Agent:
    """One user's SIPp runs, all from the same address and port."""

    def __init__(self, name, ip, proxy, workdir):
        self.name = name
        self.ip = ip
        self.port = free_udp_port(ip)
        self.proxy = proxy
        self.workdir = workdir
        self.contact = "sip:%s@%s:%d" % (name, ip, self.port)
        self.runs = 0

    def start(self, scenario, service, keys=()):
        """Starts SIPp on the scenario for one call; returns the process."""
        self.runs += 1
        stem = os.path.join(self.workdir, "%s-%d-%s" % (self.name, self.runs,
                                                         scenario.replace(".xml", "")))
        args = ["sipp", "-sf", os.path.join(HERE, scenario), "-s", service,
                "-i", self.ip, "-bind_local", "-p", str(self.port),
                "-m", "1", "-nostdin", "-recv_timeout", str(RECV_TIMEOUT_MS),
                "-trace_msg", "-message_file", stem + ".messages",
                "-trace_err", "-error_file", stem + ".errors"]
        for key, value in keys:
            args += ["-key", key, value]
        args.append(self.proxy.address)
        screen = open(stem + ".screen", "wb")
        process = spawn(args, stdout=screen, cwd=self.workdir)
        screen.close()
        process.what = "%s's SIPp (%s)" % (self.name, scenario)
        process.stem = stem
        return process

    def wait_listening(self, process):
        """Waits until the SIPp process has bound its socket."""
        wait_until(lambda: udp_bound(self.ip, self.port) or process.poll() is not None, 5,
                   "%s to bind %s:%d" % (process.what, self.ip, self.port))

    def run(self, scenario, service, keys=()):
        process = self.start(scenario, service, keys)
        finish(process)
        return process

    def register(self, expires=3600):
        self.run("register.xml", self.name, [("expires", str(expires))])


def finish(process):
    """Waits for a SIPp run; its exit status must be 0 (every call successful)."""
    status = wait_exit(process, SIPP_DEADLINE_S, process.what)
    if status != 0:
        raise Failure("%s exited with status %d (see %s.*)" % (process.what, status,
                                                               process.stem))


def call_pair(alice, bob, alice_scenario, bob_scenario):
    """bob's scenario waits for the INVITE while alice's runs; both must succeed, and every
    response alice got must carry her own Via alone. Returns both SIPp runs."""
    callee = bob.start(bob_scenario, bob.name)
    bob.wait_listening(callee)
    caller = alice.start(alice_scenario, bob.name)
    finish(caller)
    finish(callee)
    expect_own_vias(caller)
    return caller, callee


def traced_messages(process):
    """The messages of a SIPp run's trace: (sent or received, first line, Via values)."""
    messages = []
    text = read_text(process.stem + ".messages")
    for block in re.split(r"^-{10,}.*$", text, flags=re.MULTILINE)[1:]:
        lines = [line.strip() for line in block.splitlines()]
        header = next((line for line in lines if line.startswith("UDP message")), "")
        body = [line for line in lines[lines.index(header) + 1:] if line] if header else []
        if body:
            vias = [line[len("Via:"):].strip() for line in body if line.startswith("Via:")]
            messages.append(("sent" if " sent " in header else "received", body[0], vias))
    return messages


def branch(via):
    match = re.search(r";branch=([^;,\s]+)", via)
    return match.group(1) if match else ""


def expect_same_branch(process, method):
    """The proxy forwards method with its INVITE's branch, so the callee's INVITE transaction
    takes it (a CANCEL, or the ACK of a final answer other than 2xx)."""
    tops = {}
    for direction, first, vias in traced_messages(process):
        if direction == "received" and not first.startswith("SIP/2.0") and vias:
            tops.setdefault(first.split(" ")[0], set()).add(branch(vias[0]))
    if not tops.get("INVITE") or tops.get(method) != tops["INVITE"]:
        raise Failure("the %s did not come with the INVITE's branch: %s (see %s.messages)" %
                      (method, tops, process.stem))


def expect_own_vias(process):
    """Every response that reached the caller carries exactly the Via of one of its own
    requests: the proxy took its own off a relayed response, and added none to its own."""
    sent = {vias[0] for direction, first, vias in traced_messages(process)
            if direction == "sent" and vias}
    for direction, first, vias in traced_messages(process):
        if direction == "received" and (len(vias) != 1 or vias[0] not in sent):
            raise Failure("'%s' reached the caller with Via %s (see %s.messages)" %
                          (first, vias, process.stem))


def registered_pair(proxy, workdir):
    alice = Agent("alice", ALICE_IP, proxy, workdir)
    bob = Agent("bob", BOB_IP, proxy, workdir)
    alice.register()
    bob.register()
    return alice, bob


def case_register(proxy, workdir):
    alice, bob = registered_pair(proxy, workdir)
    proxy.expect_statistics(stats_line(2),
                            ["alice linked to " + alice.contact, "bob linked to " + bob.contact])


def case_call(proxy, workdir):
    alice, bob = registered_pair(proxy, workdir)
    call_pair(alice, bob, "uac_call.xml", "uas_answer.xml")
    proxy.expect_statistics(stats_line(2, attempts=1, completed=1, last_route="bob"),
                            ["alice linked to " + alice.contact, "bob linked to " + bob.contact])


def case_busy(proxy, workdir):
    alice, bob = registered_pair(proxy, workdir)
    _, callee = call_pair(alice, bob, "uac_busy.xml", "uas_busy.xml")
    expect_same_branch(callee, "ACK")
    proxy.expect_statistics(stats_line(2, attempts=1, last_route="bob"),
                            ["alice linked to " + alice.contact, "bob linked to " + bob.contact])


def case_cancel(proxy, workdir):
    alice, bob = registered_pair(proxy, workdir)
    _, callee = call_pair(alice, bob, "uac_cancel.xml", "uas_cancel.xml")
    expect_same_branch(callee, "CANCEL")
    # The 200 for the CANCEL ends the call and counts it as completed.
    proxy.expect_statistics(stats_line(2, attempts=1, completed=1, last_route="bob"),
                            ["alice linked to " + alice.contact, "bob linked to " + bob.contact])


def case_unknown_user(proxy, workdir):
    alice, bob = registered_pair(proxy, workdir)
    expect_own_vias(alice.run("uac_not_found.xml", "carol"))
    proxy.expect_statistics(stats_line(2, attempts=1, failed=1, last_route="carol"),
                            ["alice linked to " + alice.contact, "bob linked to " + bob.contact])


def case_registration_expiry(proxy, workdir):
    alice = Agent("alice", ALICE_IP, proxy, workdir)
    bob = Agent("bob", BOB_IP, proxy, workdir)
    alice.register()
    # A lifetime of N seconds ends on the (N + 1)th tick of the one-second timer.
    bob.register(expires=2)
    proxy.expect_statistics(stats_line(2),
                            ["alice linked to " + alice.contact, "bob linked to " + bob.contact])
    proxy.wait_for_log("Unregistered 'bob' from %s:%d'" % (BOB_IP, bob.port), 6)
    proxy.expect_statistics(stats_line(1), ["alice linked to " + alice.contact])
    # bob is gone: a call to him is now a call to an unknown short name.
    alice.run("uac_not_found.xml", "bob")
    proxy.expect_statistics(stats_line(1, attempts=1, failed=1, last_route="bob"),
                            ["alice linked to " + alice.contact])


CASES = {
    "register": case_register,
    "call": case_call,
    "busy": case_busy,
    "cancel": case_cancel,
    "unknown_user": case_unknown_user,
    "registration_expiry": case_registration_expiry,
}


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        print(__doc__, file=sys.stderr)
        return 2
    program, case = sys.argv[1], sys.argv[2]

    def body(workdir):
        proxy = Proxy(program, workdir)
        CASES[case](proxy, workdir)
        proxy.stop()

    return run_test("sipp_" + case, ["sipp"], body)


if __name__ == "__main__":
    sys.exit(main())
