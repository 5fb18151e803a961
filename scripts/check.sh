#!/usr/bin/env bash
# The checks beyond the test suite, run by CI after scripts/test.sh:
#  0. every C++ file of src/, tests/ and bench/ is laid out as .clang-format says (FORMAT_CHECK=off
#     skips it);
#  1. the whole tree builds with clang, warnings as errors;
#  2. the whole suite passes once under AddressSanitizer and UndefinedBehaviorSanitizer;
#  3. the whole suite passes once under ThreadSanitizer (downloads run side by side);
#  4. each fuzz target of tests/fuzz runs for FUZZ_SECONDS (default 30) on its seed corpus
#     without a finding.
# Build trees: build-clang/, build-asan/, build-tsan/, build-fuzz/. Fails on the first problem.
set -euo pipefail
cd "$(dirname "$0")/.."
# The suite runs again under the sanitizers, so it needs the tests' packages too.
scripts/setup.sh
scripts/setup-tests.sh
scripts/setup-checks.sh
jobs="$(nproc)"
fuzz_seconds="${FUZZ_SECONDS:-30}"

step() { printf '\n== %s\n' "$*"; }

# Off until the tree has been formatted in one commit of its own; "on" from then on.
FORMAT_CHECK=${FORMAT_CHECK:-on}
if [ "$FORMAT_CHECK" = on ]; then
  step "layout (clang-format)"
  git ls-files -z 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h' |
    xargs -0 clang-format --dry-run --Werror
fi

step "clang build (-Werror)"
CC=clang CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-clang -j"$jobs"

step "test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAD_SANITIZE=ON -DMAD_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
# Any report ends the process with an error, so a test cannot pass over it.
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

step "test suite under ThreadSanitizer"
CC=clang CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAD_TSAN=ON \
  -DMAD_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs"
# The end-to-end tests run the instrumented program too; a report fails whichever process made it.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs"

step "fuzz targets, ${fuzz_seconds} s each"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAD_FUZZ=ON \
  -DBUILD_TESTING=OFF -DMAD_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzzers
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
found=0
for fuzzer in build-fuzz/tests/fuzz/fuzz_*; do
  name="${fuzzer##*/fuzz_}"
  # New inputs go to a scratch copy: the corpus kept in the repository stays small.
  mkdir -p "$work/$name/corpus" "$work/$name/artifacts"
  cp tests/fuzz/corpus/"$name"/* "$work/$name/corpus/" 2>/dev/null || true
  printf '%s: ' "$name"
  if "$fuzzer" -max_total_time="$fuzz_seconds" -max_len=8192 -timeout=10 -rss_limit_mb=1024 \
       -print_final_stats=1 -artifact_prefix="$work/$name/artifacts/" "$work/$name/corpus" \
       >"$work/$name/log" 2>&1; then
    grep -m1 -E '^stat::number_of_executed_units' "$work/$name/log" | sed 's/.*: */executions: /'
  else
    found=1
    echo "FINDING"
    tail -n 40 "$work/$name/log"
    for artifact in "$work/$name"/artifacts/*; do
      [ -e "$artifact" ] && { echo "input ($artifact):"; od -c "$artifact" | head -n 20; }
    done
  fi
done
exit "$found"
