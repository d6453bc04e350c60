#!/usr/bin/env bash
# Sets up one virtual environment per CPython >= 3.11 on this machine, builds the package into it
# and runs the test suite, once with NumPy 2 and, where wheels exist, once more with NumPy 1.26;
# the bit-exact geometry and channel-assembly tests run once more with NumPy's AVX-512 code
# switched off (NumPy picks its loops by CPU, so results must agree both ways), and the transform
# tests once more with the oldest and the newest supported albumentations. A run without pytest
# arguments then checks the packaging (tools/package_check.sh) and runs the whole suite on the
# ASan + UBSan build (tools/asan.sh) and fuzzes every module for 10 seconds (tools/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t pythons < <(tools/pythons.sh)
[ ${#pythons[@]} -gt 0 ] || { echo "no CPython >= 3.11 found" >&2; exit 1; }
numpy2=$(grep -E '^numpy==' requirements/build.txt | cut -d= -f3)
numpy1=1.26.4
albumentations=$(grep -E '^albumentations==' requirements/test.txt | cut -d= -f3)
albumentations_oldest=1.1.0
albumentations_newest=1.4.3  # the newest release of the declared range (pyproject.toml)
no_avx512="AVX512F AVX512CD AVX512_KNL AVX512_KNM AVX512_SKX AVX512_CLX AVX512_CNL AVX512_ICL AVX512_SPR"
without_avx512() {  # runs the command with NumPy's AVX-512 loops switched off (x86-64 only)
  if [ "$(uname -m)" = x86_64 ]; then NPY_DISABLE_CPU_FEATURES="$no_avx512" "$@"; fi
}
status=0
for line in "${pythons[@]}"; do
  minor=${line%% *}; py=${line#* }
  venv=.venv/py$minor
  echo "=== CPython $minor ($py)"
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r requirements/build.txt -r requirements/test.txt
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -Ccmake.define.VORNHAVEN_TESTING=ON .
  echo "--- CPython $minor, NumPy $numpy2"
  "$venv/bin/python" -m pytest -q "$@" || status=1
  echo "--- CPython $minor, NumPy $numpy2, without AVX-512 (geometry, channel assembly)"
  without_avx512 "$venv/bin/python" -m pytest -q tests/preprocessing tests/augmentations/test_bandmixer.py "$@" || status=1
  if [ "$minor" = 3.11 ] || [ "$minor" = 3.12 ]; then
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "numpy==$numpy1"
    echo "--- CPython $minor, NumPy $numpy1"
    "$venv/bin/python" -m pytest -q "$@" || status=1
    echo "--- CPython $minor, NumPy $numpy1, without AVX-512 (geometry, channel assembly)"
    without_avx512 "$venv/bin/python" -m pytest -q tests/preprocessing tests/augmentations/test_bandmixer.py "$@" || status=1
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "numpy==$numpy2"
  fi
  for version in "$albumentations_oldest" "$albumentations_newest"; do
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "albumentations==$version"
    echo "--- CPython $minor, NumPy $numpy2, albumentations $version (transforms)"
    "$venv/bin/python" -m pytest -q tests/augmentations "$@" || status=1
  done
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "albumentations==$albumentations"
done
if [ $# -eq 0 ]; then  # the whole run: also the package as users install it, and the sanitizers
  echo "=== packaging: sdist, wheel, fresh installs"
  tools/package_check.sh || status=1
  echo "=== ASan + UBSan"
  tools/asan.sh || status=1
  echo "=== fuzzing, 10 s per module"
  FUZZ_SECONDS=10 tools/fuzz.sh --no-corpus-update || status=1
fi
exit $status
