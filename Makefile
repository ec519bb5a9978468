# The README's two commands are `make demo` and `make test`; both set up what is missing first.
SHELL := /bin/bash
JOBS ?= 2
CPP_BUILD := build/cpp

.PHONY: setup demo test test-cpp test-python test-wheel build-cpp bench fuzz tsan

setup:
	bash scripts/setup.sh

demo: setup
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

# The wheel, installed alone into a fresh environment, runs the demo and a smoke test.
test-wheel:
	bash scripts/wheel_smoke.sh

bench: setup
	.venv/bin/python -m pip install -q --disable-pip-version-check dask
	cmake -S . -B build/bench -G Ninja -DTARNVEL_BENCH=ON -DTARNVEL_TESTS=OFF >/dev/null
	ninja -C build/bench -j$(JOBS)
	.venv/bin/python bench/bench.py

# ThreadSanitizer over the core's concurrency tests.
tsan:
	cmake -S . -B build/tsan -G Ninja -DTARNVEL_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	ninja -C build/tsan -j$(JOBS) tarnvel_tests
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/cpp/tarnvel_tests --gtest_filter='*Concurrent*'

fuzz:
	bash scripts/fuzz.sh $${SECONDS_PER_TARGET:-60}
