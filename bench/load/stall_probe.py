#!/usr/bin/env python3
"""Measures how long a SIP proxy's event loop keeps a request waiting.

Sends an OPTIONS to the proxy every --interval ms for --seconds and records, for each, the
time from sending to its answer (any final response, matched by CSeq). The proxy answers
OPTIONS itself on the thread that handles all its traffic, so the largest delay is the
longest the loop went without turning. Prints the longest delay, percentiles and how many
probes went unanswered.

Every probe carries the same Call-ID: a new Call-ID per probe would take one of the proxy's
call slots each until its once-a-second sweep, and at 100 probes a second crowd out calls.
Only loopback destinations are accepted.
"""

import argparse
import ipaddress
import math
import os
import select
import socket
import sys
import time


def percentile(sorted_values, fraction):
    if not sorted_values:
        return float("nan")
    index = min(len(sorted_values) - 1, max(0, math.ceil(fraction * len(sorted_values)) - 1))
    return sorted_values[index]


def options_request(proxy, port, local, local_port, cseq, call_id):
    branch = "z9hG4bK-probe-%d-%d" % (os.getpid(), cseq)
    return (
        "OPTIONS sip:%s:%d SIP/2.0\r\n"
        "Via: SIP/2.0/UDP %s:%d;branch=%s\r\n"
        "Max-Forwards: 70\r\n"
        "From: <sip:probe@%s:%d>;tag=probe%d\r\n"
        "To: <sip:%s:%d>\r\n"
        "Call-ID: %s\r\n"
        "CSeq: %d OPTIONS\r\n"
        "Content-Length: 0\r\n"
        "\r\n" % (proxy, port, local, local_port, branch, local, local_port, os.getpid(),
                  proxy, port, call_id, cseq)
    ).encode("ascii")


def cseq_of(datagram):
    """The CSeq number of a final response, or None."""
    text = datagram.decode("latin-1", "replace")
    if not text.startswith("SIP/2.0 ") or text[8:9] == "1":
        return None
    for line in text.split("\r\n"):
        name, _, value = line.partition(":")
        if name.strip().lower() == "cseq":
            try:
                return int(value.split()[0])
            except (ValueError, IndexError):
                return None
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--proxy", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--local", default="127.0.0.3", help="loopback address to send from")
    parser.add_argument("--interval", type=float, default=10.0, help="ms between probes")
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--grace", type=float, default=3.0, help="s to wait for late answers")
    parser.add_argument("--samples", help="write 'send_offset_ms delay_ms' lines here")
    args = parser.parse_args()

    for address in (args.proxy, args.local):
        if not ipaddress.ip_address(address).is_loopback:
            sys.exit("stall_probe: only loopback addresses are allowed, not %s" % address)

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.local, 0))
    local_port = sock.getsockname()[1]
    call_id = "stall-probe-%d@%s" % (os.getpid(), args.local)

    sent = {}     # cseq -> send time
    delays = {}   # cseq -> delay in s
    start = time.monotonic()
    stop_sending = start + args.seconds
    stop = stop_sending + args.grace
    next_send = start
    cseq = 0
    while True:
        now = time.monotonic()
        if now >= stop or (now >= stop_sending and len(delays) == len(sent)):
            break
        if now >= next_send and now < stop_sending:
            cseq += 1
            sock.sendto(options_request(args.proxy, args.port, args.local, local_port, cseq,
                                        call_id), (args.proxy, args.port))
            sent[cseq] = time.monotonic()
            next_send += args.interval / 1000.0
            if next_send < now:  # the probe itself was held up: do not send a burst
                next_send = now + args.interval / 1000.0
            continue
        wait = max(0.0, min(next_send if now < stop_sending else stop, stop) - now)
        readable, _, _ = select.select([sock], [], [], wait)
        if readable:
            received = time.monotonic()
            datagram = sock.recv(65535)
            number = cseq_of(datagram)
            if number in sent and number not in delays:
                delays[number] = received - sent[number]

    values = sorted(d * 1000.0 for d in delays.values())
    lost = len(sent) - len(delays)
    worst = max(delays.items(), key=lambda item: item[1]) if delays else None
    if args.samples:
        with open(args.samples, "w") as f:
            for number in sorted(sent):
                delay = delays.get(number)
                f.write("%.3f %s\n" % ((sent[number] - start) * 1000.0,
                                       "lost" if delay is None else "%.3f" % (delay * 1000.0)))
    print("probes %d, answered %d, unanswered %d" % (len(sent), len(delays), lost))
    if values:
        print("delay ms: p50 %.2f  p90 %.2f  p99 %.2f  p99.9 %.2f  max %.2f" % (
            percentile(values, 0.50), percentile(values, 0.90), percentile(values, 0.99),
            percentile(values, 0.999), values[-1]))
        print("longest stall %.1f ms (probe sent at %.1f s)" % (
            worst[1] * 1000.0, sent[worst[0]] - start))
    print("STALL_MAX_MS=%.1f" % (values[-1] if values else float("nan")))
    print("STALL_P99_MS=%.1f" % percentile(values, 0.99))
    print("STALL_UNANSWERED=%d" % lost)


if __name__ == "__main__":
    main()
