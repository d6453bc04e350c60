.PHONY: test bench dev asan format clean

# Everything from a fresh machine: virtual environments for every CPython >= 3.11, pinned
# dependencies, the build, and the whole test suite (NumPy 2 and NumPy 1.26).
test:
	tools/test.sh

# Release build in .venv/bench and the benchmark report (table + bench/out/ratios.png).
bench:
	tools/bench.sh

# Quick development build in .venv/dev.
dev:
	tools/dev.sh

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.hpp')

clean:
	rm -rf build .venv bench/out

# The test suite on an AddressSanitizer + UndefinedBehaviorSanitizer build (.venv/asan).
asan:
	tools/asan.sh
