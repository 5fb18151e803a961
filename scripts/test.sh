#!/usr/bin/env bash
# Installs what building and the tests need when it is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/setup-tests.sh
scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"
