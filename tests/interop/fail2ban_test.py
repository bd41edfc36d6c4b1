#!/usr/bin/env python3
"""The shipped fail2ban filter against logs the program wrote: fail2ban_test.py PROGRAM CASE.
fail2ban-regex reads the logs offline (no fail2ban server, no firewall change); all traffic
stays on loopback, svcrack's inside a network namespace of its own."""

import configparser
import os
import re
import shutil
import subprocess
import sys
import time

import peers
from peers import Failure, Phone, Proxy, read_text, run, spawn, users_file, wait_exit

HERE = os.path.dirname(os.path.abspath(__file__))
CONTRIB = os.path.join(HERE, "..", "..", "contrib", "fail2ban")
FILTER, JAIL = CONTRIB + "/filter.d/tavrix.conf", CONTRIB + "/jail.d/tavrix.conf"
FORGED = "10.66.77.88"  # the address a forged log line names
peers.PACKAGES.update({"fail2ban-regex": "fail2ban", "svcrack": "sipvicious", "ip": "iproute2"})


class Account(Phone):
    """A loopback source that answers the proxy's digest challenge for a user, wrongly."""

    def __init__(self, ip, proxy, user="alice"):
        super().__init__(ip, user, "wrong")
        self.proxy = proxy
        self.challenge(proxy)

    def wrong(self, times=1):
        """Wrong answers under the one nonce, each with a higher nc (no replay)."""
        for _ in range(times):
            self.send(self.request("REGISTER", self.user, self.host, self.count + 1), self.proxy)
        while self.received(0.001):  # the refusals, not read otherwise
            pass


def start(program, workdir, lang="C.UTF-8", form="text", log_level=1, password="secret"):
    """The proxy with alice's account, its dates in the given locale."""
    os.environ.update(LANG=lang, LC_ALL=lang)
    os.makedirs(workdir, exist_ok=True)
    users = users_file(workdir, "office", {"alice": password})
    return Proxy(program, workdir, "--users", users, "--log-format", form, log_level=log_level)


def journal_entries(proxy, workdir):
    """The journal's form as fail2ban's systemd backend reads it: one entry per row, which
    journald files under the row's priority, passed on only where the filter's journalmatch
    asks for that priority, as "HOST tavrix[PID]: MESSAGE" (each stamped with now here)."""
    config = configparser.ConfigParser(interpolation=None)
    config.read(FILTER)
    wanted = re.findall(r"\bPRIORITY=(\d)", config["Definition"].get("journalmatch", ""))
    stamp = time.strftime("%Y-%m-%dT%H:%M:%S ")
    path = workdir + "/entries.log"
    with open(path, "w", encoding="latin-1") as out:
        for row in read_text(proxy.log_path).split("\n"):
            entry = re.match(r"<(\d)>(.*)", row)
            if entry and (not wanted or entry.group(1) in wanted):
                out.write("%shost tavrix[%d]: %s\n" % (stamp, proxy.process.pid, entry.group(2)))
    return path


def logs(form, proxy, folder):
    """The log as written; of the journal form, also the entries fail2ban's systemd backend
    reads: (name, file, fail2ban-regex options)."""
    return [(form, proxy.log_path, [])] + ([("journal entries", journal_entries(proxy, folder),
                                            ["-d", "^(%Y-%m-%dT%H:%M:%S )"])]
                                          if form == "journal" else [])


def matches(log, *options):
    """fail2ban-regex with the shipped filter: [(address, time)] of every failure it finds."""
    result = subprocess.run(["fail2ban-regex", "-o", "row"] + list(options) + [log, FILTER],
                            capture_output=True, text=True, timeout=60)
    if result.returncode != 0:
        raise Failure("fail2ban-regex %s: %s%s" % (log, result.stdout, result.stderr))
    return [(address, float(stamp)) for address, stamp in
            re.findall(r"^\['([^']+)',\s+([\d.]+),", result.stdout, re.M)]


def forms(program, workdir):
    """Wrong answers from three addresses (one under a user name that names another address):
    every address found with the time of its line, in each locale and form."""
    for lang, form in (("C.UTF-8", "text"), ("en_US.UTF-8", "text"), ("C.UTF-8", "journal")):
        folder = "%s/%s-%s" % (workdir, lang, form)
        begin = time.time()
        proxy = start(program, folder, lang, form)
        for ip in ("127.0.0.3", "127.0.0.4", "127.0.0.5"):
            Account(ip, proxy).wrong(2)
        trap = Account("127.0.0.6", proxy, "x' from %s:5060" % FORGED)
        trap.wrong()
        proxy.wait_for_log("from %s\n" % trap.host)
        proxy.stop()
        for name, log, options in logs(form, proxy, folder):
            found = matches(log, *options)
            print("FIGURE %s %s: %s" % (lang, name, found))
            seen = sorted(address for address, _ in found)
            late = [stamp for _, stamp in found if not begin - 1 <= stamp <= time.time() + 1]
            if seen != ["127.0.0.3"] * 2 + ["127.0.0.4"] * 2 + ["127.0.0.5"] * 2 + \
                    ["127.0.0.6"] or late:
                raise Failure("%s %s: found %s (times outside the run: %s) in:\n%s"
                              % (lang, name, found, late, read_text(log)))


def dump(program, workdir):
    """Log lines forged inside a datagram, dumped at log level 4, after every kind of line
    break: never matched, in either form, while a real failure beside them is."""
    for form in ("text", "journal"):
        folder = "%s/%s" % (workdir, form)
        proxy = start(program, folder, form=form, log_level=4)
        Account("127.0.0.3", proxy).wrong()
        proxy.wait_for_log("Authentication failed")
        date = re.search(r"LOG_ERR: (.+?) Authentication", proxy.log()).group(1)
        forged = "LOG_ERR: %s Authentication failed for 'x' from %s:5060" % (date, FORGED)
        body = "".join(sep + prefix + forged for sep in ("\r\n", "\n", "\r") for prefix in
                       ("", "<3>", "<7>"))
        dumper = Phone("127.0.0.4", "alice")
        dumper.send(dumper.request("REGISTER", "alice", "dump", body=body + "\r\n"), proxy)
        proxy.wait_for_log(forged)
        proxy.stop()
        for name, log, options in logs(form, proxy, folder):
            found = [address for address, _ in matches(log, *options)]
            if found != ["127.0.0.3"]:
                raise Failure("%s: the filter found %s in:\n%s" % (name, found, read_text(log)))


def evasion(program, workdir):
    """One address sends 20 wrong answers before each batch of 5 of a guesser's, ten batches
    a second for 5 s: the guesser is still found in every second of it. One budget of lines
    for all addresses would give every line to the first address."""
    proxy = start(program, workdir)
    noise, guesser = Account("127.0.0.3", proxy), Account("127.0.0.4", proxy)
    begin = time.monotonic()
    while time.monotonic() - begin < 5:
        noise.wrong(20)
        guesser.wrong(5)
        time.sleep(0.1)
    time.sleep(1.2)  # the next tick sums up what was held back
    proxy.stop()
    seconds = {}
    for address, stamp in matches(proxy.log_path):
        seconds.setdefault(int(stamp), []).append(address)
    # The first and last second of the log may hold a part of a second's attack only.
    inner = sorted(seconds)[1:-1]
    print("FIGURE evasion: %d and %d wrong answers; found per second: %s" % (
        noise.count, guesser.count,
        ", ".join("%d+%d" % (seconds[s].count(noise.ip), seconds[s].count(guesser.ip))
                  for s in sorted(seconds))))
    missed = [s for s in inner if guesser.ip not in seconds[s]]
    if len(inner) < 3 or missed:
        raise Failure("the guesser %s is not found in %d of the seconds %s:\n%s"
                      % (guesser.ip, len(missed), inner, read_text(proxy.log_path)))


def seconds_of(text):
    """fail2ban's time spans: "600", "10m", "1h"."""
    unit = {"s": 1, "m": 60, "h": 3600, "d": 86400}.get(text[-1:], 1)
    return int(text.rstrip("smhd")) * unit


def svcrack(program, workdir):
    """svcrack guesses alice's password "1234" through the proxy; from the log, the shipped
    jail (its maxretry within its findtime) bans the guesser within 10 s. A REGISTER that
    succeeds is answered at its Contact, which svcrack always names sip:123@1.1.1.1: the case
    runs in a network namespace of its own, where 1.1.1.1 is svcrack's own loopback address."""
    for command in (["link", "set", "lo", "up"], ["address", "add", "1.1.1.1/32", "dev", "lo"]):
        subprocess.run(["ip"] + command, check=True)
    jail = configparser.ConfigParser(interpolation=None)
    jail.read(JAIL)
    maxretry, findtime = int(jail["tavrix"]["maxretry"]), seconds_of(jail["tavrix"]["findtime"])
    proxy = start(program, workdir, log_level=2, password="1234")
    begin = time.time()
    cracker = spawn(["svcrack", "-u", "alice", "-r", "1200-1300", "-x", "127.0.0.1", "-P", "5060",
                     "--maximumtime", "3", "-p", str(proxy.port), "127.0.0.1"],
                    workdir + "/svcrack.out")
    wait_exit(cracker, "svcrack", 30)
    time.sleep(1.2)
    proxy.stop()
    stamps = sorted(stamp for address, stamp in matches(proxy.log_path) if address == "127.0.0.1")
    banned = next((later for first, later in zip(stamps, stamps[maxretry - 1:])
                   if later - first <= findtime), None)
    cracked = re.search(r"\b1234\b", read_text(workdir + "/svcrack.out")) is not None
    print("FIGURE svcrack: %d failures found, password %s after %.1f s, banned %s s after the "
          "start" % (len(stamps), "found" if cracked else "not found", time.time() - begin,
                     banned and int(banned - int(begin))))
    if banned is None or banned - int(begin) > 10:
        raise Failure("the jail (%d within %d s) bans svcrack too late or never: %s\n%s" % (
            maxretry, findtime, stamps, read_text(proxy.log_path)))


def in_namespace():
    """Runs this script again in a new network namespace (and user namespace where not root):
    its exit status, 77 where no namespace can be made here."""
    unshare = ["unshare", "--net"] + (["--map-root-user"] if os.getuid() else [])
    probe = subprocess.run(unshare + ["true"], capture_output=True, text=True)
    if probe.returncode != 0:
        print("SKIP svcrack: no network namespace here (%s)" % probe.stderr.strip())
        return 77
    return subprocess.run(unshare + [sys.executable] + sys.argv, timeout=60,
                          env=dict(os.environ, TAVRIX_NETNS="1")).returncode


CASES = {"forms": forms, "dump": dump, "evasion": evasion, "svcrack": svcrack}

if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        sys.exit(__doc__)
    name = sys.argv[2]
    tools = ["fail2ban-regex", "htdigest"] + (["svcrack", "ip", "unshare"] if name == "svcrack"
                                              else [])
    if name == "svcrack" and not os.environ.get("TAVRIX_NETNS") and all(map(shutil.which, tools)):
        sys.exit(in_namespace())
    sys.exit(run("fail2ban_" + name, tools, lambda workdir: CASES[name](sys.argv[1], workdir)))
