#!/usr/bin/env bash
# Prints one interpreter path per CPython minor version >= 3.11 found on this machine
# (pyenv installs first, then whatever works on PATH), as "<minor> <path>" lines.
set -u
declare -A seen
emit() {
  local py=$1 ver
  ver=$("$py" -c 'import sys, platform; print("%d.%d" % sys.version_info[:2] if platform.python_implementation() == "CPython" and sys.version_info >= (3, 11) else "")' 2>/dev/null) || return 0
  [ -n "$ver" ] || return 0
  [ -z "${seen[$ver]:-}" ] || return 0
  "$py" -c 'import venv, ensurepip' >/dev/null 2>&1 || return 0
  seen[$ver]=1
  echo "$ver $py"
}
for root in "${PYENV_ROOT:-$HOME/.pyenv}/versions" /opt/python /usr/local/bin; do
  for py in "$root"/3.*/bin/python3 ; do [ -x "$py" ] && emit "$py"; done
done
for minor in 11 12 13 14 15 16; do
  for py in $(command -v -a python3.$minor 2>/dev/null); do emit "$py"; done
done
