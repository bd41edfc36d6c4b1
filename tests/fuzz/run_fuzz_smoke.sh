#!/usr/bin/env bash
# Builds tavrix_fuzz (preset "fuzz", clang) into WORK_DIR/build, runs every saved finding under
# tests/data/fuzz once, then fuzzes a copy of the seed corpus for SECONDS (60).
# Usage: run_fuzz_smoke.sh SOURCE_DIR WORK_DIR [SECONDS]
set -euo pipefail
source_dir=$(cd "$1" && pwd)
mkdir -p "$2"
work=$(cd "$2" && pwd)
fail() { echo "fuzz smoke: $*" >&2; exit 1; }
command -v clang++ >/dev/null || fail "clang++ not found (Debian: apt-get install clang libclang-rt-14-dev)"

(cd "$source_dir" && cmake --preset fuzz -B "$work/build") >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; fail "configuring preset fuzz failed"; }
cmake --build "$work/build" --target tavrix_fuzz -j "$(nproc)" >"$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log" >&2; fail "building tavrix_fuzz failed (is libclang-rt-14-dev installed?)"; }
fuzzer="$work/build/fuzz/tavrix_fuzz"

"$fuzzer" -runs=1 "$source_dir"/tests/data/fuzz/* >"$work/findings.log" 2>&1 ||
    { tail -n 60 "$work/findings.log" >&2; fail "a saved finding fails again"; }

# The fuzzer adds what it finds to its first corpus folder: it gets a fresh copy of the seeds.
rm -rf "$work/corpus" "$work/artifacts"
mkdir -p "$work/corpus" "$work/artifacts"
cp "$source_dir"/fuzz/corpus/* "$work/corpus"/
"$fuzzer" -max_total_time="${3:-60}" -timeout=2 -rss_limit_mb=2048 -max_len=4096 \
    -dict="$source_dir/fuzz/sip.dict" -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    -report_slow_units=1 "$work/corpus" >"$work/fuzz.log" 2>&1 ||
    { grep -E -A 40 '^(==[0-9]+==ERROR|tavrix_fuzz: invariant|.*runtime error)' "$work/fuzz.log" >&2
      fail "the fuzzer failed; reproducer in $work/artifacts: $(ls "$work/artifacts")"; }
grep -E '^(#[0-9]+[[:space:]]+DONE|stat::)' "$work/fuzz.log" || true
echo "fuzz smoke: passed"
