#!/usr/bin/env python3
"""Phones on TCP, TLS and IPv6 against the headless program: transport_test.py PROGRAM CASE.

alice calls bob, who answers by himself; one of them hangs up. Besides what the phones report,
each case checks the INVITE as the callee got it (the proxy's Via and Record-Routes name the
transport and address it came on), the connections the metrics page counts while the call is
up, and the proxy's statistics. The TLS certificates come from a CA the case makes."""

import re
import socket
import ssl
import subprocess

from peers import (ALICE_IP, BOB_IP, Baresip, Failure, Linphone, Proxy, established, listener,
                   main, metrics, read_text)

# In a phone's SIP trace. (baresip on a stream keeps its call until the connection closes,
# and says nothing of its end before then.)
BYE_ANSWERED = r"^SIP/2\.0 200 OK\r?\n(?:[^\r\n]+\r?\n)*CSeq: \d+ BYE\r?$"


def tls_options(workdir):
    """A CA made here and the proxy's certificate from it, for 127.0.0.1 and ::1: the proxy's
    options, baresip's settings, the CA's file."""
    ca, cert, key, both = (workdir + name for name in ("/ca.pem", "/cert.pem", "/key.pem",
                                                        "/both.pem"))
    new = ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
           "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"]
    for args in (["-keyout", workdir + "/ca.key", "-out", ca, "-subj", "/CN=Test CA"],
                 ["-CA", ca, "-CAkey", workdir + "/ca.key", "-keyout", key, "-out", cert,
                  "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,IP:::1"]):
        subprocess.run(new + args, check=True, capture_output=True)
    with open(both, "w") as out:  # baresip's own certificate, for its TLS listener
        out.write(read_text(cert) + read_text(key))
    return ["--tls-cert", cert, "--tls-key", key, "--tls-port", "0"], \
        "sip_cafile %s\nsip_certificate %s\n" % (ca, both), ca


def received(text, first_line):
    """The first message in a peer's trace that begins with first_line, lines ending in \\n."""
    found = re.search(r"^%s.*?\n\r?\n" % re.escape(first_line), text.replace("\r\n", "\n"),
                      re.M | re.S)
    if not found:
        raise Failure("no %r in the trace:\n%s" % (first_line, text[-3000:]))
    return found.group(0)


def check_invite(invite, via, routes):
    """The callee's INVITE: its topmost Via is the proxy's `via` ("TCP 127.0.0.1:5060"); its
    Record-Routes are exactly `routes`, (address, transport) in order, each a loose route."""
    vias = re.findall(r"^(?:Via|v):\s*(.*)$", invite, re.M | re.I)
    found = []
    for line in re.findall(r"^Record-Route:\s*(.*)$", invite, re.M | re.I):
        for value in line.split(","):
            uri = re.fullmatch(r"<sip:([^;>]+)((?:;[^;>]*)*)>", value.strip())
            params = dict(p.partition("=")[::2] for p in uri.group(2).split(";")[1:]) \
                if uri else {}
            found.append(uri and "lr" in params and (uri.group(1),
                                                     params.get("transport", "udp").lower()))
    if not vias or not vias[0].startswith("SIP/2.0/%s;" % via) or found != routes:
        raise Failure("expected the Via SIP/2.0/%s and the Record-Routes %s in the INVITE:\n%s"
                      % (via, routes, invite))


def expect_metrics(proxy, **open_by_transport):
    samples = metrics(proxy)
    seen = {t: samples.get('tavrix_connections_open{transport="%s"}' % t)
            for t in open_by_transport}
    if seen != open_by_transport:
        raise Failure("expected the connections open %s, the page says %s" %
                      (open_by_transport, seen))


def face(proxy, transport):
    """The proxy's address for a transport ("udp6": UDP on ::1), as its banner says."""
    if transport == "udp":
        return proxy.address
    host = "[::1]" if transport == "udp6" else ALICE_IP
    return "%s:%d" % (host, listener(proxy, transport[:3].upper(), host))


def baresip(program, workdir, caller, callee):
    """alice registers over `caller`, bob over `callee` (udp, tcp, tls; udp6: UDP on ::1);
    alice calls bob. The one who did not send the INVITE hangs up when the legs differ: his BYE
    passes both of the proxy's Record-Routes."""
    options, settings, ca = tls_options(workdir) if "tls" in (caller, callee) else ([], "", "")
    if caller == "udp6":
        options += ["--local-ip6", "::1"]
    proxy = Proxy(program, workdir, "--metrics", "127.0.0.1:0", *options)
    if ca:  # the proxy shows the chain the operator gave it
        address = (ALICE_IP, listener(proxy, "TLS"))
        with ssl.create_default_context(cafile=ca).wrap_socket(
                socket.create_connection(address, 10), server_hostname=ALICE_IP):
            pass
    phones = {}
    for name, ip, transport in (("bob", BOB_IP, callee), ("alice", ALICE_IP, caller)):
        server = face(proxy, transport) + (";transport=" + transport
                                           if transport in ("tcp", "tls") else "")
        phones[name] = Baresip(workdir, name, "::1" if transport == "udp6" else ip, proxy,
                               answer="auto" if name == "bob" else "manual", server=server,
                               settings=settings)
    alice, bob = phones["alice"], phones["bob"]
    for phone in (alice, bob):  # baresip drops an answer without Content-Length on a stream
        phone.registered()
    alice.send("/dial sip:bob@" + face(proxy, caller))  # baresip adds its account's transport
    established((alice, "bob"), (bob, "alice"))
    routes = [(face(proxy, t), t[:3]) for t in ((callee, caller) if caller != callee
                                                else (callee,))]
    check_invite(received(read_text(bob.output_path), "INVITE sip:"),
                 "%s %s" % (callee[:3].upper(), face(proxy, callee)), routes)
    streams = [t for t in (caller, callee) if t in ("tcp", "tls")]
    if streams:  # each phone keeps the connection it registered on
        expect_metrics(proxy, **{t: streams.count(t) for t in streams})
    ender, other = (bob, alice) if caller != callee else (alice, bob)
    ender.send("/hangup")
    for phone in (other, ender):
        phone.wait_for(BYE_ANSWERED, "the BYE answered")
    proxy.wait_for_log("Call completed")
    proxy.expect_statistics(Registrations=2, CallAttempts=1, CompletedCalls=1, Errors=0)
    for phone in (alice, bob):
        phone.quit()
    proxy.stop()


def linphone_tcp(program, workdir):
    """Two linphonec phones that speak TCP only register and call through the proxy."""
    proxy = Proxy(program, workdir, "--metrics", "127.0.0.1:0")
    alice, bob = (Linphone(workdir, name, ip, proxy, transport="tcp")
                  for name, ip in (("alice", ALICE_IP), ("bob", BOB_IP)))
    # Each registers again with its connection's address as Contact (the proxy's IP, another
    # port), and alice's BYE goes to bob's: it is bob's, not a user of the proxy's domain.
    if not (alice.registration() and bob.registration()):
        raise Failure("a phone failed to register")
    expect_metrics(proxy, tcp=2)
    bob.send("autoanswer enable")
    alice.send("call sip:bob@%s;transport=tcp" % proxy.address)
    for phone in (alice, bob):
        phone.wait_for(r"Call 1 with \S+ connected\.")
    check_invite(received(read_text(bob.log_path), "INVITE sip:"),
                 "TCP " + proxy.address, [(proxy.address, "tcp")])
    alice.send("terminate")
    for phone in (alice, bob):
        phone.wait_for(r"Call 1 with \S+ ended \(No error\)\.")
    proxy.wait_for_log("Call completed")
    proxy.expect_statistics(CallAttempts=1, CompletedCalls=1, Errors=0)
    for phone in (alice, bob):
        phone.quit()
    proxy.stop()


CASES = {"linphone_tcp": (linphone_tcp, ["linphonec"])}
for name, caller, callee in (("baresip_tcp", "tcp", "tcp"), ("baresip_tls", "tls", "tls"),
                             ("baresip_ipv6", "udp6", "udp6"), ("tls_to_udp", "tls", "udp")):
    CASES[name] = (lambda p, w, legs=(caller, callee): baresip(p, w, *legs),
                   ["baresip", "openssl"] if "tls" in name else ["baresip"])

if __name__ == "__main__":
    main(CASES, __doc__)
