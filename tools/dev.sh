#!/usr/bin/env bash
# Builds the package (with the runtime probe module) into a development environment on CPython 3.12
# (or the newest found). DEV_VENV and DEV_BUILD choose the environment and build directory
# (defaults .venv/dev and build/dev), so several builds can live side by side.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${DEV_VENV:-.venv/dev}
build=${DEV_BUILD:-build/dev}
tools/venv.sh "$venv" requirements/build.txt requirements/test.txt requirements/bench.txt
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
  -Ccmake.define.VORNHAVEN_TESTING=ON -Ccmake.build-type=RelWithDebInfo -Cbuild-dir="$build" .
