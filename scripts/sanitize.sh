#!/bin/sh
# Builds the C++ test suite with AddressSanitizer, UndefinedBehaviorSanitizer
# and LeakSanitizer (CMake option TARNEL_SANITIZE) into build/sanitize and runs
# it. Any sanitizer report fails the run: UBSan halts on the first error, ASan
# aborts, and LeakSanitizer turns a leak into a non-zero exit status.
#
# The build is RelWithDebInfo at -O1: full line information for reports, and
# fast enough that the million-deep nesting tests stay in the run (Debug with
# ASan takes minutes on them). Nothing is filtered out by default; to skip
# tests on a slow machine, pass a GoogleTest filter, e.g.
#     GTEST_FILTER='-*MillionDeep*' scripts/sanitize.sh
#
# Usage: scripts/sanitize.sh [extra gtest arguments...]
#   CXX      compiler (default clang++ when installed, else CMake's choice)
#   JOBS     parallel build jobs (default 2)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/sanitize"
jobs=${JOBS:-2}

if [ -z "${CXX:-}" ] && command -v clang++ >/dev/null 2>&1; then
    CXX=clang++
    export CXX
fi

generator=""
if command -v ninja >/dev/null 2>&1; then
    generator="-G Ninja"
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
    # shellcheck disable=SC2086
    cmake -S "$root" -B "$build" $generator \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
        -DTARNEL_SANITIZE=ON \
        -DTARNEL_BUILD_TESTS=ON \
        -DTARNEL_BUILD_EXTENSION=OFF
fi
cmake --build "$build" --target tarnel_tests -j "$jobs"

# detect_leaks: LeakSanitizer at exit; strict_string_checks and
# check_initialization_order: stricter ASan checks that cost little.
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export ASAN_OPTIONS UBSAN_OPTIONS

start=$(date +%s)
"$build/tarnel_tests" --gtest_brief=1 "$@"
echo "sanitized test suite passed in $(( $(date +%s) - start )) s (ASan + UBSan + LeakSanitizer)"
