#!/usr/bin/env python3
"""Two baresip soft phones call each other through the headless proxy.

alice (127.0.0.1) and bob (127.0.0.2) each run baresip with a configuration made for this
run: SIP on a free loopback port, G.711 only, a sine tone as the microphone and a bridge
nobody listens to as the loudspeaker, no STUN, TURN or ICE. Each is driven through its
stdio interface from a FIFO. Both register, alice dials bob, bob answers automatically,
alice hangs up after about two seconds, both quit (unregistering).

Checked: each registration (the proxy's log and the phone's own output), the call established
on both sides with audio flowing each way, the ACK and the BYE received and passed on by the
proxy, the hang-up seen by bob, the exact statistics line after the call and after both
unregistered, and each baresip ending with status 0. The SIP traces of both phones (-s) and
the proxy's log (level 4) are kept after a failure.

Usage: softphone_call.py PROGRAM
"""

import glob
import os
import re
import sys
import time

from interop_support import (ALICE_IP, BOB_IP, Failure, Proxy, free_udp_port, read_text,
                             run_test, spawn, wait_exit, wait_until)

# How long the call lasts before alice hangs up.
TALK_S = 2.0
# baresip quits by itself after this long, whatever happens.
BARESIP_LIFETIME_S = 60
# How long a registration asks for; far longer than the test.
REGISTRATION_S = 600
# The longest wait for any one step.
STEP_S = 10


def module_path():
    for pattern in ("/usr/lib/baresip/modules", "/usr/lib/*/baresip/modules",
                    "/usr/local/lib/baresip/modules"):
        for found in sorted(glob.glob(pattern)):
            if os.path.exists(os.path.join(found, "stdio.so")):
                return found
    raise Failure("no baresip module directory with stdio.so (install baresip-core)")


class Phone:
    """One baresip user agent with its own configuration directory and command FIFO."""

    def __init__(self, name, ip, proxy, workdir, answermode):
        self.name = name
        self.ip = ip
        self.port = free_udp_port(ip)
        self.dir = os.path.join(workdir, name)
        os.mkdir(self.dir)
        with open(os.path.join(self.dir, "config"), "w") as config:
            config.write("\n".join([
                "module_path\t" + module_path(),
                "poll_method\tepoll",
                # SIP and media on this agent's own loopback address; a name lookup, should
                # one happen, goes to a loopback port where nothing answers.
                "net_interface\t" + ip,
                "sip_listen\t%s:%d" % (ip, self.port),
                "dns_server\t%s:%d" % (ALICE_IP, free_udp_port(ALICE_IP)),
                "call_local_timeout\t%d" % STEP_S,
                "call_max_calls\t1",
                # A sine tone as microphone; the loudspeaker is a bridge nobody listens to.
                "audio_source\tausine,440",
                "ausrc_srate\t48000",
                "ausrc_channels\t2",
                "audio_player\taubridge,%s-speaker" % name,
                "audio_alert\taubridge,%s-alert" % name,
                "module\tstdio.so",
                "module\tg711.so",
                "module\tausine.so",
                "module\taubridge.so",
                "module_tmp\taccount.so",
                "module_app\tmenu.so",
                "",
            ]))
        with open(os.path.join(self.dir, "accounts"), "w") as accounts:
            accounts.write("<sip:%s@%s>;regint=%d;answermode=%s;audio_codecs=pcmu\n"
                           % (name, proxy.address, REGISTRATION_S, answermode))
        self.fifo = os.path.join(workdir, name + ".commands")
        os.mkfifo(self.fifo)
        # Held open for writing as well, so the phone never reads the end of its input.
        self.commands = os.open(self.fifo, os.O_RDWR)
        # -s writes every SIP message sent and received into this output.
        self.output_path = os.path.join(workdir, name + ".out")
        output = open(self.output_path, "wb")
        self.process = spawn(["baresip", "-f", self.dir, "-v", "-s",
                              "-t", str(BARESIP_LIFETIME_S)],
                             stdin=self.commands, stdout=output, cwd=self.dir)
        output.close()

    def output(self):
        return read_text(self.output_path)

    def send(self, command):
        os.write(self.commands, (command + "\n").encode())

    def wait_for(self, pattern, what):
        """Waits until the output matches the regular expression."""
        def seen():
            if re.search(pattern, self.output(), re.MULTILINE):
                return True
            if self.process.poll() is not None:
                raise Failure("%s's baresip exited with status %d while waiting for %s" %
                              (self.name, self.process.returncode, what))
            return False

        wait_until(seen, STEP_S, "%s: %s (/%s/ in its output)" % (self.name, what, pattern))

    def quit(self):
        """Quits (unregistering first); baresip must end with status 0."""
        self.send("/quit")
        status = wait_exit(self.process, STEP_S, "%s's baresip after /quit" % self.name)
        os.close(self.commands)
        if status != 0:
            raise Failure("%s's baresip exited with status %d" % (self.name, status))


def routes_match(routes, phones):
    """The listing holds one route per phone, to the Contact it registered from."""
    patterns = [r"%s linked to sip:%s[^@]*@%s:%d$" % (phone.name, phone.name,
                                                       re.escape(phone.ip), phone.port)
                for phone in phones]
    return len(routes) == len(patterns) and all(
        any(re.match(pattern, route) for route in routes) for pattern in patterns)


def body(program, workdir):
    proxy = Proxy(program, workdir)

    bob = Phone("bob", BOB_IP, proxy, workdir, "auto")
    alice = Phone("alice", ALICE_IP, proxy, workdir, "manual")
    for phone in (alice, bob):
        proxy.wait_for_log("User '%s' successfully registered at '%s:%d'" %
                           (phone.name, phone.ip, phone.port), STEP_S)
        phone.wait_for(r"^%s@.*200 OK" % phone.name, "its registration answered")

    alice.send("/dial sip:bob@" + proxy.address)
    alice.wait_for(r"Call established: sip:bob@", "the call established")
    bob.wait_for(r"Call established: sip:alice@", "the call established")
    # The offer and the answer crossed the proxy intact: each side hears the other. (Media
    # sockets are bound to any address, so both send from 127.0.0.1.)
    alice.wait_for(r"incoming rtp for 'audio' established, receiving from 127\.", "bob's audio")
    bob.wait_for(r"incoming rtp for 'audio' established, receiving from 127\.", "alice's audio")
    proxy.wait_for_log("Received 'ACK' from %s:%d" % (alice.ip, alice.port), STEP_S)
    proxy.wait_for_log("Sending 'ACK' request to: %s:%d" % (bob.ip, bob.port), STEP_S)

    time.sleep(TALK_S)
    alice.send("/hangup")
    # A BYE from the far end closes baresip's session with "Connection reset by peer".
    bob.wait_for(r"session closed: Connection reset by peer", "alice's BYE")
    bob.wait_for(r"Call with sip:alice@\S+ terminated", "the call ended")
    alice.wait_for(r"Call with sip:bob@\S+ terminated", "the call ended")
    # The proxy's receipt line for a BYE names the caller, whichever side sent it.
    proxy.wait_for_log("Received 'BYE' from %s:%d" % (alice.ip, alice.port), STEP_S)
    proxy.wait_for_log("Sending 'BYE' request to: %s:%d" % (bob.ip, bob.port), STEP_S)
    proxy.wait_for_log("Call completed", STEP_S)

    line, routes = proxy.statistics()
    expected = ("Statistics: Registrations=2 CallAttempts=1 FailedCalls=0 CompletedCalls=1 "
                "Errors=0 LastRoute=bob")
    if line != expected or not routes_match(routes, (alice, bob)):
        raise Failure("after the call\n  expected: %s (and a route to each phone)\n"
                      "  got:      %s %s" % (expected, line, routes))

    # On the way out each phone unregisters (Expires 0): gone on the next tick.
    alice.quit()
    bob.quit()
    for phone in (alice, bob):
        proxy.wait_for_log("Unregistered '%s' from %s:%d'" % (phone.name, phone.ip, phone.port),
                           STEP_S)
    proxy.expect_statistics("Statistics: Registrations=0 CallAttempts=1 FailedCalls=0 "
                            "CompletedCalls=1 Errors=0 LastRoute=bob", [])
    proxy.stop()


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    return run_test("softphone_call", ["baresip"], lambda workdir: body(sys.argv[1], workdir))


if __name__ == "__main__":
    sys.exit(main())
