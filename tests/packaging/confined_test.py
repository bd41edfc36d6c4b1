#!/usr/bin/python3
"""The installed program under the installed unit's confinement: confined_test.py PROGRAM UNIT.

Where systemd is PID 1 (and this runs as root) the unit's settings confine a transient service
for real. Elsewhere, as in most containers and CI, they are emulated as far as a process can do
it to itself: the unit's system call filter, address families, W^X memory and namespace lock
as seccomp filters (python3-seccomp), no new privileges, no capabilities (the bounding set as
the unit says), its umask, and, as root, a read-only file system but for the state directory
and a /proc that shows only the program's own process. Not emulated: the dynamic user, the
private /tmp, /home and /dev, which hide files rather than refuse calls, and the realtime and
personality locks, which refuse calls the program never makes. Either way the program must start headless, find its address as it does
unconfined, answer OPTIONS and REGISTER on loopback, write its registrations file, handle
SIGHUP, SIGUSR1 and SIGTERM, and pass the service cases (metrics page, journal form).

confined_test.py --exec UNIT STATE_DIR PROGRAM [ARG...] confines itself and runs PROGRAM."""

import ctypes
import errno
import importlib.util
import os
import re
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICE_TEST = os.path.join(HERE, "..", "interop", "service_test.py")
sys.path.insert(0, os.path.join(HERE, "..", "interop"))
sys.dont_write_bytecode = True  # none into the source tree
from peers import Failure, Phone, read_text  # noqa: E402  (the interop scripts' own module)

libc = ctypes.CDLL(None, use_errno=True)
CAPABILITIES = {"CAP_NET_BIND_SERVICE": 10}  # the one a SIP proxy may be given


def service_settings(unit):
    """The [Service] settings: name -> values in order; an empty assignment resets a list."""
    settings, section = {}, None
    with open(unit) as text:
        for line in text:
            line = line.strip()
            if line.startswith("["):
                section = line
            elif section == "[Service]" and "=" in line and not line.startswith("#"):
                name, value = line.split("=", 1)
                settings[name] = settings.get(name, []) + [value] if value else [""]
    return settings


def allowed_calls(filters):
    """The system calls SystemCallFilter= leaves, its groups resolved by systemd-analyze."""
    listing = subprocess.run(["systemd-analyze", "syscall-filter"], capture_output=True,
                             text=True, check=True).stdout
    groups = {block.split()[0]: [word for line in block.splitlines()[1:]
                                 for word in line.split()[:1] if not line.strip().startswith("#")]
              for block in listing.strip().split("\n\n")}

    def expand(names):
        return {call for name in names
                for call in (expand(groups[name]) if name.startswith("@") else {name})}
    allowed = set()
    for value in filters:
        if value.startswith("~"):
            allowed -= expand(value[1:].split())
        elif value:
            allowed |= expand(value.split())
    return allowed


def load_seccomp(settings, allowed):
    import seccomp  # python3-seccomp
    error = getattr(errno, (settings.get("SystemCallErrorNumber") or ["EPERM"])[-1])
    allow_list = seccomp.SyscallFilter(seccomp.ERRNO(error))
    for call in allowed:
        try:
            allow_list.add_rule(seccomp.ALLOW, call)
        except (RuntimeError, ValueError):  # not a system call of this architecture
            pass
    rules = seccomp.SyscallFilter(seccomp.ALLOW)
    refuse = lambda call, *args, code=errno.EPERM: rules.add_rule(seccomp.ERRNO(code), call, *args)
    families = {getattr(socket, name) for value in settings.get("RestrictAddressFamilies", [])
                for name in value.split()}
    if families:
        for family in set(range(64)) - families:
            refuse("socket", seccomp.Arg(0, seccomp.EQ, family), code=errno.EAFNOSUPPORT)
        refuse("socket", seccomp.Arg(0, seccomp.GE, 64), code=errno.EAFNOSUPPORT)
    if settings.get("MemoryDenyWriteExecute") == ["yes"]:
        write_exec = 0x2 | 0x4  # PROT_WRITE | PROT_EXEC
        refuse("mmap", seccomp.Arg(2, seccomp.MASKED_EQ, write_exec, write_exec))
        for call in ("mprotect", "pkey_mprotect"):
            refuse(call, seccomp.Arg(2, seccomp.MASKED_EQ, 0x4, 0x4))
        refuse("shmat", seccomp.Arg(2, seccomp.MASKED_EQ, 0o100000, 0o100000))  # SHM_EXEC
    if settings.get("RestrictNamespaces") == ["yes"]:
        for flag in (0x80, 0x20000, 0x2000000, 0x4000000, 0x8000000, 0x10000000, 0x20000000,
                     0x40000000):  # CLONE_NEWTIME, NEWNS, NEWCGROUP, UTS, IPC, USER, PID, NET
            for call in ("clone", "unshare"):
                refuse(call, seccomp.Arg(0, seccomp.MASKED_EQ, flag, flag))
        refuse("setns")
        refuse("clone3", code=errno.ENOSYS)  # its flags cannot be read; glibc falls back to clone
    rules.load()
    allow_list.load()  # last: the list itself leaves out seccomp()


def check(result, what):
    if result != 0:
        raise OSError(ctypes.get_errno(), "%s: %s" % (what, os.strerror(ctypes.get_errno())))


def read_only_system(settings, state_dir):
    """A mount namespace: everything read-only but the state directory; /proc as asked."""
    check(libc.unshare(0x20000), "unshare(CLONE_NEWNS)")
    check(libc.mount(None, b"/", None, 0x4000 | 0x40000, None), "mount --make-rprivate /")
    check(libc.mount(state_dir.encode(), state_dir.encode(), None, 0x1000, None), "bind")
    options = []
    for name, option in (("ProtectProc", "hidepid"), ("ProcSubset", "subset")):
        value = (settings.get(name) or ["default"])[-1]
        if value not in ("default", "all"):
            options.append("%s=%s" % (option, value))
    if options:
        check(libc.mount(b"proc", b"/proc", b"proc", 0x2 | 0x4 | 0x8,
                         ",".join(options).encode()), "mount proc " + ",".join(options))

    class MountAttr(ctypes.Structure):
        _fields_ = [("set", ctypes.c_uint64), ("clear", ctypes.c_uint64),
                    ("propagation", ctypes.c_uint64), ("userns_fd", ctypes.c_uint64)]
    for path, flags, attr in (("/", 0x8000, MountAttr(set=1)), (state_dir, 0, MountAttr(clear=1))):
        check(libc.mount_setattr(-100, path.encode(), flags, ctypes.byref(attr),
                                 ctypes.sizeof(attr)), "mount_setattr " + path)  # AT_RECURSIVE


def no_capabilities(settings, last):
    """Drops every capability not in CapabilityBoundingSet= from the bounding set, and all of
    them from this process: root stays uid 0 but without the powers that come with it."""
    keep = {CAPABILITIES[name] for value in settings.get("CapabilityBoundingSet", [])
            for name in value.split()}
    for cap in range(last + 1):
        if cap not in keep:
            libc.prctl(24, cap, 0, 0, 0)  # PR_CAPBSET_DROP; refused where never held
    libc.prctl(47, 4, 0, 0, 0)  # PR_CAP_AMBIENT_CLEAR_ALL
    header = (ctypes.c_uint32 * 2)(0x20080522, 0)  # _LINUX_CAPABILITY_VERSION_3, this process
    check(libc.capset(header, (ctypes.c_uint32 * 6)()), "capset")


def confine_and_exec(unit, state_dir, program, args):
    settings = service_settings(unit)
    allowed = allowed_calls(settings.get("SystemCallFilter", []))
    last_cap = int(open("/proc/sys/kernel/cap_last_cap").read())  # before /proc is replaced
    os.umask(int((settings.get("UMask") or ["0022"])[-1], 8))
    if os.getuid() == 0 and settings.get("ProtectSystem") == ["strict"]:
        read_only_system(settings, state_dir)
    no_capabilities(settings, last_cap)
    if settings.get("NoNewPrivileges") == ["yes"]:
        check(libc.prctl(38, 1, 0, 0, 0), "PR_SET_NO_NEW_PRIVS")
    load_seccomp(settings, allowed)
    status = open("/proc/self/status").read()
    if not re.search(r"^Seccomp:\s+2$", status, re.M) or \
            not re.search(r"^CapEff:\s+0+$", status, re.M):
        raise SystemExit("confinement did not take:\n" + status)
    os.execv(program, [program] + args)


def start(command, log):
    """The program started: the child, the port and the LocalIP it names."""
    with open(log, "wb") as out:
        child = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 10
    while not (found := re.search(r"listening on UDP port (\d+), LocalIP (\S+)", read_text(log))):
        if child.poll() is not None or time.monotonic() > deadline:
            child.kill()
            raise Failure("%s did not start:\n%s" % (command, read_text(log)))
        time.sleep(0.02)
    return child, int(found.group(1)), found.group(2)


def ask(port, method, *extra):
    """The first line of the program's answer to alice's request from 127.0.0.1."""
    alice = Phone("127.0.0.1", "alice")
    alice.sock.sendto(alice.request(method, "alice", "c-" + method, extra=extra).encode(),
                      ("127.0.0.1", port))
    return (alice.final(5) or "(no answer)").split("\r\n")[0]


def emulated(program, unit, workdir):
    _, _, expected_ip = unconfined = start([program, "--headless", "--port", "0"],
                                           workdir + "/unconfined.log")
    unconfined[0].terminate()
    unconfined[0].wait()
    state = workdir + "/state"
    os.mkdir(state)
    wrapper = workdir + "/confined"
    with open(wrapper, "w") as script:
        script.write('#!/bin/sh\nexec %s %s --exec %s %s %s "$@"\n' % (
            sys.executable, os.path.abspath(__file__), unit, state, program))
    os.chmod(wrapper, 0o755)
    log = workdir + "/confined.log"
    child, port, local_ip = start([wrapper, "--headless", "--port", "0", "--log-level", "2",
                                   "--state", state + "/registrations.db"], log)
    answers = [ask(port, "OPTIONS"), ask(port, "REGISTER", "Expires: 60")]
    for number in (signal.SIGHUP, signal.SIGUSR1, signal.SIGTERM):
        child.send_signal(number)
        time.sleep(0.3)
    status = child.wait(10)
    text = read_text(log)
    with sqlite3.connect(state + "/registrations.db") as db:
        users = [row[0] for row in db.execute("SELECT username FROM bindings")]
    print("confined: LocalIP %s (unconfined %s), answers %s, registrations file %s, exit %d"
          % (local_ip, expected_ip, answers, users, status))
    if local_ip != expected_ip or answers != ["SIP/2.0 200 OK"] * 2 or users != ["alice"] or \
            status != 0 or "SIGHUP: no configuration file" not in text or \
            "Registrations=1" not in text:
        raise Failure("the confined program:\n" + text)
    for case in ("metrics", "journal"):
        result = subprocess.run([sys.executable, "-B", SERVICE_TEST, wrapper, case], timeout=60,
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise Failure("service case %s, confined:\n%s%s" % (case, result.stdout,
                                                                 result.stderr))
        print("confined: " + result.stdout.split("\n")[-2])


def under_systemd(program, unit):
    """The unit's own settings on a transient service; the program copied into /run, which
    stays visible under ProtectSystem=strict and PrivateTmp."""
    name = "tavrix-confined-%d" % os.getpid()
    folder = "/run/" + name
    os.makedirs(folder)
    subprocess.run(["cp", program, folder + "/tavrix"], check=True)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    skip = {"ExecStart", "ExecReload", "Type", "Restart", "StateDirectory"}
    properties = ["--property=%s=%s" % (key, value) for key, values in
                  service_settings(unit).items() if key not in skip for value in values]
    try:
        subprocess.run(["systemd-run", "--quiet", "--collect", "--unit", name,
                        "--property=StateDirectory=" + name] + properties +
                       [folder + "/tavrix", "--headless", "--port", str(port), "--state",
                        "/var/lib/%s/registrations.db" % name], check=True, timeout=30)
        deadline, answer = time.monotonic() + 10, "(no answer)"
        while answer == "(no answer)" and time.monotonic() < deadline:
            answer = ask(port, "OPTIONS")
        state = subprocess.run(["systemctl", "show", "--property=ActiveState", name],
                               capture_output=True, text=True).stdout.strip()
        print("under systemd: %s, %s" % (answer, state))
        if answer != "SIP/2.0 200 OK":
            journal = subprocess.run(["journalctl", "--no-pager", "-u", name],
                                     capture_output=True, text=True).stdout
            raise Failure("the unit's service did not answer OPTIONS (%s):\n%s" % (state, journal))
    finally:
        subprocess.run(["systemctl", "stop", name], capture_output=True)
        subprocess.run(["rm", "-rf", folder, "/var/lib/private/" + name, "/var/lib/" + name])


def main():
    if sys.argv[1:2] == ["--exec"]:
        return confine_and_exec(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:])
    program, unit = os.path.abspath(sys.argv[1]), sys.argv[2]
    if importlib.util.find_spec("seccomp") is None:
        print("FAIL: no seccomp module for %s (install python3-seccomp)" % sys.executable)
        return 1
    with tempfile.TemporaryDirectory(prefix="tavrix-confined-") as workdir:
        try:
            if os.getuid() != 0:
                print("not root: the file system is left as it is")
            emulated(program, unit, workdir)
            if open("/proc/1/comm").read().strip() == "systemd" and os.getuid() == 0:
                under_systemd(program, unit)
            else:
                print("SKIP the unit under systemd itself: systemd is not PID 1 here (or not "
                      "root); its settings were emulated")
        except (Failure, subprocess.SubprocessError, OSError) as failure:
            print("FAIL confined: %s" % failure)
            return 1
    print("PASS confined")
    return 0


if __name__ == "__main__":
    sys.exit(main())
