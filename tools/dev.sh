#!/usr/bin/env bash
# Builds the package (with the runtime test module) into .venv/dev on the newest CPython found.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(tools/pythons.sh | grep -E '^3\.12 ' | head -n1 | cut -d' ' -f2)
[ -n "$py" ] || py=$(tools/pythons.sh | tail -n1 | cut -d' ' -f2)
[ -x .venv/dev/bin/python ] || "$py" -m venv .venv/dev
.venv/dev/bin/python -m pip install -q --disable-pip-version-check -r requirements/build.txt -r requirements/test.txt -r requirements/bench.txt
.venv/dev/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  -Ccmake.define.VORNHAVEN_TESTING=ON -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/dev .
