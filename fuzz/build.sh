#!/bin/sh
# Builds the module decoder fuzzer into build/fuzz/ with clang's libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer. The decoder and the value
# code it links against are compiled directly; nothing else of the project
# (the VM, the Python extension) is needed.
#
# Usage: fuzz/build.sh   (from anywhere; CXX overrides the compiler)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/fuzz"
cxx=${CXX:-clang++}
mkdir -p "$out"

"$cxx" -std=c++20 -g -O1 -Wall -Wextra \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -fno-omit-frame-pointer \
    -I"$root/src" \
    "$root"/src/values/*.cpp "$root"/src/loader/*.cpp \
    "$root/fuzz/decode_module_fuzzer.cpp" \
    -o "$out/decode_module_fuzzer"

echo "built $out/decode_module_fuzzer"
