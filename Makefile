# The README's two commands are `make demo` and `make test`; both set up what is missing first, the
# demo only what it needs.
SHELL := /bin/bash
JOBS ?= 2
CPP_BUILD := build/cpp
# Every C++ file in the repository, for the formatter.
CXX_FILES = $(shell git ls-files '*.cpp' '*.hpp')

.PHONY: setup demo test test-cpp test-python test-wheel build-cpp wheel format lint thread-safety bench fuzz sanitize tsan

setup:
	bash scripts/setup.sh

demo:
	bash scripts/setup.sh demo
	.venv/bin/python examples/demo.py

test: setup test-cpp test-python test-wheel

build-cpp:
	cmake -S . -B $(CPP_BUILD) -G Ninja -DTARNVEL_WERROR=ON -DTARNVEL_FT_CHECK_INCLUDE="$$(cat build/ft-include.txt 2>/dev/null)" >/dev/null
	ninja -C $(CPP_BUILD) -j$(JOBS)

test-cpp: build-cpp
	ctest --test-dir $(CPP_BUILD) --output-on-failure -j$(JOBS)

# Every virtual environment setup made (one per CPython found) runs the whole Python suite.
test-python:
	@set -e; for venv in $$(cat build/venvs.txt); do \
	  echo "== pytest on $$($$venv/bin/python -V)"; \
	  $$venv/bin/python -m pytest -q tests/python; \
	done

# The repaired wheel, installed alone into a fresh environment, runs the demo and a smoke test.
test-wheel:
	bash scripts/wheel_smoke.sh

# One manylinux wheel in dist/ per environment setup made, each needing nothing but glibc.
wheel: setup
	bash scripts/build_wheel.sh

format: setup
	.venv/bin/clang-format -i $(CXX_FILES)

# The bug-finding checks first, then the layout check, so that a formatting slip hides nothing.
# clang-tidy runs clang's thread-safety analysis too (.clang-tidy); the probe shows it still does.
lint: setup build-cpp
	.venv/bin/ruff check .
	bash scripts/thread_safety_probe.sh
	.venv/bin/run-clang-tidy.py -p $(CPP_BUILD) -clang-tidy-binary .venv/bin/clang-tidy -j$(JOBS) -quiet '$(CURDIR)/src/'
	.venv/bin/clang-format --dry-run --Werror $(CXX_FILES)

# The thread-safety analysis alone, a quicker run of what lint checks.
thread-safety: setup build-cpp
	bash scripts/thread_safety_probe.sh
	.venv/bin/run-clang-tidy.py -p $(CPP_BUILD) -clang-tidy-binary .venv/bin/clang-tidy -j$(JOBS) -quiet \
	  -allow-no-checks -checks='-*,clang-diagnostic-thread-safety*' '$(CURDIR)/src/'

bench: setup
	cmake -S . -B build/bench -G Ninja -DTARNVEL_BENCH=ON -DTARNVEL_TESTS=OFF >/dev/null
	ninja -C build/bench -j$(JOBS)
	.venv/bin/python bench/bench.py

# Every sanitizer run, slow tests included: ASan+UBSan over the C++ tests and the Python suite, the
# LeakSanitizer pass, and ThreadSanitizer over the core's concurrency tests (scripts/sanitize.sh).
sanitize: setup
	JOBS=$(JOBS) bash scripts/sanitize.sh

# ThreadSanitizer over the core's concurrency tests alone.
tsan:
	JOBS=$(JOBS) bash scripts/sanitize.sh tsan

fuzz:
	bash scripts/fuzz.sh $${SECONDS_PER_TARGET:-60}
