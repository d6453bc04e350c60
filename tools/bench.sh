#!/usr/bin/env bash
# Sets up .venv/bench on CPython 3.12 (or the newest found), builds a release build and runs the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/venv.sh .venv/bench requirements/build.txt requirements/test.txt requirements/bench.txt
.venv/bench/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation -Cbuild-dir=build/bench .
.venv/bench/bin/python bench/run.py "$@"
