#!/usr/bin/env bash
# Sets up .venv/demo on CPython 3.12 (or the newest found) with the pinned demo dependencies,
# builds and installs the package, and runs `python -m vornhaven.demo` with the given options.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${DEMO_VENV:-.venv/demo}
py=$(tools/pythons.sh | grep -E '^3\.12 ' | head -n1 | cut -d' ' -f2)
[ -n "$py" ] || py=$(tools/pythons.sh | tail -n1 | cut -d' ' -f2)
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r requirements/build.txt -r requirements/demo.txt
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation -Cbuild-dir=build/demo .
exec "$venv/bin/python" -m vornhaven.demo "$@"
