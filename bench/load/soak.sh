#!/usr/bin/env bash
# Soak: calls at a steady rate for a number of minutes through Tavrix headless (SIPp caller
# on 127.0.0.1, SIPp callee on 127.0.0.2), printing every interval the calls so far, failed
# calls, retransmissions and the proxy's resident memory (VmRSS), and at the end the memory
# at start and end and the failed calls.
#
#   bench/load/soak.sh                      # 10 minutes at 1000 calls/s
#   bench/load/soak.sh --minutes 2          # a shorter try
#   bench/load/soak.sh --minutes 0.5 --rate 200 --interval 10
#
# Options:
#   --minutes M     length of the load (default 10; fractions allowed)
#   --rate R        calls/s (default 1000)
#   --pause MS      call length between ACK and BYE (default 0)
#   --level L       Tavrix log level, 1 to 4 (default 1; the log lines go to /dev/null)
#   --interval S    seconds between progress lines (default 60)
#   --keep          keep the SIPp files (printed at the end)
# Environment: TAVRIX=path/to/tavrix (default: a Release build in build-load/).
set -euo pipefail
source "$(dirname "$0")/common.sh"

minutes=10
rate=1000
pause=0
level=1
interval=60
while (($#)); do
    case $1 in
    --minutes) minutes=$2; shift ;;
    --rate) rate=$2; shift ;;
    --pause) pause=$2; shift ;;
    --level) level=$2; shift ;;
    --interval) interval=$2; shift ;;
    --keep) KEEP_WORK=1 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown option '$1' (try --help)" ;;
    esac
    shift
done
need sipp python3 ss ps timeout getconf
seconds=$(python3 -c "print(max(1, round(float('$minutes') * 60)))")
calls=$((rate * seconds))
prepare_tavrix
init_run

proxy_port=$(free_port)
uas_port=$(free_port)
uac_port=$(free_port)
start_tavrix "$proxy_port" "$uas_port" "$level" /dev/null "$WORK_DIR/tavrix.err"
start_uas "$uas_port" $((seconds + 120)) "$WORK_DIR"

# Cumulative figures from the caller's statistics file: "successful failed retransmissions".
caller_so_far() {
    python3 - "$WORK_DIR/uac_stat.csv" <<'EOF'
import sys
try:
    lines = [l.rstrip("\n") for l in open(sys.argv[1], encoding="latin-1") if l.strip()]
    stats = dict(zip(lines[0].split(";"), lines[-1].split(";")))
    print(stats["SuccessfulCall(C)"], stats["FailedCall(C)"], stats["Retransmissions(C)"])
except (OSError, IndexError, KeyError):
    print(0, 0, 0)
EOF
}

proxy_stats() {
    kill -USR1 "$PROXY_PID" 2>/dev/null || true
    sleep 0.2
    grep -a '^Statistics:' "$WORK_DIR/tavrix.err" | tail -1 | tr -d '\r' || true
}

rss_start=$(rss_kib "$PROXY_PID")
echo "Soak $(date -u '+%Y-%m-%d %H:%M UTC'): Tavrix $("$(tavrix_binary)" --version | awk '{print $2}') (tree $(tree_version))" \
    "headless, log level $level, $rate calls/s for $seconds s ($calls calls), call length $pause ms," \
    "$(nproc) CPUs"
echo "Resident memory at start (idle, before the first call): $rss_start KiB"
printf '%8s %10s %10s %8s %8s %10s %6s\n' elapsed successful failed retrans "open" "VmRSS KiB" "CPU %"

cpu_before=$(cpu_ticks "$PROXY_PID")
start_s=$(date +%s)
start_uac "$uac_port" "$proxy_port" "$rate" "$calls" "$pause" "$WORK_DIR"
uac_pid=$UAC_PID

last_ticks=$cpu_before
last_s=$start_s
next=$((start_s + interval))
rss_peak=$rss_start
while kill -0 "$uac_pid" 2>/dev/null; do
    sleep 1
    now=$(date +%s)
    ((now >= next)) || continue
    next=$((next + interval))
    read -r ok_now failed_now retrans_now < <(caller_so_far)
    rss=$(rss_kib "$PROXY_PID")
    ((rss > rss_peak)) && rss_peak=$rss
    ticks=$(cpu_ticks "$PROXY_PID")
    cpu_pct=$(((ticks - last_ticks) * 100 / CLK_TCK / (now - last_s > 0 ? now - last_s : 1)))
    last_ticks=$ticks
    last_s=$now
    printf '%7ds %10s %10s %8s %8s %10s %6s\n' $((now - start_s)) "$ok_now" "$failed_now" "$retrans_now" \
        "$(awk -F';' 'END { print $14 }' "$WORK_DIR/uac_stat.csv" 2>/dev/null)" "$rss" "$cpu_pct"
done
status=0
wait "$uac_pid" || status=$?
untrack_pid "$uac_pid"
end_s=$(date +%s)
cpu_after=$(cpu_ticks "$PROXY_PID")
rss_end=$(rss_kib "$PROXY_PID")
((rss_end > rss_peak)) && rss_peak=$rss_end
final_stats=$(proxy_stats)
stop_pid "$UAS_PID"

eval "$(python3 "$LOAD_DIR/sipp_summary.py" "$WORK_DIR")"
per_call="-"
((SUCCESS > 0)) && per_call=$(((cpu_after - cpu_before) * 1000000 / CLK_TCK / SUCCESS))
change=$(python3 -c "print('%+.1f' % (100.0 * ($rss_end - $rss_start) / $rss_start))")

echo
echo "Calls: $SUCCESS successful, $FAILED failed of $CREATED placed in $((end_s - start_s)) s" \
    "(SIPp status $status); retransmissions $RETRANS (caller $UAC_RETRANS, callee $UAS_RETRANS)"
[[ -n "$FAILURES" ]] && echo "Caller failures: $FAILURES"
((UAS_FAILED > 0)) && echo "Callee failures: $UAS_FAILED ($UAS_FAILURES)"
echo "INVITE->200 ms: mean $RT_MEAN, p50 $RT_P50, p99 $RT_P99, max $RT_MAX"
echo "Proxy CPU: $per_call us per successful call; proxy socket drops/buffer: $(socket_drops "$proxy_port")"
echo "Proxy: ${final_stats:-no statistics line}"
echo "Resident memory: start $rss_start KiB, end $rss_end KiB ($change%), peak $rss_peak KiB"
echo "Targets: 0 failed calls -> $( ((FAILED == 0)) && echo met || echo MISSED );" \
    "end within 5% of start -> $(python3 -c "print('met' if abs($rss_end - $rss_start) <= 0.05 * $rss_start else 'MISSED')")"
