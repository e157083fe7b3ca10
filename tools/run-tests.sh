#!/bin/sh
# Sets everything up, then runs the whole test suite: C++ unit tests and Python tests,
# once on the release build and once under AddressSanitizer + UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh
jobs=$(nproc)

echo "== C++ unit tests"
[ -d build-tests ] || meson setup build-tests -Dtests=true --buildtype=debugoptimized >/dev/null
ninja -C build-tests -j "$jobs" >/dev/null
meson test -C build-tests --print-errorlogs

echo "== Python tests"
.venv/bin/python -m pytest -q tests/python

echo "== Sanitizer build (ASan + UBSan)"
[ -d build-asan ] || meson setup build-asan -Dtests=true --buildtype=debugoptimized \
    -Db_sanitize=address,undefined -Db_lundef=false \
    -Dcpp_args=-fno-sanitize-recover=all >/dev/null
ninja -C build-asan -j "$jobs" >/dev/null
export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
meson test -C build-asan --print-errorlogs
# A package directory holding the sanitized extension beside the wrapper package.
pkg=build-asan/pkg/brimsel
mkdir -p "$pkg"
cp python/brimsel/__init__.py "$pkg/"
ln -sf "$(pwd)"/build-asan/brimsel.cpython-*.so "$pkg/"
# libstdc++ is preloaded too: ASan must find the real __cxa_throw when it starts.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" PYTHONPATH=build-asan/pkg \
    .venv/bin/python -m pytest -q -p no:cacheprovider tests/python
echo "== all tests passed"
