#!/bin/sh
# Builds the benchmarks (Release) and runs them; prints one table on standard output.
#   bench/run.sh                 all cases (several minutes: 1.7 GB of data is generated)
#   bench/run.sh download feed   only the named cases (download, feed, maps, million, bigmap, sync,
#                                https, memory, synctls)
# The build goes to build-bench/ (or $MAD_BENCH_BUILD_DIR); the data to a temporary directory
# under $TMPDIR or /tmp, removed at the end. Build messages go to standard error.
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${MAD_BENCH_BUILD_DIR:-$repo/build-bench}
# The program's packages and the reference tools'; the test suite is not built here.
"$repo/scripts/setup.sh" >&2
"$repo/scripts/setup-checks.sh" >&2
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMAD_BUILD_BENCH=ON -DBUILD_TESTING=OFF >&2
cmake --build "$build" --target mad_bench mad_bench_get mad_bench_proxy mapautodownloader -j2 >&2
exec "$build/bench/mad_bench" "$@"
