#!/usr/bin/env bash
# Packaging check: builds the sdist, builds a wheel from that sdist (in pip's isolated build
# environment, so the sdist is known to carry everything the build needs), then installs the wheel
# into fresh virtual environments, with NumPy 2 and with NumPy 1.26, and imports all six modules.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/package
rm -rf "$out"
mkdir -p "$out"
tools/venv.sh .venv/package
.venv/package/bin/python -m pip install -q --disable-pip-version-check build==1.3.0
echo "--- sdist"
.venv/package/bin/python -m build --sdist --outdir "$out" . >/dev/null
sdist=$(ls "$out"/vornhaven-*.tar.gz)
echo "--- wheel from $(basename "$sdist")"
.venv/package/bin/python -m pip wheel -q --disable-pip-version-check --no-deps -w "$out" "$sdist"
wheel=$(ls "$out"/vornhaven-*.whl)
numpy2=$(grep -E '^numpy==' requirements/build.txt | cut -d= -f3)
modules="vornhaven.preprocessing.shapekit"
for m in fracwindow fracborder fracmiddle bandmixer pickweighted; do
  modules="$modules vornhaven.preprocessing.augmentations.transform.$m"
done
for numpy in "$numpy2" 1.26.4; do
  echo "--- $(basename "$wheel") in a fresh environment, NumPy $numpy"
  rm -rf "$out/venv"
  tools/venv.sh "$out/venv"
  "$out/venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" "numpy==$numpy" \
    $(grep -E '^(albumentations|opencv-python-headless|scipy|scikit-image|scikit-learn)==' requirements/test.txt)
  # from a directory without the sources, so that only the installed package can be imported
  (cd "$out" && venv/bin/python - $modules <<'PY'
import importlib
import sys

import numpy

for name in sys.argv[1:]:
    module = importlib.import_module(name)
    assert module.__file__.startswith(sys.prefix), module.__file__
print(f"imported {len(sys.argv) - 1} modules with NumPy {numpy.__version__}")
PY
  )
done
