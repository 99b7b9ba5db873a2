#!/bin/sh
# Builds the fuzz targets into build/fuzz/ with clang's libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer:
#
#   decode_module_fuzzer  the module decoder (values + loader only)
#   run_module_fuzzer     decode and run, with a structure-aware mutator
#                         (values + loader + vm + diagnostics)
#
# The project's sources are compiled once into build/fuzz/obj/ (with
# -fsanitize=fuzzer-no-link, so libFuzzer sees their coverage) and linked into
# each target; the Python extension is not needed.
#
# Usage: fuzz/build.sh [target...]   (default: all; CXX overrides the compiler,
#                                     JOBS the number of parallel compiles)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/fuzz"
obj="$out/obj"
cxx=${CXX:-clang++}
jobs=${JOBS:-2}
mkdir -p "$obj"

flags="-std=c++20 -g -O1 -Wall -Wextra -fno-omit-frame-pointer \
-fsanitize=address,undefined -fno-sanitize-recover=undefined -I$root/src -I$root"
# The machine-code tier, as CMakeLists.txt builds it: x86-64 with xbyak.
if [ "$(uname -m)" = x86_64 ] && [ -f /usr/include/xbyak/xbyak.h ]; then
    flags="$flags -DTARNEL_JIT_X64=1"
fi

# Compile every source of the given directories whose object is missing or
# older than the source or any header of src/.
compile() {
    newest_header=$(ls -t "$root"/src/*/*.hpp | head -n 1)
    for dir in "$@"; do
        for src in "$root"/src/"$dir"/*.cpp; do
            o="$obj/$dir-$(basename "$src" .cpp).o"
            if [ ! -f "$o" ] || [ "$src" -nt "$o" ] || [ "$newest_header" -nt "$o" ]; then
                echo "$src $o"
            fi
        done
    done | xargs -r -n 2 -P "$jobs" sh -c "$cxx $flags -fsanitize=fuzzer-no-link -c \"\$0\" -o \"\$1\""
}

objects() {
    for dir in "$@"; do
        for src in "$root"/src/"$dir"/*.cpp; do echo "$obj/$dir-$(basename "$src" .cpp).o"; done
    done
}

link() {
    target=$1
    shift
    # shellcheck disable=SC2046
    "$cxx" $flags -fsanitize=fuzzer "$root/fuzz/$target.cpp" $(objects "$@") -o "$out/$target.tmp"
    mv "$out/$target.tmp" "$out/$target"  # a fuzzer still running keeps its old binary
    echo "built $out/$target"
}

targets=${*:-decode_module_fuzzer run_module_fuzzer}
for target in $targets; do
    case $target in
        decode_module_fuzzer)
            compile values loader
            link decode_module_fuzzer values loader
            ;;
        run_module_fuzzer)
            compile values loader vm diagnostics
            link run_module_fuzzer values loader vm diagnostics
            ;;
        *)
            echo "unknown target: $target" >&2
            exit 2
            ;;
    esac
done
