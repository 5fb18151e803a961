#!/usr/bin/env bash
# Installs the Debian packages the test suite needs beyond scripts/setup.sh's, and only those
# that are missing. Safe to run again. Works as root, or through sudo.
set -euo pipefail

PACKAGES=(
  googletest libgtest-dev libgmock-dev
  # The shipped unit is verified and its exposure scored with systemd-analyze; the example
  # configuration is checked with xmllint, the manual page with groff.
  systemd libxml2-utils groff-base
  # Requests through a proxy are tested against real ones, each started by its test on a loopback
  # port (the packaged services are left off).
  squid tinyproxy
  # The metrics file is read back with a real parser of the exposition format.
  python3 python3-prometheus-client
)

"$(dirname "$0")/install-packages.sh" "${PACKAGES[@]}"
