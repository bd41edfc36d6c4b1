#!/usr/bin/env bash
# Load runs at rising call rates: a SIPp caller (127.0.0.1) places calls through the proxy
# to a SIPp callee (127.0.0.2), against Tavrix headless at log level 1, Tavrix at log level 3
# and Kamailio (bench/load/kamailio.cfg), one fresh proxy per rate, and prints one table row
# per run: achieved rate, successful and failed calls, retransmissions, INVITE-to-200
# response times and the proxy's CPU time per successful call (from /proc).
#
#   bench/load/run_load.sh                 # 500 1000 2000 3000 4000 6000 calls/s, 5 s each
#   bench/load/run_load.sh --quick         # 200 and 500 calls/s, 2 s each: a smoke run
#   bench/load/run_load.sh --rates "1000 2500" --seconds 10 --proxies "tavrix1 kamailio"
#
# Options:
#   --rates "R ..."     call rates in calls/s
#   --seconds S         each rate places R*S calls (bounded: SIPp -m and -timeout)
#   --pause MS          call length between ACK and BYE (default 0: few calls open at once,
#                       Tavrix holds at most 100)
#   --proxies "P ..."   any of tavrix1 tavrix3 kamailio (default all three)
#   --log-dir DIR       Tavrix's log lines go to DIR/<run>.log instead of /dev/null
#   --keep              keep the SIPp files of every run (printed at the end)
# Environment: TAVRIX=path/to/tavrix (default: a Release build in build-load/), TAVRIX_ARGS
# (more options, e.g. "--max-calls 10000"),
# KAMAILIO_WORKERS (default: nproc), KAMAILIO_SHM_MB (shared memory, default 2048).
set -euo pipefail
source "$(dirname "$0")/common.sh"

rates="500 1000 2000 3000 4000 6000"
seconds=5
pause=0
proxies="tavrix1 tavrix3 kamailio"
log_dir=""
while (($#)); do
    case $1 in
    --quick) rates="200 500" seconds=2 ;;
    --rates) rates=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --pause) pause=$2; shift ;;
    --proxies) proxies=$2; shift ;;
    --log-dir) log_dir=$(realpath -m "$2"); shift ;;
    --keep) KEEP_WORK=1 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown option '$1' (try --help)" ;;
    esac
    shift
done
need sipp kamailio python3 ss ps timeout getconf
for proxy in $proxies; do
    [[ $proxy =~ ^(tavrix1|tavrix3|kamailio)$ ]] || die "unknown proxy '$proxy'"
done
[[ -n "$log_dir" ]] && mkdir -p "$log_dir"
prepare_tavrix
init_run

header() {
    printf '%-9s %6s %8s %7s %6s %7s %21s %9s %6s\n' proxy asked achieved ok failed retrans \
        "INVITE->200 ms" "CPU" "CPU"
    printf '%-9s %6s %8s %7s %6s %7s %21s %9s %6s\n' "" calls/s calls/s calls calls msgs \
        "mean / p99 / max" "us/call" "%"
}

declare -A CLEAN_RATE CPU_AT
details=()

# One run: proxy $1 at $2 calls/s. Prints its table row.
run_one() {
    local proxy=$1 rate=$2
    local calls=$((rate * seconds))
    local dir="$WORK_DIR/$proxy-$rate"
    local proxy_port uas_port uac_port
    mkdir -p "$dir"
    proxy_port=$(free_port)
    uas_port=$(free_port)
    uac_port=$(free_port)

    local log=/dev/null
    [[ -n "$log_dir" ]] && log="$log_dir/$proxy-$rate.log"
    case $proxy in
    tavrix1) start_tavrix "$proxy_port" "$uas_port" 1 "$log" "$dir/tavrix.err" ;;
    tavrix3) start_tavrix "$proxy_port" "$uas_port" 3 "$log" "$dir/tavrix.err" ;;
    kamailio) start_kamailio "$proxy_port" "$uas_port" "$dir/kamailio" ;;
    esac
    start_uas "$uas_port" $((seconds + 120)) "$dir"

    local before after start_ns end_ns drops_before drops_after status=0
    drops_before=$(udp_rcvbuf_errors)
    before=$(cpu_ticks "$PROXY_PID")
    start_ns=$(date +%s%N)
    run_uac "$uac_port" "$proxy_port" "$rate" "$calls" "$pause" "$dir" || status=$?
    end_ns=$(date +%s%N)
    after=$(cpu_ticks "$PROXY_PID")
    drops_after=$(udp_rcvbuf_errors)
    local proxy_drops uas_drops
    proxy_drops=$(socket_drops "$proxy_port")
    uas_drops=$(socket_drops "$uas_port")

    local proxy_stats=""
    if [[ $proxy == tavrix* ]]; then
        kill -USR1 "$PROXY_PID" 2>/dev/null || true
        sleep 0.3
        proxy_stats=$(grep -a '^Statistics:' "$dir/tavrix.err" | tail -1 || true)
    fi
    stop_pid "$UAS_PID"
    stop_pid "$PROXY_PID"

    # shellcheck disable=SC2034 # all set by sipp_summary.py, not all shown
    local ACHIEVED CREATED SUCCESS FAILED RETRANS UAC_RETRANS UAS_RETRANS UAS_FAILED RT_MEAN \
        RT_P50 RT_P99 RT_MAX RT_BYE_P99 FAILURES UAS_FAILURES
    eval "$(python3 "$LOAD_DIR/sipp_summary.py" "$dir")"

    local cpu_us=$(((after - before) * 1000000 / CLK_TCK))
    local wall_us=$(((end_ns - start_ns) / 1000))
    local per_call="-"
    ((SUCCESS > 0)) && per_call=$((cpu_us / SUCCESS))
    local cpu_pct=$((cpu_us * 100 / (wall_us > 0 ? wall_us : 1)))

    printf '%-9s %6d %8s %7s %6s %7s %21s %9s %6s\n' "$proxy" "$rate" "$ACHIEVED" "$SUCCESS" \
        "$FAILED" "$RETRANS" "$RT_MEAN / $RT_P99 / $RT_MAX" "$per_call" "$cpu_pct"

    # A rate counts as held when every call succeeded at (nearly) the rate asked.
    if ((FAILED == 0 && SUCCESS == calls && ACHIEVED * 100 >= rate * 95)); then
        CLEAN_RATE[$proxy]=$rate
        CPU_AT[$proxy]="${CPU_AT[$proxy]:-}${CPU_AT[$proxy]:+ }$rate:$per_call"
    fi
    local note
    note="$proxy $rate/s: load average $(cut -d' ' -f1 /proc/loadavg), sipp status $status,"
    note+=" created $CREATED, retransmissions"
    note+=" caller $UAC_RETRANS callee $UAS_RETRANS, BYE->200 p99 ${RT_BYE_P99} ms"
    note+=", UDP receive-buffer drops: host $((drops_after - drops_before)), proxy socket"
    note+=" ${proxy_drops%/*} (buffer ${proxy_drops#*/} B), callee socket ${uas_drops%/*}"
    [[ -n "$FAILURES" ]] && note+=", caller: $FAILURES"
    ((UAS_FAILED > 0)) && note+=", callee failed $UAS_FAILED ($UAS_FAILURES)"
    [[ -n "$proxy_stats" ]] && note+=", ${proxy_stats%$'\r'}"
    details+=("$note")
}

echo "Load run $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) CPUs ($(lscpu | sed -n 's/^Model name: *//p')):" \
    "rates $rates calls/s, $seconds s each, call length $pause ms"
echo "Tavrix $("$(tavrix_binary)" --version | awk '{print $2}') (tree $(tree_version)), Kamailio $(kamailio -v | head -1 | awk '{print $3}')," \
    "$(sipp -v 2>&1 | grep -o 'SIPp v[^ ,-]*' | head -1)"
echo "Host load before the run: load average $(cut -d' ' -f1-3 /proc/loadavg); busiest processes:" \
    "$(ps -eo pcpu=,comm= --sort=-pcpu | head -3 | awk '{ printf "%s%s %s%%", sep, $2, $1; sep = ", " }')"
echo
header
for rate in $rates; do
    for proxy in $proxies; do
        run_one "$proxy" "$rate"
    done
done

echo
echo "Highest rate held (every call successful, at >= 95% of the rate asked):"
for proxy in $proxies; do
    printf '  %-9s %6s calls/s   CPU us/call at held rates: %s\n' "$proxy" \
        "${CLEAN_RATE[$proxy]:-none}" "${CPU_AT[$proxy]:-none}"
done
echo
echo "Details:"
for note in "${details[@]}"; do
    echo "  $note"
done
