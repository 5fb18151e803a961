#!/usr/bin/env bash
# Installs the Debian packages that building, packaging and running the program and the demo
# need, and only those that are missing. Safe to run again. Works as root, or through sudo.
# The tests need scripts/setup-tests.sh as well; the second CI stage and the benchmarks
# scripts/setup-checks.sh.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  libxerces-c-dev
  libssl-dev openssl ca-certificates
  # Readiness, status and the watchdog are told to systemd with sd_notify.
  libsystemd-dev
  # cpack -G DEB inspects the program with file.
  file
  # The demo serves its feed with nginx (its own instance: the packaged service is left off)
  # on a port python3 picks, and waits for it with curl.
  nginx-light curl python3
)

"$(dirname "$0")/install-packages.sh" "${PACKAGES[@]}"
