#!/usr/bin/env python3
"""Writes the seed corpus of tavrix_fuzz: SIP exchanges in the fuzzer's step encoding.

Usage: fuzz/make_corpus.py [output directory, default fuzz/corpus]

Each file is a list of steps, "@@D<source>" LF <datagram> for a datagram and "@@T<source> <n>"
LF for n timer ticks (see fuzz/proxy_fuzzer.cpp). Sources: 1 alice 127.0.0.1:5061, 2 bob
127.0.0.2:5062, 3 the default route's upstream 127.0.0.3:5063, 4 alice 127.0.0.1:40000,
5 127.0.0.5:5060. Every run starts with alice (Call-ID pre-alice) and bob (pre-bob) registered
for 300 seconds; an input gets 600 ticks at most.
"""

import os
import sys

CRLF = "\r\n"
ADDRESS = {1: "127.0.0.1:5061", 2: "127.0.0.2:5062", 3: "127.0.0.3:5063",
           4: "127.0.0.1:40000", 5: "127.0.0.5:5060"}
SDP = CRLF.join([
    "v=0",
    "o=alice 2890844526 2890844526 IN IP4 127.0.0.1",
    "s=-",
    "c=IN IP4 127.0.0.1",
    "t=0 0",
    "m=audio 49170 RTP/AVP 0 8",
    "a=rtpmap:0 PCMU/8000",
    "a=rtpmap:8 PCMA/8000",
    "",
])


def message(first_line, headers, body=""):
    lines = [first_line] + [f"{name}: {value}" for name, value in headers]
    if body:
        lines += ["Content-Type: application/sdp", f"Content-Length: {len(body)}"]
    else:
        lines.append("Content-Length: 0")
    return CRLF.join(lines) + CRLF + CRLF + body


def via(source, branch):
    return ("Via", f"SIP/2.0/UDP {ADDRESS[source]};branch=z9hG4bK{branch}")


def register(user, source, call_id, expires=None, contact_expires=None, from_uri=None,
             contact=None):
    host = ADDRESS[source]
    if contact is None:
        contact = f"<sip:{user}@{host}>"
        if contact_expires is not None:
            contact += f";expires={contact_expires}"
    headers = [
        via(source, f"r{call_id}"),
        ("Max-Forwards", "70"),
        ("From", f"{from_uri or f'<sip:{user}@127.0.0.1>'};tag=f{call_id}"),
        ("To", f"<sip:{user}@127.0.0.1>"),
        ("Call-ID", call_id),
        ("CSeq", "1 REGISTER"),
        ("Contact", contact),
    ]
    if expires is not None:
        headers.append(("Expires", str(expires)))
    headers.append(("User-Agent", "Seed/1.0"))
    return message("REGISTER sip:127.0.0.1 SIP/2.0", headers)


class Dialog:
    """One call's requests and responses, from caller to callee through the proxy."""

    def __init__(self, call_id, caller="alice", caller_source=1, callee="bob", callee_source=2,
                 proxy_via="z9hG4bKproxy", hops="70"):
        self.call_id = call_id
        self.caller = caller
        self.caller_source = caller_source
        self.callee = callee
        self.callee_source = callee_source
        self.proxy_via = proxy_via
        self.hops = hops

    def common(self, cseq, to_tag=True):
        to = f"<sip:{self.callee}@127.0.0.1>" + (";tag=t1" if to_tag else "")
        return [
            ("From", f"<sip:{self.caller}@127.0.0.1>;tag=f1"),
            ("To", to),
            ("Call-ID", self.call_id),
            ("CSeq", cseq),
        ]

    def request(self, method, cseq, extra=(), body="", to_tag=True, source=None, word=None):
        source = source or self.caller_source
        target = f"sip:{self.callee}@127.0.0.1"
        headers = [via(source, f"{method.lower()}{cseq.split()[0]}"),
                   ("Max-Forwards", self.hops)]
        headers += self.common(cseq, to_tag)
        headers += list(extra)
        return message(f"{word or method} {target} SIP/2.0", headers, body)

    def invite(self, extra=(), body=SDP, word=None):
        contact = ("Contact", f"<sip:{self.caller}@{ADDRESS[self.caller_source]}>")
        return self.request("INVITE", "1 INVITE", [contact, *extra], body, to_tag=False,
                            word=word)

    def response(self, status, cseq, extra=(), body="", source=None, to_tag=True):
        source = source or self.callee_source
        headers = [("Via", f"SIP/2.0/UDP 127.0.0.1:5060;branch={self.proxy_via}"),
                   via(self.caller_source, "invite1")]
        headers += self.common(cseq, to_tag)
        headers += list(extra)
        return message(f"SIP/2.0 {status}", headers, body)

    def answer(self, status="200 OK"):
        contact = ("Contact", f"<sip:{self.callee}@{ADDRESS[self.callee_source]}>")
        return self.response(status, "1 INVITE", [contact], SDP.replace("alice", self.callee))


def datagram(source, text):
    return f"@@D{source}\n{text}"


def ticks(count, source=1):
    return f"@@T{source} {count}\n"


def raw(source, data):
    return f"@@R{source}\n".encode() + data


def full_call():
    d = Dialog("call-1")
    return [
        datagram(1, d.invite()),
        datagram(2, d.response("100 Trying", "1 INVITE", to_tag=False)),
        datagram(2, d.response("180 Ringing", "1 INVITE")),
        datagram(2, d.answer()),
        datagram(1, d.request("ACK", "1 ACK")),
        datagram(1, d.request("BYE", "2 BYE")),
        datagram(2, d.response("200 OK", "2 BYE")),
        ticks(2),
    ]


def callee_hangs_up():
    d = Dialog("call-2")
    bye = Dialog("call-2", caller="bob", caller_source=2, callee="alice", callee_source=1)
    return [
        datagram(1, d.invite()),
        datagram(2, d.response("180 Ringing", "1 INVITE")),
        datagram(2, d.answer()),
        datagram(1, d.request("ACK", "1 ACK")),
        datagram(2, bye.request("BYE", "1 BYE")),
        datagram(1, d.response("200 OK", "1 BYE", source=1)),
        datagram(1, d.request("ACK", "1 ACK")),
    ]


def busy():
    d = Dialog("call-busy")
    return [
        datagram(1, d.invite()),
        datagram(2, d.response("486 Busy Here", "1 INVITE")),
        datagram(1, d.request("ACK", "1 ACK")),
    ]


def declined():
    d = Dialog("call-603")
    return [
        datagram(1, d.invite()),
        datagram(2, d.response("180 Ringing", "1 INVITE")),
        datagram(2, d.response("603 Decline", "1 INVITE")),
        datagram(1, d.request("ACK", "1 ACK")),
    ]


def cancelled():
    d = Dialog("call-cancel")
    return [
        datagram(1, d.invite()),
        datagram(2, d.response("180 Ringing", "1 INVITE")),
        datagram(1, d.request("CANCEL", "1 CANCEL", to_tag=False)),
        datagram(2, d.response("200 OK", "1 CANCEL")),
        datagram(2, d.response("487 Request Terminated", "1 INVITE")),
        datagram(1, d.request("ACK", "1 ACK")),
    ]


def unknown_short_user():
    d = Dialog("call-404", callee="carol")
    return [datagram(1, d.invite()), ticks(1)]


def callee_not_found():
    d = Dialog("call-404b")
    return [
        datagram(1, d.invite()),
        datagram(2, d.response("404 Not Found", "1 INVITE")),
        datagram(1, d.request("ACK", "1 ACK")),
    ]


def default_route():
    d = Dialog("call-upstream", callee="1002003004", callee_source=3)
    return [
        datagram(1, d.invite()),
        datagram(3, d.response("183 Session Progress", "1 INVITE")),
        datagram(3, d.answer()),
        datagram(1, d.request("ACK", "1 ACK")),
        datagram(3, d.response("181 Call Is Being Forwarded", "1 INVITE")),
        datagram(1, d.request("BYE", "2 BYE")),
        datagram(3, d.response("200 OK", "2 BYE")),
        datagram(1, d.request("ACK", "1 ACK")),
    ]


def register_with_expires():
    return [datagram(4, register("carol", 4, "reg-carol", expires=5)), ticks(6), ticks(1),
            ticks(300)]


def register_contact_expires():
    return [
        datagram(3, register("dave", 3, "reg-dave", contact_expires=2)),
        ticks(2),
        datagram(3, register("dave", 3, "reg-dave", contact_expires=2)),
        ticks(4),
    ]


def register_default_lifetime():
    d = Dialog("call-erin", callee="erin", callee_source=4)
    return [datagram(4, register("erin", 4, "reg-erin")), ticks(301), datagram(1, d.invite()),
            datagram(4, d.response("486 Busy Here", "1 INVITE"))]


def register_refused():
    return [datagram(2, register("mallory", 2, "reg-bad", expires=60,
                                 from_uri="<tel:+15551234>"))]


def register_then_call():
    d = Dialog("call-frank", callee="frank", callee_source=3)
    return [
        datagram(3, register("frank", 3, "reg-frank", expires=60)),
        datagram(1, d.invite()),
        datagram(3, d.response("180 Ringing", "1 INVITE")),
        datagram(3, d.answer()),
        datagram(1, d.request("ACK", "1 ACK")),
        datagram(3, d.response("200 OK", "1 INVITE")),
        ticks(61),
    ]


def reregister_refresh():
    alice = register("alice", 1, "pre-alice", expires=0)
    return [datagram(1, alice), ticks(2), datagram(2, register("bob", 2, "pre-bob", expires=1)),
            ticks(3)]


def session_expires():
    d = Dialog("call-se")
    return [
        datagram(1, d.invite(extra=[("Session-Expires", "3")])),
        datagram(2, d.answer()),
        ticks(5),
        datagram(1, d.request("BYE", "2 BYE")),
    ]


def options():
    d = Dialog("opt-1")
    return [
        datagram(1, d.request("OPTIONS", "1 OPTIONS", [("Accept", "application/sdp")])),
        datagram(5, d.request("OPTIONS", "1 OPTIONS", source=5)),
        datagram(1, d.request("MESSAGE", "2 MESSAGE", body="")),
        datagram(2, Dialog("info-1").request("INFO", "1 INFO", source=2)),
    ]


def missing_call_id():
    text = Dialog("x").invite()
    text = "\r\n".join(line for line in text.split("\r\n") if not line.startswith("Call-ID"))
    return [datagram(1, text), datagram(2, "SIP/2.0 200 OK\r\nCSeq: 1 INVITE\r\n\r\n")]


def odd_responses():
    d = Dialog("call-odd")
    return [
        datagram(1, d.invite()),
        datagram(2, d.response("099 Too Low", "1 INVITE")),
        datagram(2, d.response("0 Zero", "1 INVITE")),
        datagram(2, d.response("180", "1 INVITE")),
        datagram(2, "SIP/2.0\r\nCall-ID: call-odd\r\n\r\n"),
        datagram(2, d.response("699 Whatever", "1 INVITE")),
        datagram(1, d.response("200 OK", "1 INVITE", source=1)),
    ]


def lower_case_methods():
    d = Dialog("call-lower")
    return [
        datagram(1, d.invite(word="invite")),
        datagram(1, d.request("ACK", "1 ACK", word="ack")),
        datagram(1, d.request("BYE", "2 BYE", word="bye")),
        datagram(2, register("bob", 2, "reg-lower").replace("REGISTER sip:", "register sip:", 1)),
    ]


def max_forwards_zero():
    d = Dialog("call-hops", hops="0")
    return [
        datagram(1, d.invite()),
        datagram(1, d.request("ACK", "1 ACK")),
        datagram(1, d.request("BYE", "2 BYE")),
        datagram(1, d.request("CANCEL", "1 CANCEL")),
        datagram(1, Dialog("call-hops1", hops="1").invite()),
    ]


def loop_to_self():
    d = Dialog("call-loop", callee="loop")
    return [
        datagram(5, register("loop", 5, "reg-loop", contact="<sip:loop@127.0.0.1:5060>")),
        datagram(1, d.invite()),
        datagram(4, Dialog("call-def", callee="longusername").invite()),
    ]


def full_table():
    # The 98 slots left after alice and bob, taken by the shortest messages that hold one (the
    # proxy answers each with 405 and keeps the slot until the next tick).
    steps = [datagram(1, f"Call-ID: {n}\r\n") for n in range(98)]
    d = Dialog("call-full")
    steps += [
        datagram(1, d.invite()),
        datagram(2, d.response("200 OK", "1 INVITE")),
        datagram(1, d.request("ACK", "1 ACK")),
        ticks(1),
        datagram(1, d.invite()),
    ]
    return steps


def binary_bytes():
    invite = Dialog("call-nul").invite().encode()
    return [
        datagram(1, "").encode(),
        raw(2, invite.replace(b"Via", b"V\x00a", 1) + b"\n@@D1\n\xff\xfe\x00\x00"),
    ]


def garbage_lines():
    return [
        datagram(1, "Call-ID: Call-ID: \r\n"),
        datagram(2, "INVITE\r\nCall-ID: g1\r\nFrom: sip:\r\nTo: sip:@\r\nContact: <sip:@:>\r\n\r\n"),
        datagram(3, "REGISTER x\r\nCall-ID:g2\r\nFrom:<sip:x>\r\nContact:<sip:@127.0.0.3:0>\r\n"
                    "Expires: -5\r\n\r\n"),
        ticks(1),
        datagram(4, "BYE sip:bob SIP/2.0\r\nCall-ID: pre-bob\r\nMax-Forwards: -1\r\n\r\n"),
    ]


SCENARIOS = {
    "call_full": full_call,
    "call_callee_hangs_up": callee_hangs_up,
    "call_busy_486": busy,
    "call_declined_603": declined,
    "call_cancelled_487": cancelled,
    "call_unknown_short_user": unknown_short_user,
    "call_callee_404": callee_not_found,
    "call_default_route": default_route,
    "call_session_expires": session_expires,
    "register_expires_header": register_with_expires,
    "register_contact_expires": register_contact_expires,
    "register_default_lifetime": register_default_lifetime,
    "register_refused_tel_uri": register_refused,
    "register_then_call": register_then_call,
    "register_refresh": reregister_refresh,
    "options_and_unknown_methods": options,
    "missing_call_id": missing_call_id,
    "responses_below_100": odd_responses,
    "lower_case_methods": lower_case_methods,
    "max_forwards_zero": max_forwards_zero,
    "loop_to_self": loop_to_self,
    "table_full": full_table,
    "binary_bytes": binary_bytes,
    "garbage_lines": garbage_lines,
}


def main():
    if len(sys.argv) > 2 or (len(sys.argv) == 2 and sys.argv[1].startswith("-")):
        sys.stderr.write(__doc__)
        return 0 if sys.argv[1] in ("-h", "--help") else 2
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, build in SCENARIOS.items():
        steps = build()
        data = b"".join(s if isinstance(s, bytes) else s.encode() for s in steps)
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print(f"{len(SCENARIOS)} files in {out}")


if __name__ == "__main__":
    sys.exit(main())
