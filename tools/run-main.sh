#!/bin/sh
# Sets everything up, then runs the main example.
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh
cd examples && ../.venv/bin/python main.py
