#!/bin/sh
# Installs the Debian packages, makes the venv (.venv) and builds and installs brimsel into it.
set -eu
cd "$(dirname "$0")/.."

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        g++ python3-dev python3-venv python3-numpy python3-pytest python3-hypothesis \
        meson ninja-build python3-mesonpy libtbb-dev pkg-config libgtest-dev python3-mypy >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
    /usr/bin/python3 -m venv --system-site-packages .venv
fi
# meson-python 0.12 refuses a stale native file without its build tree.
if [ -f .mesonpy-native-file.ini ] && [ ! -d build ]; then rm -f .mesonpy-native-file.ini; fi
.venv/bin/python -m pip install -q --no-build-isolation --no-deps \
    --config-settings=builddir=build .
