#!/usr/bin/env bash
# Fuzzes the IR blob reader for SECONDS seconds: builds the clang fuzz build in build/fuzz, writes
# the seed corpus to build/fuzz/seeds, and runs blob_fuzz. Exits non-zero on any crash, leak,
# timeout or out-of-memory; the failing input is saved under build/fuzz/findings/.
#
#   scripts/fuzz.sh 300
set -euo pipefail

seconds=${1:?usage: scripts/fuzz.sh SECONDS}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNVEL_FUZZ=ON -DTARNVEL_TESTS=OFF -DTARNVEL_WERROR=ON >/dev/null
ninja -C "$build" -j2 blob_fuzz make_blob_seeds

rm -rf "$build/seeds"
mkdir -p "$build/corpus" "$build/findings"
"$build/fuzz/make_blob_seeds" "$build/seeds"

# The first directory collects what the run discovers; the seeds stay as they were written.
"$build/fuzz/blob_fuzz" "$build/corpus" "$build/seeds" \
  -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
  -artifact_prefix="$build/findings/" -print_final_stats=1
