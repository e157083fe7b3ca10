#!/bin/sh
# Builds the class-file decoder fuzzer with clang (libFuzzer, ASan, UBSan) and runs it.
# Usage: fuzz/run.sh [seconds]   (default 180)
set -eu
cd "$(dirname "$0")/.."
secs=${1:-180}
out=build-fuzz
mkdir -p "$out/corpus"
core=$(ls src/panic.cpp src/qreal_f64.cpp src/utils/*.cpp src/groups/*.cpp src/circ/gate.cpp \
          src/circ/mod.cpp src/circ/gate/gates.cpp src/circ/param/expr.cpp src/state/*.cpp \
          src/identity/circuit*.cpp src/identity/idcircuit.cpp src/search/*.cpp | grep -v '/py_')
clang++ -std=c++20 -g -O1 -ffp-contract=off -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=all -Isrc fuzz/fuzz_eccs_postcard.cpp $core -ltbb -pthread \
    -o "$out/fuzz_eccs_postcard"
# Seeds: small valid files.
printf '\001\001\001\001h\000\377\200\200\200\010\001' > "$out/corpus/one_h"
printf '\000\000' > "$out/corpus/empty"
printf '\002\001\000\200\200\200\010\002\000\200\200\200\010\002\001h\000\377\001h\000\377\200\200\200\010\001' \
    > "$out/corpus/two"
"$out/fuzz_eccs_postcard" -max_total_time="$secs" -close_fd_mask=2 -print_final_stats=1 \
    "$out/corpus" 2>&1 | tail -20
