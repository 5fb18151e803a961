#!/bin/sh
# Builds the benchmarks (Release) and runs them; prints one table on standard output.
#   bench/run.sh                 all cases (several minutes: 1.7 GB of data is generated)
#   bench/run.sh download feed   only the named cases (download, feed, maps, million, bigmap, sync,
#                                synctls, idle, https, memory, fleet)
# Each row of the table names its case, its target and whether it was met. The fleet case runs
# first and its rows join that table (alone, it prints a table of its own).
# The build goes to build-bench/ (or $MAD_BENCH_BUILD_DIR); the data to a temporary directory
# under $TMPDIR or /tmp, removed at the end. Build messages go to standard error.
# The fleet case (bench/fleet.sh) runs the program itself, 20 at once, directly and through a
# caching squid; $MAD_BENCH_PROGRAM names an already built program for it, and then
# `bench/run.sh fleet` builds nothing.
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${MAD_BENCH_BUILD_DIR:-$repo/build-bench}
# The program's packages and the reference tools'; the test suite is not built here.
"$repo/scripts/setup.sh" >&2
"$repo/scripts/setup-checks.sh" >&2

# The fleet case is a script of its own; the other named cases go to mad_bench.
fleet=no
others=no
if [ $# -eq 0 ]; then
  fleet=yes
  others=yes
fi
for arg in "$@"; do
  if [ "$arg" = fleet ]; then fleet=yes; else others=yes; fi
done
if [ $# -gt 0 ]; then
  for arg in "$@"; do
    shift
    if [ "$arg" != fleet ]; then set -- "$@" "$arg"; fi
  done
fi

if [ "$others" = yes ] || [ -z "${MAD_BENCH_PROGRAM:-}" ]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMAD_BUILD_BENCH=ON -DBUILD_TESTING=OFF >&2
fi
if [ "$others" = yes ]; then
  cmake --build "$build" --target mad_bench mad_bench_get mad_bench_proxy mapautodownloader -j2 >&2
fi
if [ "$fleet" = yes ]; then
  program=${MAD_BENCH_PROGRAM:-}
  if [ -z "$program" ]; then
    cmake --build "$build" --target mapautodownloader -j2 >&2
    program=$build/mapautodownloader
  fi
  if [ "$others" = yes ]; then
    # The fleet runs first and hands its rows to the one table at the end.
    rows=$(mktemp "${TMPDIR:-/tmp}/mad-bench-rows.XXXXXX")
    trap 'rm -f "$rows"' EXIT
    if ! MAD_BENCH_ROWS=$rows "$repo/bench/fleet.sh" "$program" >&2; then
      printf 'fleet\tbench/fleet.sh failed: see standard error\tFAILED\t\t\t\t\tmissed\n' >>"$rows"
    fi
    export MAD_BENCH_ROWS=$rows
  else
    "$repo/bench/fleet.sh" "$program"
  fi
fi
if [ "$others" = yes ]; then
  "$build/bench/mad_bench" "$@"
fi
