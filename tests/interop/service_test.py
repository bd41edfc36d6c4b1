#!/usr/bin/env python3
"""service_test.py PROGRAM CASE: the metrics page and SIGHUP, or the journal's form of the log."""

import os
import pathlib
import re
import signal
import urllib.request

from prometheus_client.parser import text_string_to_metric_families  # python3-prometheus-client

from peers import ALICE_IP, STEP_S, Failure, Proxy, Socket, main, read_text

INVITE = ("INVITE sip:alice@{ip} SIP/2.0\r\nVia: SIP/2.0/UDP {ip}:{port};branch=z9hG4bK{hops}\r\n"
          "Max-Forwards: {hops}\r\nFrom: <sip:bob@{ip}>;tag=b\r\nTo: <sip:alice@{ip}>\r\n"
          "Call-ID: c{hops}\r\nCSeq: 1 INVITE\r\nContact: <sip:bob@{ip}:{port}>\r\n\r\n")
# alice registers; an INVITE with Max-Forwards 0 is refused, one with 70 reaches her (bob too).
EXCHANGE = [("REGISTER sip:{ip} SIP/2.0\r\nVia: SIP/2.0/UDP {ip}:{port};branch=z9hG4bKr\r\n"
             "From: <sip:alice@{ip}>\r\nCall-ID: reg\r\n"
             "Contact: <sip:alice@{ip}:{port}>\r\nExpires: 60\r\n\r\n", ["SIP/2.0 200"]),
            (INVITE.replace("{hops}", "0"), ["SIP/2.0 483"]),
            (INVITE.replace("{hops}", "70"), ["SIP/2.0 100", "INVITE sip:alice"])]


def exchange(proxy):
    end = Socket(ALICE_IP)
    for request, answers in EXCHANGE:
        end.send(request.format(ip=ALICE_IP, port=end.port), proxy)
        for answer in answers:
            end.expect(answer, request.split("\r\n")[0])


def metrics(program, workdir):
    config, settings = workdir + "/tavrix.conf", "metrics = 127.0.0.1:0\nmax-calls = 5\n"
    pathlib.Path(config).write_text(settings + "max-routes = 3\nlog-level = 3\n")
    proxy = Proxy(program, workdir, "--config", config, log_level=2)  # over the file's 3
    exchange(proxy)
    url = re.search(r"Metrics at (http://127\.0\.0\.1:\d+)/metrics", proxy.log()).group(1)
    with urllib.request.urlopen(url + "/metrics", timeout=STEP_S) as page:
        text = page.read().decode()
    seen = {s.name + "".join('{%s="%s"}' % label for label in s.labels.items()): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}
    expected = {'tavrix_build_info{version="0.0.2"}': 1, "tavrix_registrations": 2,
                "tavrix_call_attempts_total": 1, "tavrix_failed_calls_total": 0,
                "tavrix_call_slots_taken": 3, "tavrix_call_slots_capacity": 5,
                "tavrix_route_slots_taken": 2, "tavrix_route_slots_capacity": 3,
                "tavrix_datagrams_received_total": 3, "tavrix_datagrams_sent_total": 4,
                'tavrix_datagrams_dropped_total{reason="too_many_hops"}': 1,
                'tavrix_log_lines_total{level="LOG_ERR"}': 1,
                'tavrix_log_lines_total{level="LOG_INFO"}': 5,
                'tavrix_log_lines_total{level="LOG_DEBUG"}': 0}
    wrong = {name: seen.get(name) for name, value in expected.items() if seen.get(name) != value}
    if wrong:
        raise Failure("the page differs from %s in %s:\n%s" % (expected, wrong, text))
    try:
        raise Failure("/other was served: %s" % urllib.request.urlopen(url + "/other").status)
    except urllib.request.HTTPError as error:
        if error.code != 404:
            raise Failure("/other: status %d" % error.code) from None
    pathlib.Path(config).write_text(settings + "log-level = 4\n")  # the command line wins
    proxy.process.send_signal(signal.SIGHUP)
    proxy.wait_for_log("Configuration reread from %s: log level stays 2\n" % config)
    proxy.stop()


def journal(program, workdir):
    for name, stream, options, form in (("auto", True, [], "journal"),
                                        ("other-stream", False, [], "text"),
                                        ("forced", False, ["--log-format", "journal"], "journal"),
                                        ("text", True, ["--log-format", "text"], "text")):
        log = os.path.join(workdir, name, "proxy.log")
        os.makedirs(os.path.dirname(log))
        with open(log, "wb") as out:  # the file, and inode, the proxy's output goes to
            status = os.fstat(out.fileno())
        where = "%d:%d" % (status.st_dev, status.st_ino if stream else 0)
        os.environ["JOURNAL_STREAM"] = where  # for the proxy started next
        proxy = Proxy(program, os.path.dirname(log), *options)
        exchange(proxy)
        proxy.stop()
        rows = [row if form == "journal" else re.sub("^<.>", "\n", row.replace("\n", "\r\n"))
                for row in ("<7>LOG_DEBUGV: ", "<7>    REGISTER sip:127.0.0.1 SIP/2.0\n",
                            "<7>    \n", "<7>    Call-ID: reg\n", "<3>LOG_ERR: ", "<6>LOG_INFO: ")]
        text = read_text(log)
        if [row for row in rows if row not in text] or (form == "journal") == ("\r" in text):
            raise Failure("%s: not the %s form (%s):\n%s" % (name, form, rows, text))


if __name__ == "__main__":
    main({"metrics": (metrics, []), "journal": (journal, [])}, __doc__)
