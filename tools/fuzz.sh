#!/usr/bin/env bash
# Coverage-guided fuzzing with atheris: builds the package with clang for fuzzing (ASan, libFuzzer's
# coverage counters, trapping UBSan) into .venv/fuzz on CPython 3.12 (or 3.13), runs every module's target
# (fuzz/targets/<module>.py) for FUZZ_SECONDS seconds each (default 60), then prints the report
# (fuzz/out/summary.md). Arguments choose modules, e.g. `tools/fuzz.sh shapekit`. Exits 1 when a
# run found a crash, a hang or a mismatch; its input is then in fuzz/regressions/<module>/.
# Installs clang-14 with apt-get when it is missing (needs root, as on CI).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
if ! command -v clang++-14 >/dev/null; then
  echo "=== installing clang-14 (apt-get)"
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q clang-14 libclang-rt-14-dev
fi
py=$(tools/pythons.sh | grep -E '^3\.1[23] ' | head -n1 | cut -d' ' -f2)  # atheris 3.1.0 has wheels for these
[ -n "$py" ] || { echo "fuzzing needs CPython 3.12 or 3.13 (atheris 3.1.0's wheels)" >&2; exit 1; }
[ -x .venv/fuzz/bin/python ] || "$py" -m venv .venv/fuzz
.venv/fuzz/bin/python -m pip install -q --disable-pip-version-check \
  -r requirements/build.txt -r requirements/test.txt -r requirements/fuzz.txt
echo "=== fuzzing build (clang-14, ASan + libFuzzer coverage + UBSan)"
CC=clang-14 CXX=clang++-14 .venv/fuzz/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  -Ccmake.define.VORNHAVEN_FUZZ=ON -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/fuzz .
echo "=== fuzzing, $seconds s per module"
status=0
(cd fuzz && ../.venv/fuzz/bin/python run.py --seconds "$seconds" "$@") || status=1
echo "=== fuzz report (fuzz/out/summary.md)"
(cd fuzz && ../.venv/fuzz/bin/python report.py) || status=1
exit $status
