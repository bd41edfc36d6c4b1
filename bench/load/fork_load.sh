#!/usr/bin/env bash
# Forked calls under load: a SIPp caller (127.0.0.1) calls user "forkee" through Tavrix
# headless (log level 1). At each rate two runs, one fresh proxy each:
#   one   forkee has one binding, a SIPp callee that answers (bench/load/uas.xml);
#   fork  forkee has two bindings, the same callee and a second SIPp callee: every INVITE goes
#         to both, the first answers and the second is cancelled (uas_cancelled.xml: 180,
#         then 200 to the CANCEL, 487, the proxy's ACK) or, with --loser busy, refuses at once
#         (uas_busy.xml: 486, the proxy's ACK).
# One table row per run: calls answered per second, successful and failed calls, the second
# callee's completed and failed calls (every call must reach it), INVITE-to-200 times and the
# proxy's CPU time per successful call (from /proc); then the CPU per call of a forked call
# over that of a one-branch call at each rate.
#
#   bench/load/fork_load.sh                     # 500 1000 2000 4000 calls/s, 5 s each
#   bench/load/fork_load.sh --quick             # 200 calls/s, 2 s: a smoke run
#   bench/load/fork_load.sh --rates "500 1000" --seconds 10 --loser busy --keep
#
# Options:
#   --rates "R ..."   call rates in calls/s
#   --seconds S       each run places R*S calls (bounded: SIPp -m and -timeout)
#   --loser L         what the second callee does: cancel (default) or busy
#   --log-dir DIR     Tavrix's log lines (level 1: errors) go to DIR/<run>.log, not /dev/null
#   --keep            keep the SIPp files of every run (printed at the end)
# Environment: TAVRIX=path/to/tavrix (default: a Release build in build-load/), TAVRIX_ARGS
# (more options; default "--max-calls 100000": more slots than a run has calls, so no finished
# call's slot is given away during the run; TAVRIX_ARGS= measures the default table of 100).
set -euo pipefail
source "$(dirname "$0")/common.sh"

rates="500 1000 2000 4000"
seconds=5
loser=cancel
log_dir=""
while (($#)); do
    case $1 in
    --quick) rates="200" seconds=2 ;;
    --rates) rates=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --loser) loser=$2; shift ;;
    --log-dir) log_dir=$(realpath -m "$2"); shift ;;
    --keep) KEEP_WORK=1 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown option '$1' (try --help)" ;;
    esac
    shift
done
case $loser in
cancel) loser_xml=uas_cancelled.xml ;;
busy) loser_xml=uas_busy.xml ;;
*) die "--loser is cancel or busy, not '$loser'" ;;
esac
need sipp python3 ss ps timeout getconf
[[ -n "$log_dir" ]] && mkdir -p "$log_dir"
prepare_tavrix
init_run
export TAVRIX_ARGS=${TAVRIX_ARGS-"--max-calls 100000"}
export UAC_USER=forkee # six letters: unregistered, it would get a 404, never the default route

# Successful and failed calls of a SIPp callee: "ok failed".
callee_calls() {
    python3 - "$1/uas_stat.csv" <<'EOF'
import sys
try:
    lines = [l.rstrip("\n") for l in open(sys.argv[1], encoding="latin-1") if l.strip()]
    stats = dict(zip(lines[0].split(";"), lines[-1].split(";")))
    print(stats["SuccessfulCall(C)"], stats["FailedCall(C)"])
except (OSError, IndexError, KeyError):
    print("? ?")
EOF
}

header() {
    printf '%-5s %6s %8s %7s %6s %11s %21s %9s %6s\n' run asked achieved ok failed \
        "2nd callee" "INVITE->200 ms" "CPU" "CPU"
    printf '%-5s %6s %8s %7s %6s %11s %21s %9s %6s\n' "" calls/s calls/s calls calls \
        "ok/failed" "mean / p99 / max" "us/call" "%"
}

declare -A PER_CALL
details=()

# One run: $1 (one or fork) at $2 calls/s. Prints its table row.
run_one() {
    local kind=$1 rate=$2
    local calls=$((rate * seconds))
    local dir="$WORK_DIR/$kind-$rate"
    local proxy_port uas_port loser_port uac_port loser_pid="" lok lfailed
    mkdir -p "$dir"
    proxy_port=$(free_port)
    uas_port=$(free_port)
    uac_port=$(free_port)

    # The default route (never used: forkee is short and registered) points at the callee.
    local log=/dev/null
    [[ -n "$log_dir" ]] && log="$log_dir/$kind-$rate.log"
    start_tavrix "$proxy_port" "$uas_port" 1 "$log" "$dir/tavrix.err"
    register_user "$proxy_port" "$uas_port" forkee || die "$kind $rate/s: the binding was refused"
    start_uas "$uas_port" $((seconds + 120)) "$dir"
    local uas_pid=$UAS_PID
    if [[ $kind == fork ]]; then
        loser_port=$(free_port)
        register_user "$proxy_port" "$loser_port" forkee ||
            die "$kind $rate/s: the second binding was refused"
        start_uas "$loser_port" $((seconds + 120)) "$dir/loser" "$loser_xml"
        loser_pid=$UAS_PID
    fi

    local before after start_ns end_ns status=0
    before=$(cpu_ticks "$PROXY_PID")
    start_ns=$(date +%s%N)
    run_uac "$uac_port" "$proxy_port" "$rate" "$calls" 0 "$dir" || status=$?
    if [[ -n $loser_pid ]]; then
        # The last calls' CANCEL, 487 and ACK may still be on their way: wait (at most 3 s)
        # for the second callee to finish every call it got.
        local _
        for _ in $(seq 1 30); do
            read -r lok lfailed < <(callee_calls "$dir/loser")
            [[ $lok =~ ^[0-9]+$ && $lfailed =~ ^[0-9]+$ ]] && ((lok + lfailed >= calls)) && break
            sleep 0.1
        done
    fi
    end_ns=$(date +%s%N)
    after=$(cpu_ticks "$PROXY_PID")
    local proxy_drops
    proxy_drops=$(socket_drops "$proxy_port")
    kill -USR1 "$PROXY_PID" 2>/dev/null || true
    sleep 0.3
    local proxy_stats
    proxy_stats=$(grep -a '^Statistics:' "$dir/tavrix.err" | tail -1 || true)
    [[ -n $loser_pid ]] && stop_pid "$loser_pid"
    stop_pid "$uas_pid"
    stop_pid "$PROXY_PID"

    # shellcheck disable=SC2034 # all set by sipp_summary.py, not all shown
    local ACHIEVED CREATED SUCCESS FAILED RETRANS UAC_RETRANS UAS_RETRANS UAS_FAILED RT_MEAN \
        RT_P50 RT_P99 RT_MAX RT_BYE_P99 FAILURES UAS_FAILURES
    eval "$(python3 "$LOAD_DIR/sipp_summary.py" "$dir")"
    local second="-"
    if [[ -n $loser_pid ]]; then
        read -r lok lfailed < <(callee_calls "$dir/loser")
        second="$lok/$lfailed"
    fi

    local cpu_us=$(((after - before) * 1000000 / CLK_TCK))
    local wall_us=$(((end_ns - start_ns) / 1000))
    local per_call="-"
    ((SUCCESS > 0)) && per_call=$((cpu_us / SUCCESS))
    local cpu_pct=$((cpu_us * 100 / (wall_us > 0 ? wall_us : 1)))
    PER_CALL[$kind-$rate]=$per_call

    printf '%-5s %6d %8s %7s %6s %11s %21s %9s %6s\n' "$kind" "$rate" "$ACHIEVED" "$SUCCESS" \
        "$FAILED" "$second" "$RT_MEAN / $RT_P99 / $RT_MAX" "$per_call" "$cpu_pct"

    local note
    note="$kind $rate/s: load average $(cut -d' ' -f1 /proc/loadavg), sipp status $status,"
    note+=" retransmissions caller $UAC_RETRANS callee $UAS_RETRANS,"
    note+=" proxy socket drops ${proxy_drops%/*}"
    [[ -n "$FAILURES" ]] && note+=", caller: $FAILURES"
    ((UAS_FAILED > 0)) && note+=", callee failed $UAS_FAILED ($UAS_FAILURES)"
    [[ -n "$proxy_stats" ]] && note+=", ${proxy_stats%$'\r'}"
    details+=("$note")
}

echo "Forked-call load run $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) CPUs" \
    "($(lscpu | sed -n 's/^Model name: *//p')): rates $rates calls/s, $seconds s each," \
    "second callee: $loser, proxy options: ${TAVRIX_ARGS:-none}"
echo "Tavrix $("$(tavrix_binary)" --version | awk '{print $2}') (tree $(tree_version))," \
    "$(sipp -v 2>&1 | grep -o 'SIPp v[^ ,-]*' | head -1)"
echo "Host load before the run: load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
header
for rate in $rates; do
    for kind in one fork; do
        run_one "$kind" "$rate"
    done
done

echo
echo "Proxy CPU per call, forked (two branches) over one branch:"
for rate in $rates; do
    one=${PER_CALL[one-$rate]} fork=${PER_CALL[fork-$rate]}
    if [[ $one =~ ^[0-9]+$ && $fork =~ ^[0-9]+$ ]] && ((one > 0)); then
        printf '  %6d calls/s: %5d us / %5d us = %s\n' "$rate" "$fork" "$one" \
            "$(python3 -c "print('%.2f' % ($fork / $one))")"
    else
        printf '  %6d calls/s: %s / %s\n' "$rate" "$fork" "$one"
    fi
done
echo
echo "Details:"
for note in "${details[@]}"; do
    echo "  $note"
done
