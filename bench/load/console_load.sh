#!/usr/bin/env bash
# What the web console costs the proxy under load: SIPp places calls through Tavrix headless
# (127.0.0.1 -> 127.0.0.2, as run_load.sh does) with the console off, on with no viewer, and
# on with viewers reading its event stream (curl, as fast as a browser that keeps up), at log
# levels 1 and 3; one fresh proxy per run. Prints the proxy's CPU time per successful call.
#
#   bench/load/console_load.sh                      # 2000 calls/s, 5 s per run, 3 viewers
#   bench/load/console_load.sh --rate 1000 --seconds 10 --viewers 8
#   bench/load/console_load.sh --screenshot docs/console.png   # and a picture of the page
#
# Options:
#   --rate R            calls/s (default 2000)
#   --seconds S         each run places R*S calls (bounded: SIPp -m and -timeout)
#   --viewers N         viewers of the third kind of run (default 3)
#   --levels "L ..."    log levels (default "1 3")
#   --screenshot FILE   after the runs, one more run at log level 3 with the console open in
#                       Debian's Chromium (playwright-core from the console test's build
#                       folder, build/tests/console/node), photographed near the end
#   --keep              keep the SIPp files of every run
# Environment: TAVRIX=path/to/tavrix (default: a Release build in build-load/).
set -euo pipefail
source "$(dirname "$0")/common.sh"

rate=2000
seconds=5
viewers=3
levels="1 3"
screenshot=""
while (($#)); do
    case $1 in
    --rate) rate=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --viewers) viewers=$2; shift ;;
    --levels) levels=$2; shift ;;
    --screenshot) screenshot=$(realpath -m "$2"); shift ;;
    --keep) KEEP_WORK=1 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown option '$1' (try --help)" ;;
    esac
    shift
done
need sipp curl python3 ss ps timeout getconf
prepare_tavrix
init_run

# A TCP port free on 127.0.0.1 at this moment.
free_tcp_port() {
    python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# Opens the page in headless Chromium at $1 and writes the screenshot to $2 after $3 seconds.
photograph() {
    local node_dir="$REPO_DIR/build/tests/console/node"
    [[ -d $node_dir/node_modules/playwright-core ]] ||
        die "no playwright-core in $node_dir: run 'ctest --test-dir build -L console' once first"
    NODE_PATH="$node_dir/node_modules" timeout 60 node -e '
const {chromium} = require("playwright-core");
(async () => {
  const [url, file, wait] = process.argv.slice(1);
  const browser = await chromium.launch({executablePath: "/usr/lib/chromium/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
      "--disable-component-update", "--disable-sync", "--no-first-run"]});
  const page = await browser.newPage({viewport: {width: 1400, height: 1300}});
  await page.goto(url);
  await new Promise((resolve) => setTimeout(resolve, wait * 1000));
  await page.locator("#callRows tr", {hasText: "completed"}).first().click();
  await page.locator("#ladderChart .step").nth(5).click();
  await page.screenshot({path: file});
  await browser.close();
})();' "$1" "$2" "$3"
}

# One run: console off|idle|watched at log level $2. Prints its table row.
run_one() {
    local mode=$1 level=$2
    local calls=$((rate * seconds)) dir="$WORK_DIR/$mode-$level"
    local proxy_port uas_port uac_port http_port
    proxy_port=$(free_port)
    uas_port=$(free_port)
    uac_port=$(free_port)
    http_port=$(free_tcp_port)
    mkdir -p "$dir"
    local saved_args=${TAVRIX_ARGS:-}
    [[ $mode != off ]] && TAVRIX_ARGS="$saved_args --console 127.0.0.1:$http_port --console-viewers 16"
    # Under load the last 200 calls are a tenth of a second: the picture keeps more of them,
    # and room for the calls held up while the browser shares the machine.
    [[ $mode == photographed ]] && TAVRIX_ARGS+=" --console-calls 10000 --max-calls 10000"
    start_tavrix "$proxy_port" "$uas_port" "$level" /dev/null "$dir/tavrix.err"
    TAVRIX_ARGS=$saved_args
    start_uas "$uas_port" $((seconds + 60)) "$dir"
    local n readers=0
    [[ $mode == watched ]] && readers=$viewers
    [[ $mode == photographed ]] && readers=$((viewers - 1))
    for ((n = 0; n < readers; n++)); do
        curl -sN --max-time $((seconds + 60)) "http://127.0.0.1:$http_port/events" >/dev/null &
        track_pid $!
    done
    if [[ $mode == photographed ]]; then
        sleep 2 # a little history for the chart
        (sleep 0.5 && photograph "http://127.0.0.1:$http_port/" "$screenshot" \
            $((seconds > 10 ? seconds - 6 : 4))) &
        track_pid $!
    fi
    sleep 1
    local before after status=0
    before=$(cpu_ticks "$PROXY_PID")
    run_uac "$uac_port" "$proxy_port" "$rate" "$calls" 0 "$dir" || status=$?
    after=$(cpu_ticks "$PROXY_PID")
    stop_pid "$UAS_PID"
    stop_pid "$PROXY_PID"
    # shellcheck disable=SC2034 # all set by sipp_summary.py, not all shown
    local ACHIEVED CREATED SUCCESS FAILED RETRANS UAC_RETRANS UAS_RETRANS UAS_FAILED RT_MEAN \
        RT_P50 RT_P99 RT_MAX RT_BYE_P99 FAILURES UAS_FAILURES
    eval "$(python3 "$LOAD_DIR/sipp_summary.py" "$dir")"
    local cpu_us=$(((after - before) * 1000000 / CLK_TCK)) per_call="-"
    ((SUCCESS > 0)) && per_call=$((cpu_us / SUCCESS))
    printf '%-12s %5s %8s %7s %6s %7s %21s %9s\n' "$mode" "$level" "$ACHIEVED" "$SUCCESS" \
        "$FAILED" "$RETRANS" "$RT_MEAN / $RT_P99 / $RT_MAX" "$per_call"
}

echo "Console load $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) CPUs: $rate calls/s, $seconds s per run," \
    "$viewers viewers when watched; Tavrix $("$(tavrix_binary)" --version | awk '{print $2}') (tree $(tree_version));" \
    "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-12s %5s %8s %7s %6s %7s %21s %9s\n' console level calls/s ok failed retrans \
    "INVITE->200 ms" "CPU"
printf '%-12s %5s %8s %7s %6s %7s %21s %9s\n' "" "" achieved calls calls msgs "mean / p99 / max" \
    "us/call"
for level in $levels; do
    for mode in off idle watched; do
        run_one "$mode" "$level"
    done
done
if [[ -n $screenshot ]]; then
    run_one photographed 3
    echo "Screenshot: $screenshot"
fi
