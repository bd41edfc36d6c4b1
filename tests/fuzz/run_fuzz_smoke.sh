#!/usr/bin/env bash
# Builds tavrix_fuzz (preset "fuzz", clang) into WORK_DIR/build, runs every saved finding
# under tests/data/fuzz once, then fuzzes a copy of the seed corpus for 60 seconds.
# Usage: run_fuzz_smoke.sh SOURCE_DIR WORK_DIR [SECONDS]
set -euo pipefail

source_dir=$(cd "$1" && pwd)
work_dir=$2
seconds=${3:-60}
mkdir -p "$work_dir"
work_dir=$(cd "$work_dir" && pwd)

fail() {
    echo "fuzz smoke: $*" >&2
    exit 1
}

command -v clang++ >/dev/null ||
    fail "clang++ not found; the fuzzer needs clang and libFuzzer" \
         "(Debian: apt-get install clang libclang-rt-14-dev)"
probe="$work_dir/probe"
mkdir -p "$probe"
printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' \
    > "$probe/probe.cpp"
clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    > "$probe/log" 2>&1 ||
    fail "clang++ cannot link a libFuzzer program (Debian: apt-get install libclang-rt-14-dev):" \
         "$(tail -n 3 "$probe/log")"

build_dir="$work_dir/build"
(cd "$source_dir" && cmake --preset fuzz -B "$build_dir") > "$work_dir/configure.log" 2>&1 ||
    { cat "$work_dir/configure.log" >&2; fail "configuring preset fuzz failed"; }
cmake --build "$build_dir" --target tavrix_fuzz -j "$(nproc)" > "$work_dir/build.log" 2>&1 ||
    { tail -n 40 "$work_dir/build.log" >&2; fail "building tavrix_fuzz failed"; }
fuzzer="$build_dir/fuzz/tavrix_fuzz"

# Each saved finding once: they must all pass now.
shopt -s nullglob
findings=("$source_dir"/tests/data/fuzz/*)
if [ ${#findings[@]} -gt 0 ]; then
    "$fuzzer" -runs=1 "${findings[@]}" > "$work_dir/findings.log" 2>&1 ||
        { tail -n 60 "$work_dir/findings.log" >&2; fail "a saved finding fails again"; }
    echo "fuzz smoke: ${#findings[@]} saved findings pass"
fi

# The fuzzer adds what it finds to its first corpus folder: give it a fresh copy of the seeds.
corpus="$work_dir/corpus"
artifacts="$work_dir/artifacts"
rm -rf "$corpus" "$artifacts"
mkdir -p "$corpus" "$artifacts"
cp "$source_dir"/fuzz/corpus/* "$corpus"/
status=0
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -dict="$source_dir/fuzz/sip.dict" -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" > "$work_dir/fuzz.log" 2>&1 || status=$?
grep -E '^(#[0-9]+[[:space:]]+DONE|stat::)' "$work_dir/fuzz.log" || true
if [ "$status" -ne 0 ]; then
    grep -E -A 40 '^(==[0-9]+==ERROR|tavrix_fuzz: invariant|.*runtime error)' \
        "$work_dir/fuzz.log" | head -n 80 >&2 || tail -n 60 "$work_dir/fuzz.log" >&2
    fail "the fuzzer failed (exit $status); reproducer in $artifacts:" \
         "$(ls "$artifacts")"
fi
echo "fuzz smoke: passed"
