#!/usr/bin/env bash
# Installs the Debian packages the second CI stage (scripts/check.sh), the benchmarks
# (bench/run.sh) and the soak test need beyond scripts/setup.sh's, and only those that are
# missing. Safe to run again. Works as root, or through sudo.
set -euo pipefail

PACKAGES=(
  # clang builds and fuzzes with libFuzzer; clang-format checks the layout.
  clang libclang-rt-14-dev clang-format
  # The parallel sync benchmark sets the program against these downloaders; the streaming
  # benchmarks check a map with xmllint beside the program.
  wget wget2 aria2 libxml2-utils
  # The fleet benchmark puts one caching squid between 20 instances and the feed server.
  squid
  # The soak test speeds the program's clock up.
  faketime
)

"$(dirname "$0")/install-packages.sh" "${PACKAGES[@]}"
