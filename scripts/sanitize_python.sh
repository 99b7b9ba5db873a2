#!/bin/sh
# Builds the extension module with AddressSanitizer and UndefinedBehaviorSanitizer
# (clang, CMake option TARNEL_SANITIZE) into build/sanitize-python and runs the
# Python test suite against it, so the bindings (argument parsing, borrowing,
# result conversion) run under the sanitizers too.
#
# The interpreter itself is not built with ASan: the runtime is preloaded
# (LD_PRELOAD) so that it is in place before the extension loads, and leak
# detection is off (CPython keeps memory on purpose at exit). Python keeps
# its own small-object allocator: with PYTHONMALLOC=malloc under ASan,
# tracemalloc sees growth that is not there (tests/python/test_vm_leaks.py).
# UBSan halts on the first report and ASan aborts, so any report fails the
# run. Tests marked address_space (address-space limits, resident-memory
# measurements) are left out: ASan's shadow memory reserves terabytes of
# address space and its allocator changes what resident memory means.
# Isolated-run workers inherit the environment and the test's sys.path, so
# they load the sanitized extension as well.
#
# Usage: scripts/sanitize_python.sh [extra pytest arguments...]
#   PYTHON   the interpreter with the test requirements (default python3)
#   JOBS     parallel build jobs (default 2)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/sanitize-python"
jobs=${JOBS:-2}
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')

runtime=$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)
if [ ! -f "$runtime" ]; then
    echo "the shared ASan runtime is missing ($runtime): install libclang-rt-dev" >&2
    exit 1
fi

generator=""
if command -v ninja >/dev/null 2>&1; then
    generator="-G Ninja"
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
    # shellcheck disable=SC2086
    cmake -S "$root" -B "$build" $generator \
        -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
        -DCMAKE_MODULE_LINKER_FLAGS="-shared-libasan" \
        -DPython_EXECUTABLE="$python" \
        -DTARNEL_SANITIZE=ON \
        -DTARNEL_BUILD_EXTENSION=ON
fi
cmake --build "$build" --target tarnel_vm -j "$jobs"

ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
LD_PRELOAD="$runtime${LD_PRELOAD:+ $LD_PRELOAD}"
PYTHONPATH="$build:$root/python${PYTHONPATH:+:$PYTHONPATH}"
export ASAN_OPTIONS UBSAN_OPTIONS LD_PRELOAD PYTHONPATH

# The extension under test must be the sanitized one.
"$python" -c "import tarnel_vm, sys; sys.exit(not tarnel_vm.__file__.startswith('$build'))"

start=$(date +%s)
"$python" -m pytest "$root/tests/python" -q -p no:cacheprovider -m "not address_space" "$@"
echo "Python test suite passed in $(( $(date +%s) - start )) s against the extension built with ASan + UBSan"
