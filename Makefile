.PHONY: demo test bench leakcheck dev asan fuzz format clean

# The demo from a fresh machine: .venv/demo with pinned dependencies, a release build, and
# `python -m vornhaven.demo`; options through ARGS, e.g. make demo ARGS="--count 64 --workers 2".
demo:
	tools/demo.sh $(ARGS)

# Everything from a fresh machine: virtual environments for every CPython >= 3.11, pinned
# dependencies, the build, and the whole test suite (NumPy 2 and NumPy 1.26).
test:
	tools/test.sh

# Release build in .venv/bench and the benchmark report (table + bench/out/ratios.png).
bench:
	tools/bench.sh $(ARGS)

# Release build in .venv/bench and the leak check: every entry point of the six modules called
# LEAK_CALLS times (default 100000) with valid and with invalid input; summary in build/leakcheck/.
LEAK_CALLS ?= 100000
leakcheck:
	LEAK_CALLS=$(LEAK_CALLS) tools/leakcheck.sh $(ARGS)

# Quick development build in .venv/dev.
dev:
	tools/dev.sh

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.hpp')

clean:
	rm -rf build .venv bench/out demo-output

# The test suite on an AddressSanitizer + UndefinedBehaviorSanitizer build (.venv/asan).
asan:
	tools/asan.sh

# Coverage-guided fuzzing (atheris) of every module on a clang ASan + UBSan build (.venv/fuzz),
# FUZZ_SECONDS seconds per module (default 60); report in fuzz/out/summary.md.
fuzz:
	FUZZ_SECONDS=$(or $(FUZZ_SECONDS),60) tools/fuzz.sh
