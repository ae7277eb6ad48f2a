#!/usr/bin/env bash
# Runs one fuzz target for FUZZ_SECONDS from its seed corpus (and, for the JSON
# decoders, the JSONTestSuite files in SUITE_DIR when present).
#
#   tests/fuzz/run_fuzzer.sh fuzz_decode_record
#
# New inputs that reach new code go to a scratch corpus under the build
# directory, which later runs start from; the checked-in seeds stay small. A
# crash leaves its input under $BUILD_DIR/artifacts and fails the run: make it
# a regression test (a C++ test case holding the input) before fixing.
set -euo pipefail

target=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build/fuzz}
seconds=${FUZZ_SECONDS:-40}
jobs=${FUZZ_JOBS:-1}
suite=${SUITE_DIR:-$root/tests/data/jsontestsuite/test_parsing}

binary=$build/tests/fuzz/$target
seeds=$root/tests/fuzz/corpus/${target#fuzz_}
scratch=$build/corpus/$target
artifacts=$build/artifacts
mkdir -p "$scratch" "$artifacts"

corpora=("$scratch" "$seeds")
json=true
if [[ $target == fuzz_decode_graph ]]; then json=false; fi  # the one binary format
if [[ $json == true && $target == fuzz_decode_* && -d $suite ]]; then corpora+=("$suite"); fi

options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/$target-" -max_len=4096)
if [[ $json == true ]]; then options+=(-dict="$root/tests/fuzz/json.dict"); fi
if (( jobs > 1 )); then options+=(-fork="$jobs"); fi

echo "== $target: ${seconds}s"
log=$build/$target.log
if ! "$binary" "${options[@]}" "${corpora[@]}" >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "== $target found a failure; the input is in $artifacts" >&2
  exit 1
fi
grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+.*DONE' "$log" || true
