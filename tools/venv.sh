#!/usr/bin/env bash
# Usage: tools/venv.sh VENV [REQUIREMENTS...]
# Makes the virtual environment VENV on CPython 3.12 (or the newest CPython >= 3.11 found) if it
# does not exist yet, and installs the given requirement files into it.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$1
shift
if [ ! -x "$venv/bin/python" ]; then
  py=$(tools/pythons.sh | grep -E '^3\.12 ' | head -n1 | cut -d' ' -f2)
  [ -n "$py" ] || py=$(tools/pythons.sh | tail -n1 | cut -d' ' -f2)
  [ -n "$py" ] || { echo "no CPython >= 3.11 found" >&2; exit 1; }
  "$py" -m venv "$venv"
fi
if [ $# -gt 0 ]; then
  "$venv/bin/python" -m pip install -q --disable-pip-version-check $(printf -- '-r %s ' "$@")
fi
