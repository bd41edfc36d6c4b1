"""Real SIP peers against the headless program, on loopback only: the proxy, SIPp agents and
baresip soft phones, each a child process that dies with the test (PR_SET_PDEATHSIG) and is
killed on the way out. Every wait is bounded."""

import ctypes
import glob
import hashlib
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
    """The first true value of predicate(), tried every 20 ms for at most timeout seconds."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise Failure("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(0.02)
    return value


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

        def listening():
            match = re.search(r"listening on UDP port (\d+)", read_text(self.log_path))
            if not match and self.process.poll() is not None:
                raise Failure("the proxy exited early:\n" + read_text(self.log_path))
            return match
        self.port = int(wait_until(listening, "the proxy to listen").group(1))
        self.address = "%s:%d" % (ip, self.port)

    def log(self):
        return read_text(self.log_path).replace("\r\n", "\n")

    def wait_for_log(self, *texts):
        for text in texts:
            wait_until(lambda: text in self.log(), repr(text) + " in the proxy log")

    def expect_statistics(self, **counts):
        """The statistics line SIGUSR1 prints holds these counts."""
        lines = lambda: re.findall(r"Statistics:.*\n", self.log())
        before = len(lines())
        self.process.send_signal(signal.SIGUSR1)
        wait_until(lambda: len(lines()) > before, "the statistics")
        line = lines()[-1].strip()
        for name, value in counts.items():
            if " %s=%s " % (name, value) not in " " + line + " ":
                raise Failure("expected %s=%s in: %s" % (name, value, line))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        if wait_exit(self.process, "the proxy after SIGTERM") != 0:
            raise Failure("the proxy exited with status %d" % self.process.returncode)


def listener(proxy, transport, host=ALICE_IP):
    """The port the proxy's banner names for a transport ("TLS") on a host ("[::1]")."""
    pattern = r"^Listening on %s %s:(\d+)$" % (transport, re.escape(host))
    return int(wait_until(lambda: re.search(pattern, proxy.log(), re.M),
                          "the %s listener" % transport).group(1))


def metrics(proxy):
    """The samples of the metrics page of a proxy started with --metrics: {'name{labels}':
    value} as the page writes them."""
    url = re.search(r"Metrics at (http://\S+/metrics)", proxy.log()).group(1)
    direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # no http_proxy
    with direct.open(url, timeout=STEP_S) as page:
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


# SIP written here by hand, on UDP sockets of loopback addresses.

def sip(first, *headers, body=""):
    """A message of these header lines ("Name: value"), its Content-Length added."""
    return "\r\n".join((first,) + headers + ("Content-Length: %d" % len(body), "", body))


def sdp(ip):
    return "v=0\r\no=- 1 1 IN IP4 %s\r\ns=-\r\nc=IN IP4 %s\r\nt=0 0\r\n" \
           "m=audio 4000 RTP/AVP 0\r\n" % (ip, ip)


def header(text, name):
    """The value of a message's first header line of that name ("" without one)."""
    found = re.search(r"^%s:\s*(.*?)\r$" % name, text, re.M | re.I)
    return found.group(1) if found else ""


def status(text):
    return text.split("\r\n")[0][len("SIP/2.0 "):] if text.startswith("SIP/2.0 ") else ""


def answer(request, code, contact=None, body="", tag="b"):
    """The response a user agent writes to a request it received, its To tagged (unless it
    has a tag, or tag is None)."""
    lines = [line for line in request.split("\r\n\r\n")[0].split("\r\n")[1:]
             if line.split(":")[0] in ("Via", "From", "To", "Call-ID", "CSeq")]
    lines = [line + (";tag=" + tag if tag and line.startswith("To:") and ";tag=" not in line
                     else "") for line in lines]
    return sip("SIP/2.0 " + code, *lines, *(["Contact: <%s>" % contact] if contact else []),
               body=body)


class Socket:
    """A UDP socket on a loopback address that counts what reaches it."""

    def __init__(self, ip="127.0.0.3", port=0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((ip, port))
        self.ip, self.port = self.sock.getsockname()
        self.host = "%s:%d" % (self.ip, self.port)

    def send(self, text, proxy):
        self.sock.sendto(text.encode("latin-1"), (ALICE_IP, proxy.port))

    def received(self, seconds, first=False):
        """The datagrams that arrive within the time (or the first of them); at least one
        try."""
        got, deadline = [], time.monotonic() + seconds
        while True:
            self.sock.settimeout(max(0.001, deadline - time.monotonic()))
            try:
                got.append(self.sock.recv(65535).decode("latin-1"))
            except socket.timeout:
                pass
            if (first and got) or time.monotonic() >= deadline:
                return got

    def final(self, seconds=1):
        """The first final response that arrives (1xx passed over), or "" after the time."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            for text in self.received(deadline - time.monotonic(), first=True):
                if status(text) >= "2":
                    return text
        return ""

    def expect(self, wanted, what, others=False):
        """The next datagram, which must begin with wanted (with others: the first that does,
        within STEP_S)."""
        deadline = time.monotonic() + STEP_S
        while time.monotonic() < deadline:
            got = self.received(deadline - time.monotonic(), first=True)
            if got and got[0].startswith(wanted) or not others:
                break
        if not got or not got[0].startswith(wanted):
            raise Failure("%s: expected %r at %s, got %r" % (what, wanted, self.host, got))
        return got[0]


class Phone(Socket):
    """A user agent on a loopback address; with a password it answers the proxy's digest
    challenge (realm "office")."""

    def __init__(self, ip, user, password=None, contact=None):
        super().__init__(ip)
        self.user, self.password, self.nonce, self.count = user, password, None, 0
        self.contact = contact or "sip:%s@%s" % (user, self.host)

    def request(self, method, to, call_id, cseq=1, extra=(), body="", to_tag="", branch=None):
        """A request of this user's to the user to (a REGISTER to the domain), signed once
        challenged; extra: more header lines."""
        self.count += 1
        to_uri = "sip:%s@127.0.0.1" % to
        uri = "sip:127.0.0.1" if method == "REGISTER" else to_uri
        headers = ["Via: SIP/2.0/UDP %s;branch=%s" % (self.host, branch or "z9hG4bK-%d-%d" % (
                       self.port, self.count)), "Max-Forwards: 70",
                   "From: <sip:%s@127.0.0.1>;tag=a" % self.user,
                   "To: <%s>%s" % (to_uri, to_tag and ";tag=" + to_tag), "Call-ID: " + call_id,
                   "CSeq: %d %s" % (cseq, method), "Contact: <%s>" % self.contact] + list(extra)
        if self.nonce and method in ("REGISTER", "INVITE"):
            md5 = lambda text: hashlib.md5(text.encode("latin-1")).hexdigest()
            digest = md5("%s:%s:%08x:c:auth:%s" % (
                md5("%s:office:%s" % (self.user, self.password)), self.nonce, self.count,
                md5("%s:%s" % (method, uri))))
            headers.append('%s: Digest username="%s", realm="office", nonce="%s", uri="%s", '
                           'response="%s", algorithm=MD5, qop=auth, nc=%08x, cnonce="c"' % (
                               "Authorization" if method == "REGISTER" else
                               "Proxy-Authorization", self.user, self.nonce, uri, digest,
                               self.count))
        return sip("%s %s SIP/2.0" % (method, uri), *headers, body=body)

    def challenge(self, proxy):
        """A REGISTER without credentials: the nonce of the proxy's 401."""
        self.send(self.request("REGISTER", self.user, "challenge-" + self.host), proxy)
        answer = self.final(STEP_S)
        if not status(answer).startswith("401"):
            raise Failure("%s was not challenged: %r" % (self.user, answer))
        self.nonce = re.search(r'nonce="([^"]+)"', answer).group(1)

    def register(self, proxy, call_id=None, extra=()):
        """A REGISTER (signed after the first challenge): the status of its final answer."""
        if self.password and not self.nonce:
            self.challenge(proxy)
        self.send(self.request("REGISTER", self.user, call_id or "reg-" + self.user,
                               extra=extra), proxy)
        return status(self.final())


class _Driven:
    """A phone program fed commands through a FIFO (its stdin), its output in a file."""

    def _start(self, fifo, args, output, cwd, env=None):
        os.mkfifo(fifo)
        self.commands = os.open(fifo, os.O_RDWR)  # also open for writing: no end of input
        self.process = spawn(args, output, stdin=self.commands, cwd=cwd, env=env)

    def send(self, command):
        os.write(self.commands, (command + "\n").encode())

    def _search(self, pattern, path, start, what):
        """Waits for pattern in the file after start, while the program runs: the match."""
        def seen():
            if self.process.poll() is not None:
                raise Failure("%s's %s ended while waiting for %s" % (self.name, self.program,
                                                                      what))
            return re.compile(pattern, re.M).search(read_text(path), start)
        return wait_until(seen, "%s: %s (/%s/)" % (self.name, what, pattern))

    def _quit(self, command):
        self.send(command)
        if wait_exit(self.process, "%s's %s after %s" % (self.name, self.program, command)):
            raise Failure("%s's %s exited with status %d" % (self.name, self.program,
                                                            self.process.returncode))


class Baresip(_Driven):
    """One baresip phone with its own configuration, driven through a FIFO (stdio). name is the
    phone's and its folder's; user, the account it registers (name unless given)."""
    program = "baresip"

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
        self.output_path = os.path.join(workdir, name + ".out")
        self._start(os.path.join(workdir, name + ".commands"),
                    ["baresip", "-f", self.dir, "-v", "-s", "-t", "60"], self.output_path, self.dir)

    def wait_for(self, pattern, what):
        self._search(pattern, self.output_path, 0, what)

    def wait_next(self, what, *patterns):
        """Waits for each pattern after the end of the last wait_next's matches, in any order
        among them; the next wait_next starts after the latest of them."""
        self.seen = max([self._search(pattern, self.output_path, self.seen, what).end()
                         for pattern in patterns])

    def registered(self, proxy=None, user=None):
        """Its REGISTER (the user's, its own name's unless given) answered 200, and with the
        proxy given, logged there as coming from this phone's address."""
        user = user or self.name
        if proxy:
            proxy.wait_for_log("User '%s' successfully registered at '%s:%d'" % (user, self.ip,
                                                                                 self.port))
        self.wait_for(r"^%s@.*200 OK" % user, "its registration answered")

    def quit(self):
        self._quit("/quit")


def established(*pairs, audio=True):
    """Each (baresip phone, the other's user name) reports the call established, and with
    audio the other's sound arriving."""
    for phone, other in pairs:
        phone.wait_for(r"Call established: sip:%s@" % other, "the call established")
        if audio:
            phone.wait_for(r"incoming rtp for 'audio' established", "the other's audio")


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


class Linphone(_Driven):
    """One linphonec (linphone-cli) with its own HOME and configuration: UDP (or TCP) only on
    its own address, sound through files, driven through a FIFO; its debug log holds the SIP
    trace."""
    program = "linphonec"

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
        self.out_path, self.log_path = self.dir + "/out", self.dir + "/sip.log"
        self._start(self.dir + "/commands", ["linphonec", "-c", self.dir + "/linphonerc", "-d",
                                             "6", "-l", self.log_path], self.out_path, self.dir,
                    dict(os.environ, HOME=self.dir, PULSE_SERVER="unix:/none"))
        self.seen = {False: 0, True: 0}
        self.send("soundcard use files")
        self.wait_for(r"Using wav files instead of soundcard\.")

    def wait_for(self, pattern, log=False):
        """Waits for pattern after the last match in the output (or the SIP log)."""
        found = self._search(pattern, self.log_path if log else self.out_path, self.seen[log],
                             "its SIP log" if log else "its output")
        self.seen[log] = found.end()
        return found

    def registration(self, state="Ok"):
        """Registrations print nothing on the output; the debug log tells their state."""
        return self.wait_for(r"moving from state \[\w+\] to \[LinphoneRegistration(%s|Failed)\]"
                             % state, log=True).group(1) == state

    def quit(self):
        self.send("proxy remove 0")  # sends the REGISTER with Expires 0; quit alone does not
        self.registration("Cleared")
        self._quit("quit")


def main(cases, doc):
    """SCRIPT PROGRAM CASE: runs the case, cases[CASE] = (function(program, workdir), the
    programs it needs)."""
    if len(sys.argv) != 3 or sys.argv[2] not in cases:
        sys.exit(doc)
    case, programs = cases[sys.argv[2]]
    sys.exit(run(sys.argv[2], programs, lambda workdir: case(sys.argv[1], workdir)))
