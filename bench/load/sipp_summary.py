#!/usr/bin/env python3
"""Sums up one SIPp caller run for the load scripts.

Reads the caller's statistics file (uac_stat.csv, its last line is the cumulative one), its
response-time trace (uac_*_rtt.csv) and, when present, the callee's statistics file, and
prints shell assignments (NAME=value) that run_load.sh and soak.sh evaluate.
"""

import glob
import math
import os
import sys


def last_stats(path):
    """The header names and the last data line of a SIPp statistics file, as a dict."""
    if not os.path.exists(path):
        return {}
    with open(path, encoding="latin-1") as f:
        lines = [line.rstrip("\n") for line in f if line.strip()]
    if len(lines) < 2:
        return {}
    names = lines[0].split(";")
    values = lines[-1].split(";")
    return dict(zip(names, values))


def number(stats, name):
    try:
        return float(stats.get(name, "0") or 0)
    except ValueError:
        return 0.0


def percentile(sorted_values, fraction):
    if not sorted_values:
        return 0.0
    index = min(len(sorted_values) - 1, max(0, math.ceil(fraction * len(sorted_values)) - 1))
    return sorted_values[index]


def response_times(directory):
    """INVITE-to-200 and BYE-to-200 times in ms from the caller's response-time traces."""
    times = {"1": [], "2": []}
    stamps = []
    for path in glob.glob(os.path.join(directory, "uac_*_rtt.csv")):
        with open(path, encoding="latin-1") as f:
            for line in f:
                parts = line.strip().split(";")
                if len(parts) != 3 or parts[2] not in times:
                    continue
                try:
                    times[parts[2]].append(float(parts[1]))
                    if parts[2] == "1":
                        stamps.append(float(parts[0]))
                except ValueError:
                    pass
    return {key: sorted(values) for key, values in times.items()}, sorted(stamps)


def answered_rate(stamps, fallback):
    """Calls answered per second while the run lasted: 200s to INVITE over the span from the
    first to the last. SIPp's own CallRate(C) divides by the whole run, which includes the
    seconds a failed call waits for its time-out."""
    if len(stamps) < 2 or stamps[-1] <= stamps[0]:
        return fallback
    return (len(stamps) - 1) * 1000.0 / (stamps[-1] - stamps[0])


def failure_breakdown(stats):
    """The non-zero cumulative failure counters, e.g. 'FailedTimeoutOnRecv=3'."""
    parts = []
    for name, value in stats.items():
        if name.startswith("Failed") and name.endswith("(C)") and name != "FailedCall(C)":
            if number(stats, name) > 0:
                parts.append("%s=%d" % (name[:-3], number(stats, name)))
    for name in ("OutOfCallMsgs(C)", "DeadCallMsgs(C)", "WatchdogMajor(C)", "FatalErrors(C)"):
        if number(stats, name) > 0:
            parts.append("%s=%d" % (name[:-3], number(stats, name)))
    return " ".join(parts)


def main():
    directory = sys.argv[1] if len(sys.argv) > 1 else "."
    uac = last_stats(os.path.join(directory, "uac_stat.csv"))
    uas = last_stats(os.path.join(directory, "uas_stat.csv"))
    rtt, stamps = response_times(directory)
    invite = rtt["1"]
    bye = rtt["2"]
    out = {
        "ACHIEVED": "%.0f" % answered_rate(stamps, number(uac, "CallRate(C)")),
        "CREATED": "%d" % number(uac, "OutgoingCall(C)"),
        "SUCCESS": "%d" % number(uac, "SuccessfulCall(C)"),
        "FAILED": "%d" % number(uac, "FailedCall(C)"),
        "RETRANS": "%d" % (number(uac, "Retransmissions(C)") + number(uas, "Retransmissions(C)")),
        "UAC_RETRANS": "%d" % number(uac, "Retransmissions(C)"),
        "UAS_RETRANS": "%d" % number(uas, "Retransmissions(C)"),
        "UAS_FAILED": "%d" % number(uas, "FailedCall(C)"),
        "RT_MEAN": "%.1f" % (sum(invite) / len(invite) if invite else 0.0),
        "RT_P50": "%.0f" % percentile(invite, 0.50),
        "RT_P99": "%.0f" % percentile(invite, 0.99),
        "RT_MAX": "%.0f" % (invite[-1] if invite else 0.0),
        "RT_BYE_P99": "%.0f" % percentile(bye, 0.99),
        "FAILURES": "'%s'" % failure_breakdown(uac),
        "UAS_FAILURES": "'%s'" % failure_breakdown(uas),
    }
    for name, value in out.items():
        print("%s=%s" % (name, value))


if __name__ == "__main__":
    main()
