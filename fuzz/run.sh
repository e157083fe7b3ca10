#!/bin/sh
# Builds a decoder fuzzer with clang (libFuzzer, ASan, UBSan) and runs it.
# Usage: fuzz/run.sh [seconds] [target]   (default 180 s, target eccs_postcard; or circ_postcard,
#        prover_postcard)
set -eu
cd "$(dirname "$0")/.."
secs=${1:-180}
target=${2:-eccs_postcard}
out=build-fuzz
mkdir -p "$out/corpus-$target"
core=$(ls src/panic.cpp src/qreal_f64.cpp src/utils/*.cpp src/groups/*.cpp src/circ/gate.cpp \
          src/circ/mod.cpp src/circ/gate/gates.cpp src/circ/param/expr.cpp src/state/*.cpp \
          src/identity/*.cpp src/identity/eccprove/*.cpp src/search/*.cpp | grep -v '/py_')
clang++ -std=c++20 -g -O1 -ffp-contract=off -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=all -Isrc "fuzz/fuzz_$target.cpp" $core -ltbb -pthread \
    -o "$out/fuzz_$target"
corpus="$out/corpus-$target"
# Seeds: small valid inputs, and the stored files of fuzz/seeds/<target>/ if there are any.
if [ -d "fuzz/seeds/$target" ]; then cp fuzz/seeds/"$target"/* "$corpus"/; fi
if [ "$target" = eccs_postcard ]; then
    printf '\001\001\001\001h\000\377\200\200\200\010\001' > "$corpus/one_h"
    printf '\000\000' > "$corpus/empty"
    printf '\002\001\000\200\200\200\010\002\000\200\200\200\010\002\001h\000\377\001h\000\377\200\200\200\010\001' \
        > "$corpus/two"
elif [ "$target" = prover_postcard ]; then
    printf '\001\002\001h\000\377\001h\000\377\200\200\200\010\001\002\001h\000\377\001h\000\377\200\200\200\010\000' \
        > "$corpus/hh"
    printf '\000\000\000' > "$corpus/empty"
    # h h assumed; rules h(0) -> [x(0) z(0) ...] and the empty circuit -> [h h].
    printf '\001\002\001h\000\377\001h\000\377\200\200\200\010\000\002\001\001h\000\377\200\200\200\010\001\002\001x\000\377\001z\000\377\200\200\200\010\000\200\200\200\010\001\002\001h\000\377\001h\000\377\200\200\200\010' \
        > "$corpus/rules"
else
    printf '\002\001h\000\377\001h\000\377\200\200\200\010' > "$corpus/hh"
    printf '\002\002cx\000\001\002cx\000\001\210\200\200\020' > "$corpus/cxcx"
fi
"$out/fuzz_$target" -max_total_time="$secs" -close_fd_mask=3 -print_final_stats=1 "$corpus" 2>&1 | tail -20
