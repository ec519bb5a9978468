#!/usr/bin/env bash
# The sanitizer runs, each of which must be clean:
#   asan  the core's C++ tests, then the Python suite, against an AddressSanitizer +
#         UndefinedBehaviorSanitizer build of the core and of the extension module (build/sanitize).
#         The ordinary interpreter loads the sanitizer runtime through LD_PRELOAD and allocates
#         through malloc (PYTHONMALLOC=malloc), so that ASan sees Python objects too. Then a
#         LeakSanitizer pass: every entry point of the module, on its success and failure paths
#         (test_leaks.py's round), in an interpreter that must exit without a leak report; only
#         the interpreter's own leaks are suppressed (scripts/lsan-python.supp). LSAN_SUITE=1 runs
#         the whole Python suite under LeakSanitizer instead (about ten times slower).
#   tsan  the core's concurrency tests (every test named *Concurrent*) under ThreadSanitizer
#         (build/tsan, the build `make tsan` uses).
#
#   scripts/sanitize.sh                 # asan, then tsan
#   scripts/sanitize.sh asan            # one of them
#   PYTEST_ARGS="-x -k stress" scripts/sanitize.sh asan
#
# PYTEST_ARGS defaults to --run-slow (the million-node chains and the long stress runs); CI passes
# PYTEST_ARGS= to stay within its budget. PYTHON picks the interpreter (default .venv/bin/python).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-$root/.venv/bin/python}
jobs=${JOBS:-2}
pytest_args=${PYTEST_ARGS---run-slow}
runs=("$@")
[ ${#runs[@]} -gt 0 ] || runs=(asan tsan)

# -O1 is the sanitizers' usual level: at -O2 the instrumented core compiles about twice as slowly,
# for little speed in the tests.
build_type=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g -DNDEBUG")

# Each report aborts the process, so a run fails at its first finding.
ubsan_options=halt_on_error=1:print_stacktrace=1:report_error_type=1
asan_common=abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1

asan() {
  local build=$root/build/sanitize
  cmake -S "$root" -B "$build" -G Ninja "${build_type[@]}" \
    -DTARNVEL_SANITIZE=address,undefined -DTARNVEL_TESTS=ON -DTARNVEL_PYTHON=ON \
    -DPython_EXECUTABLE="$python" >/dev/null
  ninja -C "$build" -j"$jobs" tarnvel_tests tarnvel_core

  echo "== sanitize: C++ tests under ASan+UBSan (leak checking on)"
  ASAN_OPTIONS=$asan_common:detect_leaks=1 UBSAN_OPTIONS=$ubsan_options \
    "$build/tests/cpp/tarnvel_tests" --gtest_brief=1

  local module_dir=$build/src/python
  # The C++ runtime is preloaded too: ASan binds its __cxa_throw interceptor when it starts, and
  # with libstdc++ loaded only later (by the module) the first C++ exception that reaches Python
  # (an interrupted call's) would abort in the interceptor.
  local runtime
  runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
  local env=(env PYTHONPATH="$module_dir:$root/tests/python" LD_PRELOAD="$runtime" PYTHONMALLOC=malloc
             UBSAN_OPTIONS="$ubsan_options")
  local imported
  imported=$("${env[@]}" ASAN_OPTIONS=detect_leaks=0 "$python" -c 'import tarnvel_core; print(tarnvel_core.__file__)')
  case "$imported" in
    "$module_dir"/*) echo "== sanitize: Python suite under ASan+UBSan with $imported" ;;
    *) echo "sanitize: imported $imported instead of the sanitized module" >&2; exit 1 ;;
  esac
  # The module comes from the build tree, which has no installed stubs beside it to compare.
  local installed_only=(--deselect tests/python/test_stubs.py::test_installed_stubs_are_this_checkouts)
  # Leaks are checked in the pass below, with full stacks; here every other check is on.
  # shellcheck disable=SC2086
  (cd "$root" && "${env[@]}" ASAN_OPTIONS="$asan_common:detect_leaks=0" \
     "$python" -m pytest -q -p no:cacheprovider --timeout=1800 "${installed_only[@]}" tests/python $pytest_args)

  local lsan_options=$asan_common:detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=40
  local lsan_env=("${env[@]}" ASAN_OPTIONS="$lsan_options" LSAN_OPTIONS="suppressions=$root/scripts/lsan-python.supp:print_suppressions=0")
  if [ "${LSAN_SUITE:-0}" = 1 ]; then
    echo "== sanitize: Python suite under LeakSanitizer"
    # shellcheck disable=SC2086
    (cd "$root" && "${lsan_env[@]}" "$python" -m pytest -q -p no:cacheprovider --timeout=7200 "${installed_only[@]}" \
       tests/python $pytest_args)
  else
    echo "== sanitize: every entry point under LeakSanitizer"
    "${lsan_env[@]}" "$python" -c '
import tarnvel_core, test_leaks
shared, reducer = tarnvel_core.GraphStore(), tarnvel_core.IncrementalReducer()
shared.add_source(test_leaks.LONG, {"k": 1})
shared.add_op("neg", [0], {"s": test_leaks.LONG})
for _ in range(3):
    test_leaks.round_of_every_entry_point(shared, reducer)
'
  fi
}

tsan() {
  local build=$root/build/tsan
  cmake -S "$root" -B "$build" -G Ninja -DTARNVEL_SANITIZE=thread "${build_type[@]}" >/dev/null
  ninja -C "$build" -j"$jobs" tarnvel_tests
  echo "== sanitize: C++ concurrency tests under TSan"
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:history_size=4 \
    "$build/tests/cpp/tarnvel_tests" --gtest_filter='*Concurrent*' --gtest_brief=1
}

for run in "${runs[@]}"; do
  case "$run" in
    asan) asan ;;
    tsan) tsan ;;
    *) echo "usage: scripts/sanitize.sh [asan] [tsan]" >&2; exit 2 ;;
  esac
done
echo "sanitize: clean"
