#!/usr/bin/env bash
# Shows that lint's clang-tidy still runs clang's thread-safety analysis: on the probe
# (tests/cpp/thread_safety_probe.cpp) it must report exactly the lines marked "reported", so that a
# check that went quiet, or one that flags correct locking, fails lint. Needs the compile database
# of build/cpp.
set -euo pipefail
cd "$(dirname "$0")/.."
probe=tests/cpp/thread_safety_probe.cpp
expected=$(grep -n '// reported$' "$probe" | cut -d: -f1)
output=$(.venv/bin/clang-tidy -p build/cpp --quiet "$probe" 2>&1 || true)
reported=$(sed -n 's/^.*thread_safety_probe\.cpp:\([0-9]*\):[0-9]*: error: .*\[clang-diagnostic-thread-safety.*$/\1/p' \
           <<<"$output" | sort -un)
if [ "$reported" != "$(sort -un <<<"$expected")" ]; then
  echo "thread-safety probe: expected errors on lines" $expected "but got them on lines" $reported >&2
  echo "$output" >&2
  exit 1
fi
echo "thread-safety probe: the analysis reports every planted slip"
