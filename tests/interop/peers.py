"""Shared pieces of the interop tests: the headless proxy, child processes, free ports.

Everything stays on loopback. Every child is killed when the test ends, however it ends: the
kernel kills it when the driver dies (PR_SET_PDEATHSIG), and the driver kills what is left
on its way out.
"""

import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ALICE_IP = "127.0.0.1"
BOB_IP = "127.0.0.2"

_PR_SET_PDEATHSIG = 1
_children = []
_proxies = []


class Failure(Exception):
    """A check that did not hold; its text says what was expected and what came."""


def _die_with_parent():
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def spawn(args, stdout, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=None, cwd=None):
    """Starts a child that dies with this process; its output goes to the given files."""
    child = subprocess.Popen(args, stdin=stdin, stdout=stdout, stderr=stderr, env=env, cwd=cwd,
                             preexec_fn=_die_with_parent, start_new_session=True)
    _children.append(child)
    return child


def kill_all():
    """Kills every child still running, each by its own id, and reaps it."""
    for child in _children:
        if child.poll() is None:
            child.kill()
        try:
            child.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass


def _on_signal(signum, _frame):
    kill_all()
    sys.exit(128 + signum)


# The Debian package that brings each peer program.
PACKAGES = {"sipp": "sip-tester", "baresip": "baresip-core"}


def missing_programs(names):
    """What is missing of the peer programs, as a message naming the packages; empty if none."""
    missing = [name for name in names if shutil.which(name) is None]
    if not missing:
        return ""
    return "missing program(s): %s (install %s, e.g. with scripts/install-deps.sh test)" % (
        ", ".join(missing), ", ".join(PACKAGES.get(name, name) for name in missing))


def free_udp_port(ip):
    """A UDP port free on ip right now, chosen by the kernel."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind((ip, 0))
        return sock.getsockname()[1]


def udp_bound(ip, port):
    """True when some socket is bound to ip:port (read from /proc/net/udp)."""
    wanted = "%s:%04X" % ("".join("%02X" % int(part) for part in reversed(ip.split("."))), port)
    with open("/proc/net/udp") as table:
        return any(line.split()[1] == wanted for line in list(table)[1:])


def wait_until(predicate, timeout, what):
    """Polls predicate every 20 ms until it holds; fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    if predicate():
        return
    raise Failure("timed out after %.1f s waiting for %s" % (timeout, what))


def wait_exit(child, timeout, what):
    """Waits for a child to end; a child that does not end in time is killed and fails."""
    try:
        return child.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
        raise Failure("%s did not finish within %.0f s" % (what, timeout)) from None


def read_text(path):
    try:
        with open(path, "rb") as handle:
            return handle.read().decode("latin-1")
    except FileNotFoundError:
        return ""


class Proxy:
    """The headless program on a free port, its log (stdout) and its stderr kept in files."""

    def __init__(self, program, workdir, log_level=4):
        self.log_path = os.path.join(workdir, "proxy.log")
        self.err_path = os.path.join(workdir, "proxy.stderr")
        self._log = open(self.log_path, "wb")
        self._err = open(self.err_path, "wb")
        self.process = spawn([program, "--headless", "--port", "0", "--local-ip", ALICE_IP,
                              "--log-level", str(log_level)],
                             stdout=self._log, stderr=self._err)
        self.stopped = False
        _proxies.append(self)
        found = {}

        def listening():
            match = re.search(r"listening on UDP port (\d+)", read_text(self.err_path))
            if match:
                found["port"] = int(match.group(1))
            elif self.process.poll() is not None:
                raise Failure("the proxy exited with status %d before listening:\n%s" %
                              (self.process.returncode, read_text(self.err_path)))
            return match is not None

        wait_until(listening, 10, "the proxy to listen")
        self.port = found["port"]
        self.address = "%s:%d" % (ALICE_IP, self.port)

    def log(self):
        """The log so far, with its CR LF line ends made LF."""
        return read_text(self.log_path).replace("\r\n", "\n")

    def wait_for_log(self, text, timeout, what=None):
        wait_until(lambda: text in self.log(), timeout, what or repr(text) + " in the proxy log")

    def statistics(self):
        """Sends SIGUSR1; returns the statistics line and the route listing it printed."""
        before = read_text(self.err_path).count("Statistics:")
        self.process.send_signal(signal.SIGUSR1)
        wait_until(lambda: read_text(self.err_path).count("Statistics:") > before, 5,
                   "the statistics after SIGUSR1")
        # The line and its listing come in one write; a moment more makes sure it is whole.
        time.sleep(0.05)
        text = read_text(self.err_path)
        block = text[text.rindex("Statistics:"):].split("\r\n")
        return block[0], [line for line in block[1:] if line]

    def expect_statistics(self, line, routes):
        """Checks the statistics line and the routes listing exactly."""
        got_line, got_routes = self.statistics()
        if got_line != line or sorted(got_routes) != sorted(routes):
            raise Failure("statistics differ\n  expected: %s\n            %s\n  got:      %s\n"
                          "            %s" % (line, routes, got_line, got_routes))

    def stop(self):
        """SIGTERM; the program must end with status 0."""
        self.stopped = True
        self.process.send_signal(signal.SIGTERM)
        status = wait_exit(self.process, 5, "the proxy after SIGTERM")
        self._log.close()
        self._err.close()
        if status != 0:
            raise Failure("the proxy exited with status %d after SIGTERM" % status)


def run_test(name, programs, body):
    """Runs body(workdir) with every child killed afterwards. The work directory, with every
    log and trace, is kept and its path printed after a failure (or with TAVRIX_KEEP_TRACES
    set); it is removed after a pass. A missing peer program fails the test at once."""
    missing = missing_programs(programs)
    if missing:
        print("FAIL %s: %s" % (name, missing), file=sys.stderr)
        return 1
    signal.signal(signal.SIGTERM, _on_signal)
    signal.signal(signal.SIGINT, _on_signal)
    workdir = tempfile.mkdtemp(prefix="tavrix-%s-" % name)
    # Said at once, so the traces can be found even if the test is killed on its timeout.
    print("traces go to " + workdir, flush=True)
    try:
        body(workdir)
    except Failure as failure:
        for proxy in _proxies:
            if not proxy.stopped and proxy.process.poll() is not None:
                print("the proxy had ended by itself, with status %d" % proxy.process.returncode,
                      file=sys.stderr)
        kill_all()
        print("FAIL %s: %s" % (name, failure), file=sys.stderr)
        print("traces kept in " + workdir, file=sys.stderr)
        return 1
    except BaseException:
        kill_all()
        print("traces kept in " + workdir, file=sys.stderr)
        raise
    kill_all()
    if os.environ.get("TAVRIX_KEEP_TRACES"):
        print("PASS %s (traces in %s)" % (name, workdir))
    else:
        shutil.rmtree(workdir, ignore_errors=True)
        print("PASS " + name)
    return 0
