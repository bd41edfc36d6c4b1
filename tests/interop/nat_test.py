#!/usr/bin/env python3
"""Phones behind a real NAT: nat_test.py PROGRAM nat.

Three network namespaces made for the run (their names carry the run's process id):
  home     10.9.9.2/24, baresip alice and carol; its default route is the router
  router   10.9.9.1/24 inside, 198.51.100.1/24 outside; forwards, and an nftables rule
           masquerades what leaves towards the outside as 198.51.100.1
  outside  198.51.100.2/24 both proxies, .3 linphonec bob, .4 linphonec dave; no route to
           10.9.9.0/24, so the home phones are reached only through the router's mappings
Every link lives inside these namespaces, none touches the machine's own interfaces, and all
of them go when the run ends, however it ends. Skipped (77) where no namespace can be made."""

import contextlib
import ctypes
import os
import re
import shutil
import subprocess
import sys
import time

import peers
from peers import Baresip, Failure, Linphone, Proxy, read_text, run, wait_until

HOME_IP, ROUTER_IN, ROUTER_OUT = "10.9.9.2", "10.9.9.1", "198.51.100.1"
PROXY_IP, BOB_IP, DAVE_IP = "198.51.100.2", "198.51.100.3", "198.51.100.4"
KEEPALIVE_S = 4  # the keeping proxy's interval, well inside the router's shortened lifetime
MAPPING_S = 10  # the router's UDP mapping lifetime once shortened, replied or not
# Idle time before the last calls: three mapping lifetimes, seven keep-alive intervals. A
# mapping nothing crosses is gone after one lifetime, so a longer wait would prove no more.
IDLE_S = 3 * MAPPING_S
PREFIX = "tavrix-nat-"
NAMES = {part: "%s%d-%s" % (PREFIX, os.getpid(), part) for part in ("home", "router", "outside")}
peers.PACKAGES.update({"ip": "iproute2", "nft": "nftables", "sysctl": "procps"})
_libc = ctypes.CDLL(None, use_errno=True)


def ip(*args, stdin=None):
    result = subprocess.run(["ip"] + list(args), input=stdin, capture_output=True, text=True,
                            timeout=peers.STEP_S)
    if result.returncode != 0:
        raise Failure("ip %s: %s" % (" ".join(args), result.stderr.strip()))


def remove_leftovers():
    """Namespaces of earlier runs whose process is gone (killed before it could clean up)."""
    for name in subprocess.run(["ip", "netns", "list"], capture_output=True, text=True,
                               timeout=peers.STEP_S).stdout.split("\n"):
        found = re.match(r"%s(\d+)-\w+\b" % PREFIX, name)
        if found and not os.path.exists("/proc/" + found.group(1)):
            subprocess.run(["ip", "netns", "delete", found.group(0)], timeout=peers.STEP_S)


@contextlib.contextmanager
def inside(namespace):
    """Runs the block, and every child it starts, in the namespace; back here afterwards."""
    here = os.open("/proc/self/ns/net", os.O_RDONLY)
    there = os.open("/run/netns/" + namespace, os.O_RDONLY)
    try:
        if _libc.setns(there, 0x40000000) != 0:  # CLONE_NEWNET
            raise Failure("setns %s: %s" % (namespace, os.strerror(ctypes.get_errno())))
        yield
    finally:
        _libc.setns(here, 0x40000000)
        os.close(there)
        os.close(here)


def build():
    """The three namespaces' veth pairs (made in place), addresses, routes and NAT."""
    home, router, outside = NAMES["home"], NAMES["router"], NAMES["outside"]
    ip("-n", router, "link", "add", "inside", "type", "veth", "peer", "name", "lan", "netns", home)
    ip("-n", router, "link", "add", "outside", "type", "veth", "peer", "name", "wan", "netns",
       outside)
    for namespace, link, addresses in ((home, "lan", [HOME_IP]),
                                       (router, "inside", [ROUTER_IN]),
                                       (router, "outside", [ROUTER_OUT]),
                                       (outside, "wan", [PROXY_IP, BOB_IP, DAVE_IP])):
        for address in addresses:
            ip("-n", namespace, "address", "add", address + "/24", "dev", link)
        ip("-n", namespace, "link", "set", link, "up")
    for namespace in NAMES.values():
        ip("-n", namespace, "link", "set", "lo", "up")  # baresip's unused DNS server is here
    ip("-n", home, "route", "add", "default", "via", ROUTER_IN)
    ip("netns", "exec", router, "sysctl", "-qw", "net.ipv4.ip_forward=1")
    ip("netns", "exec", router, "nft", "-f", "-", stdin="table ip nat {\n chain out {\n"
       "  type nat hook postrouting priority srcnat;\n  oifname \"outside\" masquerade\n }\n}\n")


def shorten_mappings():
    """The router forgets a UDP mapping MAPPING_S after its last datagram, answered or not; a
    mapping made before takes the new lifetime at its next datagram."""
    for name in ("nf_conntrack_udp_timeout", "nf_conntrack_udp_timeout_stream"):
        ip("netns", "exec", NAMES["router"], "sysctl", "-qw",
           "net.netfilter.%s=%d" % (name, MAPPING_S))


def nat_counters(proxy):
    """The NAT counters of the proxy's metrics page, read from the outside namespace."""
    with inside(NAMES["outside"]):
        return {re.sub(r"^tavrix_nat_(\w+)_total$", r"\1", name): int(value)
                for name, value in peers.metrics(proxy).items() if name.startswith("tavrix_nat_")}


def occurrences(phone, pattern, count, what):
    """Waits until baresip's output holds pattern count times: it does not number its calls."""
    wait_until(lambda: len(re.findall(pattern, read_text(phone.output_path), re.M)) >= count,
               "%s: %s" % (phone.name, what))


def registered(proxy, phone):
    """Its REGISTER arrived from the router, naming the home address in Via and Contact; the
    200 found it there. The port the router gave it."""
    phone.registered(proxy)
    dump = re.search(r"SIP Read: IP=%s Port=(\d+)\n    REGISTER .*?\n    \n"
                     % re.escape(ROUTER_OUT), proxy.log(), re.S)
    named = "%s:%d" % (phone.ip, phone.port)
    if not (dump and "Via: SIP/2.0/UDP " + named in dump.group(0) and "@" + named in
            dump.group(0)):
        raise Failure("%s's REGISTER did not come through the router naming %s:\n%s"
                      % (phone.name, named, proxy.log()))
    return int(dump.group(1))


def linphone_call(phone, home, proxy, hangs_up, outward=False):
    """The linphonec outside rings the baresip phone at home, which answers by itself (outward:
    the other way round); one of them hangs up."""
    calls = len(re.findall(r"Call established", read_text(home.output_path)))
    if outward:
        phone.send("autoanswer enable")
        home.send("/dial sip:%s@%s" % (phone.name, proxy.address))
    else:
        phone.send("call sip:%s@%s" % (home.name, proxy.address))
    phone.wait_for(r"Call \d+ with \S+ connected\.")
    occurrences(home, r"Call established: sip:%s@" % phone.name, calls + 1, "the call")
    time.sleep(1)  # baresip reports the end only of a call that lasted a second
    if hangs_up is phone:
        phone.send("terminate")
    else:
        home.send("/hangup")
    phone.wait_for(r"Call \d+ with \S+ ended")
    occurrences(home, r"Call with sip:\S+ terminated", calls + 1, "the call ended")
    if outward:
        phone.send("autoanswer disable")


def nat(program, workdir):
    made = []
    try:
        for name in NAMES.values():
            ip("netns", "add", name)
            made.append(name)
        build()
        run_calls(program, workdir)
    finally:
        for name in made:  # with its links; the phones and proxies are gone by now
            subprocess.run(["ip", "netns", "delete", name], timeout=peers.STEP_S)


def run_calls(program, workdir):
    with inside(NAMES["outside"]):
        keeping, silent = (Proxy(program, "%s/%s" % (workdir, name), "--nat-keepalive",
                                 str(interval), "--metrics", PROXY_IP + ":0", ip=PROXY_IP)
                           for name, interval in (("keeping", KEEPALIVE_S), ("silent", 0)))
        bob, dave = (Linphone(workdir, name, address, proxy) for name, address, proxy in
                     (("bob", BOB_IP, keeping), ("dave", DAVE_IP, silent)))
    with inside(NAMES["home"]):
        alice = Baresip(workdir, "alice", HOME_IP, keeping, answer="auto")
        carol = Baresip(workdir, "carol", HOME_IP, silent, answer="auto")
    if not (bob.registration() and dave.registration()):
        raise Failure("a linphone outside failed to register")
    alice_mapped, carol_mapped = registered(keeping, alice), registered(silent, carol)
    print("FIGURE mapped: alice %s:%d -> %s:%d, carol %s:%d -> %s:%d" % (
        HOME_IP, alice.port, ROUTER_OUT, alice_mapped, HOME_IP, carol.port, ROUTER_OUT,
        carol_mapped), flush=True)

    # Calls both ways through the router, each side hanging up once.
    linphone_call(bob, alice, keeping, hangs_up=bob)
    linphone_call(bob, alice, keeping, hangs_up=alice)
    # From here a mapping lives MAPPING_S after its next datagram; until then it keeps the
    # lifetime it had. The two calls below cross both mappings under the new one: they work,
    # and afterwards only keep-alives cross them.
    shorten_mappings()
    linphone_call(bob, alice, keeping, hangs_up=bob, outward=True)  # the BYE reaches home too
    linphone_call(dave, carol, silent, hangs_up=dave)
    before = nat_counters(keeping)["keepalives_sent"]
    idle_from = time.monotonic()
    print("FIGURE idle: %d s with mappings of %d s, keep-alives every %d s on one proxy, none "
          "on the other" % (IDLE_S, MAPPING_S, KEEPALIVE_S), flush=True)
    time.sleep(IDLE_S)

    try:
        linphone_call(bob, alice, keeping, hangs_up=bob)
    except Failure as failure:
        raise Failure("alice not reached after %.0f s idle behind a %d s mapping, with "
                      "keep-alives every %d s: %s" % (time.monotonic() - idle_from, MAPPING_S,
                                                     KEEPALIVE_S, failure)) from None
    dave.send("call sip:carol@" + silent.address)
    silent.wait_for_log("Sending 'INVITE' request to: %s:%d" % (HOME_IP, carol.port))
    dave.wait_for(r"Call \d+ to \S+ in progress\.")
    time.sleep(5)  # the proxy's INVITE lands on a mapping the router forgot
    if len(re.findall(r"Call established", read_text(carol.output_path))) != 1:
        raise Failure("carol was reached with no keep-alives, %.0f s idle behind a %d s "
                      "mapping:\n%s" % (time.monotonic() - idle_from, MAPPING_S,
                                        read_text(carol.output_path)))
    dave.send("terminate")
    dave.wait_for(r"Call \d+ with \S+ ended")

    kept, left = nat_counters(keeping), nat_counters(silent)
    sent = kept["keepalives_sent"] - before
    print("FIGURE keep-alives: %d sent by the keeping proxy while idle (%d in all, %d OPTIONS "
          "lines in its log, %d bindings ended); %d by the silent one"
          % (sent, kept["keepalives_sent"], keeping.log().count("Sending 'OPTIONS'"),
             kept["bindings_ended"], left["keepalives_sent"]), flush=True)
    if sent < IDLE_S // KEEPALIVE_S - 1 or kept["bindings_ended"] or left["keepalives_sent"]:
        raise Failure("keep-alives: %s from the keeping proxy, %s from the silent one"
                      % (kept, left))
    for proxy in (keeping, silent):
        proxy.expect_statistics(Errors=0)
    for phone in (alice, carol, bob, dave):
        phone.quit()
    # carol's last REGISTER leaves from another port: her old one is the forgotten mapping's.
    keeping.wait_for_log("Unregistered 'alice'")
    silent.wait_for_log("Unregistered 'carol'")
    keeping.stop()
    silent.stop()


def main():
    if len(sys.argv) != 3 or sys.argv[2] != "nat":
        sys.exit(__doc__)
    probe = "%s%d-probe" % (PREFIX, os.getpid())
    made = shutil.which("ip") and subprocess.run(["ip", "netns", "add", probe],
                                                 capture_output=True, text=True)
    if made and made.returncode != 0:
        print("SKIP nat: no network namespace can be made here (%s; it needs root)"
              % made.stderr.strip(), flush=True)
        return 77
    if made:
        subprocess.run(["ip", "netns", "delete", probe], timeout=peers.STEP_S)
        remove_leftovers()
    return run("nat", ["ip", "nft", "sysctl", "baresip", "linphonec"],
               lambda workdir: nat(sys.argv[1], workdir))


if __name__ == "__main__":
    sys.exit(main())
