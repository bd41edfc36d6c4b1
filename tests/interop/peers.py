"""Real SIP peers against the headless program, on loopback only: the proxy, SIPp agents and
baresip soft phones, each a child process that dies with the test (PR_SET_PDEATHSIG) and is
killed on the way out. Every wait is bounded."""

import ctypes
import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

ALICE_IP, BOB_IP = "127.0.0.1", "127.0.0.2"
STEP_S = 10  # the longest wait for any one step
PACKAGES = {"sipp": "sip-tester", "baresip": "baresip-core", "linphonec": "linphone-cli",
            "htdigest": "apache2-utils"}
_children = []


class Failure(Exception):
    """A check that did not hold; its text says what was expected and what came."""


def spawn(args, output, stdin=subprocess.DEVNULL, cwd=None, env=None):
    """Starts a child that dies with this process, its output (and errors) into a file."""
    def die_with_parent():
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    with open(output, "wb") as out:
        child = subprocess.Popen(args, stdin=stdin, stdout=out, stderr=subprocess.STDOUT,
                                 cwd=cwd, env=env, preexec_fn=die_with_parent,
                                 start_new_session=True)
    _children.append(child)
    return child


def free_udp_port(ip):
    family = socket.AF_INET6 if ":" in ip else socket.AF_INET
    with socket.socket(family, socket.SOCK_DGRAM) as sock:
        sock.bind((ip, 0))
        return sock.getsockname()[1]


def read_text(path):
    try:
        with open(path, "rb") as handle:
            return handle.read().decode("latin-1")
    except FileNotFoundError:
        return ""


def wait_until(predicate, what, timeout=STEP_S):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise Failure("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(0.02)


def wait_exit(child, what, timeout=STEP_S):
    try:
        return child.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        raise Failure("%s did not finish within %.0f s" % (what, timeout)) from None


class Proxy:
    """The headless program on a free port of 127.0.0.1 (or ip), its log (stdout) kept in a
    file."""

    def __init__(self, program, workdir, *options, log_level=4, ip=ALICE_IP):
        # The log (standard output) and the reports (standard error) share one file.
        os.makedirs(workdir, exist_ok=True)
        self.log_path = workdir + "/proxy.log"
        self.process = spawn([program, "--headless", "--port", "0", "--local-ip", ip,
                              "--log-level", str(log_level)] + list(options), self.log_path)
        found = {}

        def listening():
            match = re.search(r"listening on UDP port (\d+)", read_text(self.log_path))
            if self.process.poll() is not None:
                raise Failure("the proxy exited early:\n" + read_text(self.log_path))
            found["port"] = match and int(match.group(1))
            return match is not None
        wait_until(listening, "the proxy to listen")
        self.port = found["port"]
        self.address = "%s:%d" % (ip, self.port)

    def log(self):
        return read_text(self.log_path).replace("\r\n", "\n")

    def wait_for_log(self, *texts):
        for text in texts:
            wait_until(lambda: text in self.log(), repr(text) + " in the proxy log")

    def statistics(self):
        """The statistics line and the routes (sorted) that SIGUSR1 prints."""
        before = self.log().count("Statistics:")
        self.process.send_signal(signal.SIGUSR1)
        wait_until(lambda: self.log().count("Statistics:") > before, "the statistics")
        time.sleep(0.05)  # the line and its listing come in one write
        block = self.log()[self.log().rindex("Statistics:"):].split("\n")
        routes = []
        for line in block[1:]:
            if " linked to " not in line:
                break
            routes.append(line)
        return block[0], sorted(routes)

    def expect_statistics(self, **counts):
        line = self.statistics()[0]
        for name, value in counts.items():
            if " %s=%s" % (name, value) not in " " + line + " ":
                raise Failure("expected %s=%s in: %s" % (name, value, line))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        if wait_exit(self.process, "the proxy after SIGTERM") != 0:
            raise Failure("the proxy exited with status %d" % self.process.returncode)


def listener(proxy, transport, host=ALICE_IP):
    """The port the proxy's banner names for a transport ("TLS") on a host ("[::1]")."""
    pattern = r"^Listening on %s %s:(\d+)$" % (transport, re.escape(host))
    wait_until(lambda: re.search(pattern, proxy.log(), re.M), "the %s listener" % transport)
    return int(re.search(pattern, proxy.log(), re.M).group(1))


def metrics(proxy):
    """The samples of the metrics page of a proxy started with --metrics: {'name{labels}':
    value} as the page writes them."""
    url = re.search(r"Metrics at (http://\S+)/metrics", proxy.log()).group(1)
    with urllib.request.urlopen(url + "/metrics", timeout=STEP_S) as page:
        return {m.group(1): float(m.group(2)) for m in
                re.finditer(r"^(\w+(?:\{.*\})?) (\S+)$", page.read().decode(), re.M)}


def users_file(workdir, realm, passwords):
    """An htdigest users file of the passwords, made by Apache's htdigest itself."""
    path = workdir + "/users"
    for i, (user, password) in enumerate(passwords.items()):
        subprocess.run(["htdigest"] + (["-c"] if i == 0 else []) + [path, realm, user],
                       input=("%s\n%s\n" % (password, password)).encode(), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return path


def sipp(workdir, name, ip, scenario, proxy, service, port=None, extra=()):
    """Starts one SIPp call: a built-in scenario ("uac", "uas") or an XML file here."""
    port = port or free_udp_port(ip)
    where = ["-sn", scenario] if scenario in ("uac", "uas") else \
        ["-sf", os.path.join(os.path.dirname(os.path.abspath(__file__)), scenario)]
    child = spawn(["sipp"] + where + ["-s", service, "-i", ip, "-p", str(port), "-m", "1",
                                      "-nostdin", "-recv_timeout", "4000", "-trace_msg",
                                      "-message_file", "%s/%s.messages" % (workdir, name)] +
                  list(extra) + [proxy.address], "%s/%s.out" % (workdir, name), cwd=workdir)
    child.name, child.port = name, port
    return child


def finish(*children):
    for child in children:
        if wait_exit(child, child.name, 15) != 0:
            raise Failure("%s exited with status %d" % (child.name, child.returncode))


class Baresip:
    """One baresip phone with its own configuration, driven through a FIFO (stdio). name is the
    phone's and its folder's; user, the account it registers (name unless given)."""

    def __init__(self, workdir, name, ip, proxy, answer="manual", account="", user=None,
                 server=None, settings=""):
        """server: what follows the user in the account's address (the proxy's address unless
        given, e.g. with ;transport=tls); settings: lines added to the configuration."""
        self.name, self.ip, self.port = name, ip, free_udp_port(ip)
        self.seen = 0
        self.dir = os.path.join(workdir, name)
        os.mkdir(self.dir)
        modules = next(path for path in sorted(glob.glob("/usr/lib/*/baresip/modules")) +
                       ["/usr/lib/baresip/modules"] if os.path.exists(path + "/stdio.so"))
        with open(self.dir + "/config", "w") as config:
            config.write("module_path %s\npoll_method epoll\nnet_interface %s\n"
                         "sip_listen %s:%d\ndns_server %s:%d\ncall_local_timeout %d\n"
                         "audio_source ausine,440\nausrc_srate 48000\nausrc_channels 2\n"
                         "audio_player aubridge,%s-speaker\n"
                         "audio_alert aubridge,%s-alert\nmodule stdio.so\nmodule g711.so\n"
                         "module ausine.so\nmodule aubridge.so\nmodule_tmp account.so\n"
                         "module_app menu.so\n%s" % (modules, ip, "[%s]" % ip if ":" in ip else ip,
                                                     self.port, ALICE_IP, free_udp_port(ALICE_IP),
                                                     STEP_S, name, name, settings))
        with open(self.dir + "/accounts", "w") as accounts:
            accounts.write("<sip:%s@%s>;regint=600;answermode=%s;audio_codecs=pcmu%s\n"
                           % (user or name, server or proxy.address, answer, account))
        fifo = os.path.join(workdir, name + ".commands")
        os.mkfifo(fifo)
        self.commands = os.open(fifo, os.O_RDWR)  # also open for writing: no end of input
        self.output_path = os.path.join(workdir, name + ".out")
        self.process = spawn(["baresip", "-f", self.dir, "-v", "-s", "-t", "60"],
                             self.output_path, stdin=self.commands, cwd=self.dir)

    def send(self, command):
        os.write(self.commands, (command + "\n").encode())

    def wait_for(self, pattern, what):
        def seen():
            if self.process.poll() is not None:
                raise Failure("%s's baresip ended while waiting for %s" % (self.name, what))
            return re.search(pattern, read_text(self.output_path), re.MULTILINE)
        wait_until(seen, "%s: %s (/%s/)" % (self.name, what, pattern))

    def wait_next(self, what, *patterns):
        """Waits for each pattern after the end of the last wait_next's matches, in any order
        among them; the next wait_next starts after the latest of them."""
        ends = []
        for pattern in patterns:
            found = {}

            def seen():
                if self.process.poll() is not None:
                    raise Failure("%s's baresip ended while waiting for %s" % (self.name, what))
                found["m"] = re.compile(pattern, re.M).search(read_text(self.output_path),
                                                              self.seen)
                return found["m"]
            wait_until(seen, "%s: %s (/%s/)" % (self.name, what, pattern))
            ends.append(found["m"].end())
        self.seen = max(ends)

    def quit(self):
        self.send("/quit")
        if wait_exit(self.process, self.name + "'s baresip after /quit") != 0:
            raise Failure("%s's baresip exited with status %d" % (self.name,
                                                                 self.process.returncode))


def run(name, programs, body):
    """Runs body(workdir); every child is killed afterwards. The folder with every log and
    trace is kept after a failure (or with TAVRIX_KEEP_TRACES set)."""
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        print("FAIL %s: missing %s (install %s)" % (name, ", ".join(missing),
              " ".join(PACKAGES.get(p, p) for p in missing)), file=sys.stderr)
        return 1
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    workdir = tempfile.mkdtemp(prefix="tavrix-%s-" % name)
    print("traces go to " + workdir, flush=True)
    status = 1
    try:
        body(workdir)
        status = 0
    except Failure as failure:
        print("FAIL %s: %s\ntraces kept in %s" % (name, failure, workdir), file=sys.stderr)
    finally:
        for child in _children:
            if child.poll() is None:
                child.kill()
                child.wait()
    if status == 0 and not os.environ.get("TAVRIX_KEEP_TRACES"):
        shutil.rmtree(workdir, ignore_errors=True)
    print("PASS " + name if status == 0 else "", flush=True)
    return status


class Linphone:
    """One linphonec (linphone-cli) with its own HOME and configuration: UDP (or TCP) only on
    its own address, sound through files, driven through a FIFO; its debug log holds the SIP
    trace."""

    def __init__(self, workdir, name, ip, proxy, auth=None, transport="udp"):
        self.name, self.ip, self.port = name, ip, free_udp_port(ip)
        self.dir = os.path.join(workdir, name)
        # Without its database folder linphonec never opens its SIP port.
        os.makedirs(self.dir + "/.local/share/linphone")
        # Without register_only_when_network_is_up=0 a loopback-only host never registers;
        # without supported=replaces (no gruu) in-dialog requests go to port 5060.
        config = ["[sip]", "sip_port=%d" % (self.port if transport == "udp" else 0),
                  "sip_tcp_port=%d" % (self.port if transport == "tcp" else 0), "sip_tls_port=0",
                  "bind_address=" + ip, "auto_net_state_mon=0",
                  "register_only_when_network_is_up=0", "use_ipv6=0", "default_proxy=0",
                  "supported=replaces", "contact=sip:%s@%s" % (name, ip), "[rtp]",
                  "audio_rtp_port=-1", "bind_address=" + ip, "[video]", "enabled=0",
                  "capture=0", "display=0", "[net]", "nat_policy_ref=lab", "[nat_policy_0]",
                  "ref=lab", "protocols=", "[proxy_0]",
                  "reg_proxy=<sip:%s;transport=%s>" % (proxy.address, transport),
                  "reg_identity=sip:%s@%s" % (name, proxy.address), "reg_expires=600",
                  "reg_sendregister=1", "publish=0", "avpf=0", "quality_reporting_enabled=0"]
        if auth:
            config += ["[auth_info_0]", "username=" + name, "passwd=%s" % auth[0],
                       "realm=%s" % auth[1]]
        with open(self.dir + "/linphonerc", "w") as rc:
            rc.write("\n".join(config) + "\n")
        fifo = self.dir + "/commands"
        os.mkfifo(fifo)
        self.commands = os.open(fifo, os.O_RDWR)
        self.out_path, self.log_path = self.dir + "/out", self.dir + "/sip.log"
        self.process = spawn(["linphonec", "-c", self.dir + "/linphonerc", "-d", "6", "-l",
                              self.log_path], self.out_path, stdin=self.commands, cwd=self.dir,
                             env=dict(os.environ, HOME=self.dir, PULSE_SERVER="unix:/none"))
        self.seen = {False: 0, True: 0}
        self.send("soundcard use files")
        self.wait_for(r"Using wav files instead of soundcard\.")

    def send(self, command):
        os.write(self.commands, (command + "\n").encode())

    def wait_for(self, pattern, log=False):
        """Waits for pattern after the last match in the output (or the SIP log)."""
        found = {}

        def seen():
            if self.process.poll() is not None:
                raise Failure("%s's linphonec ended while waiting for /%s/" % (self.name, pattern))
            found["m"] = re.compile(pattern, re.M).search(
                read_text(self.log_path if log else self.out_path), self.seen[log])
            return found["m"]
        wait_until(seen, "%s: /%s/" % (self.name, pattern))
        self.seen[log] = found["m"].end()
        return found["m"]

    def registration(self, state="Ok"):
        """Registrations print nothing on the output; the debug log tells their state."""
        return self.wait_for(r"moving from state \[\w+\] to \[LinphoneRegistration(%s|Failed)\]"
                             % state, log=True).group(1) == state

    def quit(self):
        self.send("proxy remove 0")  # sends the REGISTER with Expires 0; quit alone does not
        self.registration("Cleared")
        self.send("quit")
        if wait_exit(self.process, self.name + "'s linphonec after quit") != 0:
            raise Failure("%s's linphonec exited with status %d" % (self.name,
                                                                   self.process.returncode))
