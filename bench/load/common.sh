# Shared pieces of the load, soak and stall scripts; sourced, never run.
#
# Everything here talks to loopback only: SIPp callers on 127.0.0.1, SIPp callees on
# 127.0.0.2, the proxies on 127.0.0.1. Ports are picked free at run time. Every process a
# script starts is recorded with track_pid and ended by the EXIT trap.

LOAD_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(cd "$LOAD_DIR/../.." && pwd)
# shellcheck disable=SC2034 # used by the scripts that source this file
CLK_TCK=$(getconf CLK_TCK)

TRACKED_PIDS=()
WORK_DIR=""
KEEP_WORK=0

die() {
    echo "$(basename "$0"): $*" >&2
    exit 2
}

need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 ||
            die "'$tool' is missing (Debian: apt-get install sip-tester kamailio xvfb xdotool procps iproute2 python3)"
    done
}

track_pid() {
    TRACKED_PIDS+=("$1")
}

# Forgets a process that has ended, so that its number, once reused, is never signalled.
untrack_pid() {
    local -a kept=()
    local pid
    for pid in "${TRACKED_PIDS[@]}"; do
        [[ $pid == "$1" ]] || kept+=("$pid")
    done
    TRACKED_PIDS=("${kept[@]}")
}

# The process's descendants, deepest first.
descendants() {
    local child
    for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
        descendants "$child"
        echo "$child"
    done
}

# Ends one process we started and whatever it started in turn (a subshell's timeout and
# SIPp, Kamailio's workers): TERM to the process, a moment's grace, TERM to what is left of
# its descendants, then KILL.
stop_pid() {
    local pid=$1 _ rest
    local -a tree
    mapfile -t tree < <(descendants "$pid")
    kill -0 "$pid" 2>/dev/null && kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 1 30); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    for rest in "${tree[@]}"; do
        kill -TERM "$rest" 2>/dev/null || true
    done
    for _ in $(seq 1 20); do
        for rest in "$pid" "${tree[@]}"; do
            kill -0 "$rest" 2>/dev/null && break
            rest=""
        done
        [[ -z "$rest" ]] && break
        sleep 0.1
    done
    for rest in "$pid" "${tree[@]}"; do
        kill -KILL "$rest" 2>/dev/null || true
    done
    wait "$pid" 2>/dev/null || true
    untrack_pid "$pid"
}

cleanup() {
    local pid
    for pid in "${TRACKED_PIDS[@]}"; do
        stop_pid "$pid"
    done
    if [[ -n "$WORK_DIR" && -d "$WORK_DIR" ]]; then
        if ((KEEP_WORK)); then
            echo "Run files kept in $WORK_DIR" >&2
        else
            rm -rf "$WORK_DIR"
        fi
    fi
}

# Sets up the EXIT trap and a scratch directory for this run.
init_run() {
    trap cleanup EXIT
    trap 'exit 130' INT TERM
    WORK_DIR=$(mktemp -d /tmp/tavrix-load.XXXXXX)
}

# A UDP port that is free on every address at this moment.
free_port() {
    python3 -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 0))
print(s.getsockname()[1])'
}

# Waits until something listens on UDP port $1 (up to $2 seconds, default 10).
wait_udp_listen() {
    local port=$1 limit=${2:-10} _
    for _ in $(seq 1 $((limit * 10))); do
        if ss -Hlun "sport = :$port" 2>/dev/null | grep -q .; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# Picks the Tavrix binary once per run: $TAVRIX if set, else our own Release build in
# build-load/, configured when missing and brought up to date with the tree (a separate build
# directory, so it never races the developers' build/). A tree that does not build just now
# leaves the last binary in use, with a warning.
prepare_tavrix() {
    if [[ -n "${TAVRIX:-}" ]]; then
        [[ -x "$TAVRIX" ]] || die "TAVRIX=$TAVRIX is not an executable"
        TAVRIX_BIN=$TAVRIX
        return
    fi
    local dir="$REPO_DIR/build-load"
    TAVRIX_BIN="$dir/src/tavrix"
    mkdir -p "$dir"
    if [[ ! -f "$dir/CMakeCache.txt" ]]; then
        echo "Configuring a Release build of Tavrix in build-load/ ..." >&2
        cmake -S "$REPO_DIR" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
            -DTAVRIX_BUILD_TESTS=OFF -DTAVRIX_BUILD_BENCH=OFF >"$dir/tavrix-build.log" 2>&1 ||
            { cat "$dir/tavrix-build.log" >&2; die "cmake could not configure build-load/"; }
    fi
    if ! cmake --build "$dir" -j "$(nproc)" --target tavrix >"$dir/tavrix-build.log" 2>&1; then
        [[ -x "$TAVRIX_BIN" ]] || { cat "$dir/tavrix-build.log" >&2; die "Tavrix does not build (see above)"; }
        echo "warning: the tree does not build just now; using the last build-load/ binary" >&2
    fi
}

tavrix_binary() {
    echo "$TAVRIX_BIN"
}

# Starts Tavrix headless on port $1, default route 127.0.0.2:$2, log level $3; log lines go
# to $4 (a file or /dev/null), standard error to $5. Sets PROXY_PID.
start_tavrix() {
    local port=$1 uas_port=$2 level=$3 log=$4 err=$5
    "$(tavrix_binary)" --headless --port "$port" --local-ip 127.0.0.1 \
        --default-route "127.0.0.2:$uas_port" --log-level "$level" ${TAVRIX_ARGS:-} \
        >"$log" 2>"$err" &
    PROXY_PID=$!
    track_pid "$PROXY_PID"
    wait_udp_listen "$port" || { cat "$err" >&2; die "Tavrix did not open UDP port $port"; }
}

# Starts Kamailio in the foreground (it still forks its workers) on 127.0.0.1:$1, sending
# unknown users to 127.0.0.2:$2; runtime files under $3. Sets PROXY_PID (the main process).
start_kamailio() {
    local port=$1 uas_port=$2 dir=$3
    mkdir -p "$dir"
    kamailio -f "$LOAD_DIR/kamailio.cfg" -DD -E -l "udp:127.0.0.1:$port" \
        -A "UAS_URI=\"sip:127.0.0.2:$uas_port\"" -A "WORKERS=${KAMAILIO_WORKERS:-$(nproc)}" \
        -Y "$dir" -P "$dir/kamailio.pid" -m "${KAMAILIO_SHM_MB:-2048}" -M 16 >"$dir/kamailio.log" 2>&1 &
    PROXY_PID=$!
    track_pid "$PROXY_PID"
    wait_udp_listen "$port" || { cat "$dir/kamailio.log" >&2; die "Kamailio did not open UDP port $port"; }
    sleep 0.5 # its workers are forked after the socket is bound
}

# The process and its direct children (Kamailio's workers; Tavrix has none).
process_tree() {
    local pid=$1
    echo "$pid"
    ps -o pid= --ppid "$pid" 2>/dev/null || true
}

# User plus system CPU time of the process tree, in clock ticks (all threads included).
cpu_ticks() {
    local total=0 pid rest
    local -a fields
    for pid in $(process_tree "$1"); do
        [[ -r /proc/$pid/stat ]] || continue
        rest=$(<"/proc/$pid/stat") || continue
        # The command name may hold spaces and brackets: read from the last ')'.
        rest=${rest##*) }
        read -r -a fields <<<"$rest"
        total=$((total + fields[11] + fields[12]))
    done
    echo "$total"
}

# Resident memory of one process in KiB.
rss_kib() {
    awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0
}

# Resident memory of the process tree in KiB (shared pages counted once per process).
tree_rss_kib() {
    local total=0 pid
    for pid in $(process_tree "$1"); do
        total=$((total + $(rss_kib "$pid")))
    done
    echo "$total"
}

# SIPp options common to both agents: large socket buffers, no stdin, and a watchdog that
# reports a starved scheduler instead of ending the run (both agents share two cores with
# the proxy).
SIPP_COMMON=(-nostdin -buff_size 4194304 -max_recv_loops 10000
    -watchdog_minor_maxtriggers 1000000 -watchdog_major_maxtriggers 1000000)

# Starts the SIPp callee on 127.0.0.2:$1 for at most $2 seconds, files in $3, scenario $4
# (default uas.xml, which answers). Sets UAS_PID.
start_uas() {
    local port=$1 seconds=$2 dir=$3 scenario=${4:-uas.xml}
    mkdir -p "$dir"
    (cd "$dir" && exec sipp -sf "$LOAD_DIR/$scenario" -i 127.0.0.2 -p "$port" "${SIPP_COMMON[@]}" \
        -timeout "${seconds}s" -trace_stat -stf uas_stat.csv -fd 1 -trace_err \
        -ringbuffer_files 1 -ringbuffer_size 2000000 >uas_screen.txt 2>&1) &
    UAS_PID=$!
    track_pid "$UAS_PID"
    wait_udp_listen "$port" || die "SIPp callee did not open UDP port $port"
}

# Starts the SIPp caller from 127.0.0.1:$1 towards the proxy at 127.0.0.1:$2: $4 calls at
# $3 calls/s, $5 ms between ACK and BYE, to user $UAC_USER (default service, unregistered: the
# default route); files in $6. Sets UAC_PID (timeout(1), which runs SIPp). Failed calls end
# after at most ~8 s of retransmissions; the whole run is bounded by -timeout and, should SIPp
# hang, by timeout(1).
start_uac() {
    local port=$1 proxy_port=$2 rate=$3 calls=$4 pause=$5 dir=$6
    local bound=$((calls / rate + 60))
    mkdir -p "$dir"
    (cd "$dir" && exec timeout --kill-after=5 $((bound + 15)) \
        sipp -sf "$LOAD_DIR/uac.xml" -i 127.0.0.1 -p "$port" "127.0.0.1:$proxy_port" \
        "${SIPP_COMMON[@]}" -s "${UAC_USER:-service}" -r "$rate" -m "$calls" \
        -l "${UAC_OPEN_LIMIT:-5000}" \
        -d "$pause" -max_invite_retrans 4 -max_retrans 4 -recv_timeout 8000 \
        -timeout "${bound}s" -timeout_error \
        -trace_stat -stf uac_stat.csv -fd 1 -trace_rtt -rtt_freq 200 -trace_err \
        -ringbuffer_files 1 -ringbuffer_size 2000000 >uac_screen.txt 2>&1) &
    UAC_PID=$!
    track_pid "$UAC_PID"
}

# The same, waiting for the caller to finish; returns SIPp's status.
run_uac() {
    local status=0
    start_uac "$@"
    wait "$UAC_PID" || status=$?
    untrack_pid "$UAC_PID"
    return "$status"
}

# Datagrams the kernel dropped for want of socket buffer space, all sockets together.
udp_rcvbuf_errors() {
    awk '/^Udp:/ { if (!seen) { for (i = 1; i <= NF; i++) col[$i] = i; seen = 1 } else print $col["RcvbufErrors"] }' /proc/net/snmp
}

# Datagrams the kernel dropped at the socket bound to UDP port $1 (its receive buffer was
# full), and that buffer's size: "drops/bytes".
socket_drops() {
    ss -Hulnm "sport = :$1" 2>/dev/null |
        sed -n 's/.*skmem:(\(.*\)).*/\1/p' | tr ',' '\n' |
        awk '/^rb/ { rb = substr($0, 3) } /^d/ { d = substr($0, 2) } END { print (d == "" ? "?" : d) "/" (rb == "" ? "?" : rb) }'
}

# The commit the measured tree stands on, marked when it has uncommitted changes.
tree_version() {
    git -C "$REPO_DIR" describe --always --dirty 2>/dev/null || echo "unknown"
}

# Registers sip:USER@127.0.0.2:PORT (with ;transport=T when a fourth argument names one) at the
# proxy's UDP port, sent from 127.0.0.2:PORT over UDP (so the proxy hears the binding where its
# Contact says), before SIPp takes the port. Usage: register_user PROXY_PORT PORT USER [T]
register_user() {
    python3 - "$@" <<'EOF'
import socket
import sys

proxy, port, user = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
param = ";transport=" + sys.argv[4] if len(sys.argv) > 4 else ""
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind(("127.0.0.2", port))
sock.settimeout(2)
at = "127.0.0.2:%d" % port
sock.sendto(("REGISTER sip:127.0.0.1:%d SIP/2.0\r\n"
             "Via: SIP/2.0/UDP %s;branch=z9hG4bK-load-%d\r\nMax-Forwards: 70\r\n"
             "From: <sip:%s@127.0.0.1>;tag=load%d\r\nTo: <sip:%s@127.0.0.1>\r\n"
             "Call-ID: load-binding-%d@127.0.0.2\r\nCSeq: 1 REGISTER\r\n"
             "Contact: <sip:%s@%s%s>\r\nExpires: 3600\r\nContent-Length: 0\r\n\r\n"
             % (proxy, at, port, user, port, user, port, user, at, param)).encode(),
            ("127.0.0.1", proxy))
while True:
    answer = sock.recv(65535).decode("latin-1")
    if not answer.startswith("SIP/2.0 1"):
        sys.exit(0 if answer.startswith("SIP/2.0 200 ") else answer.split("\r\n")[0])
EOF
}
