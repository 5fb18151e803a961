#!/usr/bin/env bash
# Installs every Debian package that building, testing, benchmarking and the demo need,
# and only those that are missing. Safe to run again. Works as root, or through sudo.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  libxerces-c-dev
  libssl-dev openssl ca-certificates
  googletest libgtest-dev libgmock-dev
  nginx-light
  curl python3
  # The parallel sync benchmark sets the program against these downloaders.
  wget wget2 aria2
  # The streaming benchmarks check a map with xmllint beside the program.
  libxml2-utils
  # The second CI stage builds with clang, fuzzes with libFuzzer; the soak script uses faketime.
  clang libclang-rt-14-dev
  faketime
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
elif command -v sudo >/dev/null 2>&1; then
  SUDO=(sudo)
else
  echo "setup: these packages are missing and this user cannot install them: ${missing[*]}" >&2
  echo "setup: run this script as root, or install sudo." >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
# The tests and the demo start their own nginx on a free loopback port; a system nginx that the
# package may start does not get in their way.
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
