#!/usr/bin/env bash
# Installs what building needs when it is missing (scripts/setup.sh), configures and builds the
# project into build/ (the executable lands at build/mapautodownloader).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The tests are built when their packages are there (scripts/setup-tests.sh, which scripts/test.sh
# runs first): building the program and its package needs only scripts/setup.sh's.
testing=OFF
if dpkg-query -W -f='${Status}' libgtest-dev 2>/dev/null | grep -q "install ok installed"; then
  testing=ON
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DBUILD_TESTING="$testing" >/dev/null
cmake --build build -j"$(nproc)"
