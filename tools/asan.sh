#!/usr/bin/env bash
# Builds the package with AddressSanitizer and UndefinedBehaviorSanitizer into .venv/asan and runs
# the test suite under them (the interpreter itself is not instrumented, so the runtime is preloaded).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/venv.sh .venv/asan requirements/build.txt requirements/test.txt
.venv/asan/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  -Ccmake.define.VORNHAVEN_TESTING=ON -Ccmake.define.VORNHAVEN_SANITIZE=ON \
  -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/asan .
asan="$(${CXX:-g++} -print-file-name=libasan.so) $(${CXX:-g++} -print-file-name=libstdc++.so)"
echo "=== sanitizer build (ASan + UBSan)"
# Leaks: LeakSanitizer checks the heap after the last test, while the interpreter is alive
# (tests/conftest.py); objects go through malloc so that it sees them. Its check at exit stays off:
# CPython leaves its interned strings and static objects behind at exit by design.
PYTHONMALLOC=malloc VORNHAVEN_LEAK_CHECK=1 LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp \
  LD_PRELOAD="$asan" ASAN_OPTIONS=detect_leaks=1:leak_check_at_exit=0:abort_on_error=1:allocator_may_return_null=1${ASAN_LOG:+:log_path=$ASAN_LOG} \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  .venv/asan/bin/python -m pytest -q -p no:cacheprovider "$@"
