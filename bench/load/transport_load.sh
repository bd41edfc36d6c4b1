#!/usr/bin/env bash
# Calls over UDP, TCP and TLS: a SIPp caller (127.0.0.1) places calls through the proxy to a
# SIPp callee (127.0.0.2) registered as user "callee" with a Contact that names the transport,
# against Tavrix headless (log level 1) and Kamailio (bench/load/kamailio_tls.cfg), at rising
# rates, one fresh proxy per run, both legs of every call over the same transport. One table
# row per run: calls answered per second, successful and failed calls, INVITE-to-200 times and
# the proxy's CPU time per successful call (from /proc); then, per transport and proxy, the
# highest rate held with no failed call.
#
#   UDP: SIPp -t u1 on both sides, as run_load.sh.
#   TCP: SIPp -t t1: one connection caller->proxy, one proxy->callee.
#   TLS: the SIPp of Debian is built without TLS, so each SIPp speaks TCP to a local stunnel
#        that holds the TLS end: caller -TCP-> stunnel -TLS-> proxy -TLS-> stunnel -TCP-> callee.
#        The proxy does all the TLS work a TLS phone would give it (one handshake per leg,
#        every message encrypted and decrypted); stunnel's CPU time is shown apart. A test CA and
#        a certificate for 127.0.0.1 and 127.0.0.2 are made with openssl in the run's
#        temporary directory; the proxy and the callee's stunnel present it, the caller's
#        stunnel checks the proxy's against the CA, the proxies check nothing (no client
#        certificates).
#
#   bench/load/transport_load.sh                # 100 300 600 1000 calls/s, 5 s each (~4 min)
#   bench/load/transport_load.sh --quick        # 100 calls/s, 2 s: a smoke run
#   bench/load/transport_load.sh --proxies kamailio --transports "tcp tls" --keep
#   TAVRIX=/path/to/tavrix bench/load/transport_load.sh --wait-quiet 600
#
# Options:
#   --rates "R ..."        call rates in calls/s
#   --seconds S            each run places R*S calls (bounded: SIPp -m and -timeout)
#   --transports "T ..."   any of udp tcp tls (default all three)
#   --proxies "P ..."      any of tavrix kamailio (default both)
#   --wait-quiet S         first wait up to S seconds for the 1-minute load average to fall
#                          below --quiet-below (default 1.0); the run goes on either way
#   --keep                 keep the SIPp, stunnel and proxy files of every run
# Environment: TAVRIX=path/to/tavrix (default: a Release build in build-load/), TAVRIX_ARGS
# (more options; default "--max-calls 10000", as the capacity runs), KAMAILIO_WORKERS (UDP
# workers and TCP readers, default: nproc), KAMAILIO_SHM_MB (shared memory, default 2048),
# STUNNEL_DEBUG (stunnel's log level, default err; info shows each connection and handshake).
set -euo pipefail
# shellcheck source=bench/load/common.sh
source "$(dirname "$0")/common.sh"

rates="100 300 600 1000"
seconds=5
transports="udp tcp tls"
proxies="tavrix kamailio"
wait_quiet=0
quiet_below=1.0
while (($#)); do
    case $1 in
    --quick) rates="100" seconds=2 ;;
    --rates) rates=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --transports) transports=$2; shift ;;
    --proxies) proxies=$2; shift ;;
    --wait-quiet) wait_quiet=$2; shift ;;
    --quiet-below) quiet_below=$2; shift ;;
    --keep) KEEP_WORK=1 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown option '$1' (try --help)" ;;
    esac
    shift
done
for proxy in $proxies; do
    [[ $proxy =~ ^(tavrix|kamailio)$ ]] || die "unknown proxy '$proxy'"
done
for transport in $transports; do
    [[ $transport =~ ^(udp|tcp|tls)$ ]] || die "unknown transport '$transport'"
done
need sipp python3 ss ps timeout getconf openssl
[[ " $proxies " == *" kamailio "* ]] && need kamailio
[[ " $transports " == *" tls "* ]] && need stunnel
[[ " $proxies " == *" tavrix "* ]] && prepare_tavrix
init_run
export TAVRIX_ARGS=${TAVRIX_ARGS-"--max-calls 10000"}
export UAC_USER=callee # six letters: a registered user, never the default route

# A port free for both TCP and UDP on every address (the proxies take both on one port).
free_stream_port() {
    python3 -c 'import socket
while True:
    t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    t.bind(("0.0.0.0", 0))
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        u.bind(("0.0.0.0", t.getsockname()[1]))
    except OSError:
        continue
    print(t.getsockname()[1])
    break'
}

# Waits until something listens on TCP port $2 (up to 10 s); $1 names the address meant, for
# the reader (a proxy may listen on every address).
wait_tcp_listen() {
    local _
    for _ in $(seq 1 100); do
        ss -Hltn "sport = :$2" 2>/dev/null | grep -q . && return 0
        sleep 0.1
    done
    return 1
}

# The test CA and a certificate for 127.0.0.1 and 127.0.0.2 signed by it, in $TLS_DIR.
make_tls_files() {
    TLS_DIR=$WORK_DIR/tls
    mkdir -p "$TLS_DIR"
    (
        cd "$TLS_DIR"
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
            -keyout ca.key -out ca.pem -days 2 -subj "/CN=Tavrix load test CA"
        openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
            -keyout key.pem -out cert.csr -subj "/CN=127.0.0.1"
        printf 'subjectAltName=IP:127.0.0.1,IP:127.0.0.2\nextendedKeyUsage=serverAuth,clientAuth\n' >ext.cnf
        openssl x509 -req -in cert.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
            -extfile ext.cnf -out cert.pem
    ) >"$WORK_DIR/openssl.log" 2>&1 || { cat "$WORK_DIR/openssl.log" >&2; die "openssl could not make the test certificate"; }
}

# Starts proxy $1 on UDP and TCP port $2 and TLS port $3, files in $4. Sets PROXY_PID.
start_proxy() {
    local proxy=$1 port=$2 tls_port=$3 dir=$4
    mkdir -p "$dir"
    case $proxy in
    tavrix)
        # The default route is never used (the callee is registered); it points at nothing.
        local TAVRIX_ARGS="--tls-cert $TLS_DIR/cert.pem --tls-key $TLS_DIR/key.pem --tls-port $tls_port ${TAVRIX_ARGS:-}"
        start_tavrix "$port" 9 1 "$dir/tavrix.log" "$dir/tavrix.err"
        ;;
    kamailio)
        kamailio -f "$LOAD_DIR/kamailio_tls.cfg" -DD -E -l "udp:127.0.0.1:$port" \
            -l "tcp:127.0.0.1:$port" -l "tls:127.0.0.1:$tls_port" \
            -A "TLS_CERT=\"$TLS_DIR/cert.pem\"" -A "TLS_KEY=\"$TLS_DIR/key.pem\"" \
            -A "TCP_SOCKET=\"tcp:127.0.0.1:$port\"" -A "TLS_SOCKET=\"tls:127.0.0.1:$tls_port\"" \
            -A "WORKERS=${KAMAILIO_WORKERS:-$(nproc)}" -Y "$dir" -P "$dir/kamailio.pid" \
            -m "${KAMAILIO_SHM_MB:-2048}" -M 16 >"$dir/kamailio.log" 2>&1 &
        PROXY_PID=$!
        track_pid "$PROXY_PID"
        wait_udp_listen "$port" || { cat "$dir/kamailio.log" >&2; die "Kamailio did not open UDP port $port"; }
        ;;
    esac
    if ! wait_tcp_listen 127.0.0.1 "$port" || ! wait_tcp_listen 127.0.0.1 "$tls_port"; then
        cat "$dir"/*.err "$dir"/*.log >&2 2>/dev/null
        die "$proxy did not open TCP port $port and TLS port $tls_port"
    fi
    sleep 0.5 # Kamailio forks its workers after the sockets are bound
}

# Starts stunnel for a TLS run: the caller's end on 127.0.0.1:$1 towards the proxy's TLS port
# $2, the callee's end on 127.0.0.2:$3 towards SIPp on 127.0.0.2:$4; files in $5. Sets
# RELAY_PID.
start_relay() {
    local caller_port=$1 proxy_tls=$2 callee_port=$3 sipp_port=$4 dir=$5
    cat >"$dir/stunnel.conf" <<EOF
foreground = yes
pid =
output = $dir/stunnel.log
debug = ${STUNNEL_DEBUG:-err}
socket = l:TCP_NODELAY=1
socket = r:TCP_NODELAY=1

[caller]
client = yes
accept = 127.0.0.1:$caller_port
connect = 127.0.0.1:$proxy_tls
CAfile = $TLS_DIR/ca.pem
verifyChain = yes
checkIP = 127.0.0.1
sslVersionMin = TLSv1.2

[callee]
accept = 127.0.0.2:$callee_port
connect = 127.0.0.2:$sipp_port
cert = $TLS_DIR/cert.pem
key = $TLS_DIR/key.pem
CAfile = $TLS_DIR/ca.pem
sslVersionMin = TLSv1.2
EOF
    stunnel "$dir/stunnel.conf" >"$dir/stunnel.err" 2>&1 &
    RELAY_PID=$!
    track_pid "$RELAY_PID"
    if ! wait_tcp_listen 127.0.0.1 "$caller_port" || ! wait_tcp_listen 127.0.0.2 "$callee_port"; then
        cat "$dir/stunnel.err" "$dir/stunnel.log" >&2 2>/dev/null
        die "stunnel did not start"
    fi
}

# Starts the SIPp callee on 127.0.0.2:$2 over transport $1 (SIPp's own: TCP for tls), with
# Contact port $3 and transport $1, for at most $4 seconds, files in $5. Sets UAS_PID.
start_callee() {
    local transport=$1 port=$2 contact_port=$3 seconds=$4 dir=$5
    local -a mode=(-t u1)
    [[ $transport != udp ]] && mode=(-t t1)
    (cd "$dir" && exec sipp -sf "$LOAD_DIR/uas_stream.xml" -i 127.0.0.2 -p "$port" "${mode[@]}" \
        -key contact_port "$contact_port" -key contact_transport "$transport" \
        "${SIPP_COMMON[@]}" -timeout "${seconds}s" -trace_stat -stf uas_stat.csv -fd 1 \
        -trace_err -ringbuffer_files 1 -ringbuffer_size 2000000 >uas_screen.txt 2>&1) &
    UAS_PID=$!
    track_pid "$UAS_PID"
    if [[ $transport == udp ]]; then
        wait_udp_listen "$port" || die "SIPp callee did not open UDP port $port"
    else
        wait_tcp_listen 127.0.0.2 "$port" || die "SIPp callee did not open TCP port $port"
    fi
}

# Runs the SIPp caller from 127.0.0.1:$1 towards 127.0.0.1:$2 (the proxy, or the stunnel in
# front of it): $4 calls at $3 calls/s, files in $5, its Via naming transport $6 (UDP, TCP,
# TLS; SIPp speaks TCP for both stream ones). Otherwise run_uac of common.sh: call length 0,
# the same retransmission and time-out bounds, timeout(1) around it. Returns SIPp's status.
run_caller() {
    local port=$1 target=$2 rate=$3 calls=$4 dir=$5 via=$6
    local bound=$((calls / rate + 60)) status=0
    local -a mode=(-t u1)
    [[ $via != UDP ]] && mode=(-t t1)
    (cd "$dir" && exec timeout --kill-after=5 $((bound + 15)) \
        sipp -sf "$LOAD_DIR/uac_stream.xml" -i 127.0.0.1 -p "$port" "127.0.0.1:$target" \
        "${mode[@]}" -key via_transport "$via" "${SIPP_COMMON[@]}" -s "$UAC_USER" -r "$rate" \
        -m "$calls" -l "${UAC_OPEN_LIMIT:-5000}" -d 0 -max_invite_retrans 4 -max_retrans 4 \
        -recv_timeout 8000 -timeout "${bound}s" -timeout_error \
        -trace_stat -stf uac_stat.csv -fd 1 -trace_rtt -rtt_freq 200 -trace_err \
        -ringbuffer_files 1 -ringbuffer_size 2000000 >uac_screen.txt 2>&1) &
    UAC_PID=$!
    track_pid "$UAC_PID"
    wait "$UAC_PID" || status=$?
    untrack_pid "$UAC_PID"
    return "$status"
}

# The proxy's error lines of run directory $2 for proxy $1: "count|first line|last line".
proxy_errors() {
    local file=$2/tavrix.log
    [[ $1 == kamailio ]] && file=$2/kamailio.log
    [[ -f $file ]] || { echo "0||"; return; }
    local -a lines
    if [[ $1 == kamailio ]]; then
        mapfile -t lines < <(grep -a -E 'ERROR|CRITICAL|BUG' "$file" || true)
    else
        # Level 1 writes errors, and the table of linked users when the proxy ends.
        mapfile -t lines < <(grep -a -v -e '^[[:space:]]*$' -e '^[^ ]* linked to ' "$file" || true)
    fi
    local count=${#lines[@]}
    ((count > 0)) || { echo "0||"; return; }
    echo "$count|${lines[0]}|${lines[count - 1]}"
}

header() {
    printf '%-9s %-4s %6s %8s %6s %6s %21s %8s %6s\n' proxy via asked achieved ok failed \
        "INVITE->200 ms" "CPU" "CPU"
    printf '%-9s %-4s %6s %8s %6s %6s %21s %8s %6s\n' "" "" calls/s calls/s calls calls \
        "mean / p99 / max" "us/call" "%"
}

declare -A CLEAN_RATE CPU_AT
details=()

# One run: proxy $1 over transport $2 at $3 calls/s. Prints its table row.
run_one() {
    local proxy=$1 transport=$2 rate=$3
    local calls=$((rate * seconds))
    local dir="$WORK_DIR/$proxy-$transport-$rate"
    local proxy_port tls_port sipp_port contact_port uac_port target relay_pid=""
    mkdir -p "$dir"
    proxy_port=$(free_stream_port)
    tls_port=$(free_stream_port)
    sipp_port=$(free_stream_port)
    uac_port=$(free_stream_port)
    contact_port=$sipp_port
    target=$proxy_port

    start_proxy "$proxy" "$proxy_port" "$tls_port" "$dir"
    if [[ $transport == tls ]]; then
        contact_port=$(free_stream_port)
        target=$(free_stream_port)
    fi
    register_user "$proxy_port" "$contact_port" callee "$transport" ||
        die "$proxy $transport $rate/s: the callee's registration was refused"
    start_callee "$transport" "$sipp_port" "$contact_port" $((seconds + 120)) "$dir"
    if [[ $transport == tls ]]; then
        start_relay "$target" "$tls_port" "$contact_port" "$sipp_port" "$dir"
        relay_pid=$RELAY_PID
    fi

    local before after relay_before=0 relay_after=0 start_ns end_ns status=0
    before=$(cpu_ticks "$PROXY_PID")
    [[ -n $relay_pid ]] && relay_before=$(cpu_ticks "$relay_pid")
    start_ns=$(date +%s%N)
    run_caller "$uac_port" "$target" "$rate" "$calls" "$dir" "${transport^^}" || status=$?
    end_ns=$(date +%s%N)
    local alive=yes
    kill -0 "$PROXY_PID" 2>/dev/null || alive=no
    after=$(cpu_ticks "$PROXY_PID")
    [[ -n $relay_pid ]] && relay_after=$(cpu_ticks "$relay_pid")

    local proxy_stats=""
    if [[ $proxy == tavrix && $alive == yes ]]; then
        kill -USR1 "$PROXY_PID" 2>/dev/null || true
        sleep 0.3
        proxy_stats=$(grep -a '^Statistics:' "$dir/tavrix.err" | tail -1 || true)
    fi
    # Error lines up to now (Kamailio writes some while it shuts down).
    local errors
    errors=$(proxy_errors "$proxy" "$dir")
    stop_pid "$UAS_PID"
    [[ -n $relay_pid ]] && stop_pid "$relay_pid"
    local proxy_status=0
    if [[ $alive == no ]]; then
        wait "$PROXY_PID" || proxy_status=$?
        untrack_pid "$PROXY_PID"
    else
        stop_pid "$PROXY_PID"
    fi

    # shellcheck disable=SC2034 # all set by sipp_summary.py, not all shown
    local ACHIEVED CREATED SUCCESS FAILED RETRANS UAC_RETRANS UAS_RETRANS UAS_FAILED RT_MEAN \
        RT_P50 RT_P99 RT_MAX RT_BYE_P99 FAILURES UAS_FAILURES
    eval "$(python3 "$LOAD_DIR/sipp_summary.py" "$dir")"

    local cpu_us=$(((after - before) * 1000000 / CLK_TCK))
    local wall_us=$(((end_ns - start_ns) / 1000))
    local per_call="-" relay_per_call="-"
    ((SUCCESS > 0)) && per_call=$((cpu_us / SUCCESS))
    ((SUCCESS > 0)) && [[ -n $relay_pid ]] &&
        relay_per_call=$(((relay_after - relay_before) * 1000000 / CLK_TCK / SUCCESS))
    local cpu_pct=$((cpu_us * 100 / (wall_us > 0 ? wall_us : 1)))

    printf '%-9s %-4s %6d %8s %6s %6s %21s %8s %6s\n' "$proxy" "$transport" "$rate" \
        "$ACHIEVED" "$SUCCESS" "$FAILED" "$RT_MEAN / $RT_P99 / $RT_MAX" "$per_call" "$cpu_pct"

    # A rate counts as held when every call succeeded at (nearly) the rate asked.
    local key=$transport-$proxy
    if ((FAILED == 0 && SUCCESS == calls && ACHIEVED * 100 >= rate * 95)); then
        CLEAN_RATE[$key]=$rate
        CPU_AT[$key]="${CPU_AT[$key]:-}${CPU_AT[$key]:+ }$rate:$per_call"
    fi
    local note count first last
    IFS='|' read -r count first last <<<"$errors"
    note="$proxy $transport $rate/s: load average $(cut -d' ' -f1 /proc/loadavg), sipp status"
    note+=" $status, created $CREATED, retransmissions caller $UAC_RETRANS callee $UAS_RETRANS"
    note+=", BYE->200 p99 ${RT_BYE_P99} ms"
    [[ -n $relay_pid ]] && note+=", stunnel (both ends) $relay_per_call us/call, its error lines $(grep -c 'LOG[0-3]' "$dir/stunnel.log" || true)"
    [[ -n "$FAILURES" ]] && note+=", caller: $FAILURES"
    ((UAS_FAILED > 0)) && note+=", callee failed $UAS_FAILED ($UAS_FAILURES)"
    [[ $alive == no ]] && note+=", THE PROXY EXITED during the run (status $proxy_status)"
    ((count > 0)) && note+=", proxy error lines $count: first '${first%$'\r'}'"
    ((count > 1)) && note+=", last '${last%$'\r'}'"
    [[ -n "$proxy_stats" ]] && note+=", ${proxy_stats%$'\r'}"
    details+=("$note")
}

if ((wait_quiet > 0)); then
    end=$((SECONDS + wait_quiet))
    while ((SECONDS < end)) &&
        ! python3 -c "import sys; sys.exit(float(open('/proc/loadavg').read().split()[0]) >= $quiet_below)"; do
        sleep 10
    done
fi
make_tls_files

echo "Transport load run $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) CPUs" \
    "($(lscpu | sed -n 's/^Model name: *//p')): rates $rates calls/s, $seconds s each," \
    "transports $transports"
versions=""
if [[ " $proxies " == *" tavrix "* ]]; then
    built="tree $(tree_version)"
    [[ -n "${TAVRIX:-}" ]] &&
        built="$TAVRIX of $(stat -c %y "$TAVRIX" | cut -c1-16), sha256 $(sha256sum "$TAVRIX" | cut -c1-12)"
    versions+="Tavrix $("$(tavrix_binary)" --version | awk '{print $2}') ($built, options: ${TAVRIX_ARGS:-none}), "
fi
[[ " $proxies " == *" kamailio "* ]] &&
    versions+="Kamailio $(kamailio -v | head -1 | awk '{print $3}'), "
versions+="$(sipp -v 2>&1 | grep -o 'SIPp v[^ ,-]*' | head -1 || true)"
[[ " $transports " == *" tls "* ]] && versions+=", $(stunnel -version 2>&1 | grep -o '^stunnel [0-9.]*' | head -1 || true)"
echo "$versions, $(openssl version | cut -d' ' -f1-2)"
echo "Host load before the run: load average $(cut -d' ' -f1-3 /proc/loadavg); busiest processes:" \
    "$(ps -eo pcpu=,comm= --sort=-pcpu | head -3 | awk '{ printf "%s%s %s%%", sep, $2, $1; sep = ", " }')"
echo
header
for rate in $rates; do
    for transport in $transports; do
        for proxy in $proxies; do
            run_one "$proxy" "$transport" "$rate"
        done
    done
done

echo
echo "Highest rate held (every call successful, at >= 95% of the rate asked):"
for transport in $transports; do
    for proxy in $proxies; do
        printf '  %-4s %-9s %6s calls/s   CPU us/call at held rates: %s\n' "$transport" "$proxy" \
            "${CLEAN_RATE[$transport-$proxy]:-none}" "${CPU_AT[$transport-$proxy]:-none}"
    done
done
echo "Host load after the run: load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "Details:"
for note in "${details[@]}"; do
    echo "  $note"
done
