#!/usr/bin/env bash
# Sets up .venv/demo on CPython 3.12 (or the newest found) with the pinned demo dependencies,
# builds and installs the package, and runs `python -m vornhaven.demo` with the given options.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${DEMO_VENV:-.venv/demo}
tools/venv.sh "$venv" requirements/build.txt requirements/demo.txt
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation -Cbuild-dir=build/demo .
exec "$venv/bin/python" -m vornhaven.demo "$@"
