#!/bin/sh
# Sets everything up, then runs both main jobs (arguments go to examples/main.py; try --help).
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh
exec .venv/bin/python examples/main.py "$@"
