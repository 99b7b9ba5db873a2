#!/bin/sh
# Short fuzzing for CI: builds every fuzz target (fuzz/build.sh) and runs each
# for FUZZ_SECONDS (default 30) on the checked-in corpus. The checked-in
# corpus is only read; new inputs go to a temporary directory that is
# removed afterwards. Any crash, sanitizer report, leak, timeout or harness
# check failure makes the script exit non-zero; the input that caused it is
# kept as build/fuzz/artifacts/<target>-crash-<hash> (or -leak-, -timeout-)
# and the end of the fuzzer's log is printed.
#
# Usage: fuzz/run_short.sh            (FUZZ_SECONDS, CXX, JOBS as for build.sh)
# Reproduce a kept input: build/fuzz/<target> build/fuzz/artifacts/<file>
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-30}
artifacts="$root/build/fuzz/artifacts"

"$root/fuzz/build.sh"
mkdir -p "$artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

status=0
run() {
    target=$1
    shift
    mkdir -p "$work/$target"
    if "$root/build/fuzz/$target" "$work/$target" "$@" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$target-" >"$work/$target.log" 2>&1; then
        summary=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$target.log" | tail -n 1)
        echo "$target: ok: $summary"
    else
        echo "$target: FAILED" >&2
        tail -n 80 "$work/$target.log" >&2
        status=1
    fi
}

run decode_module_fuzzer "$root/fuzz/corpus/decoder" "$root/fuzz/corpus/run" -max_len=4096
run run_module_fuzzer "$root/fuzz/corpus/run" -max_len=8192
exit $status
