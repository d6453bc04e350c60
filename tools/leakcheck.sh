#!/usr/bin/env bash
# Sets up .venv/bench on CPython 3.12 (or the newest found) with the release build and runs the leak
# check (tools/leakcheck.py) on it; LEAK_CALLS sets the calls per entry point, arguments go to the script.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/venv.sh .venv/bench requirements/build.txt requirements/test.txt
.venv/bench/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation -Cbuild-dir=build/bench .
.venv/bench/bin/python tools/leakcheck.py "$@"
