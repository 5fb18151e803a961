#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are not installed yet, with
# apt-get, as root or through sudo. Safe to run again: with nothing missing it does nothing.
# The setup scripts call it with their own lists.
#   scripts/install-packages.sh PACKAGE...
set -euo pipefail

missing=()
for p in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -gt 0 ] || exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "setup: these packages are missing and this user cannot install them: ${missing[*]}" >&2
  echo "setup: run this script as root, or install sudo." >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
# sudo resets the environment, so the setting goes on its command line: debconf then asks no
# questions instead of failing to open a dialog.
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}"

# nginx's, squid's and tinyproxy's packages enable their services and, under systemd, start them
# (nginx on port 80, the proxies on 3128 and 8888). The tests and the demo start their own on a
# loopback port; a game server must not be left with a web server or an open proxy, now or at the
# next boot.
for p in "${missing[@]}"; do
  case "$p" in
    nginx*) service=nginx ;;
    squid) service=squid ;;
    tinyproxy) service=tinyproxy ;;
    *) continue ;;
  esac
  if [ -d /run/systemd/system ]; then
    "${as_root[@]}" systemctl disable --now --quiet "$service.service" ||
      echo "setup: $service.service could not be disabled: systemctl disable --now $service" >&2
  else
    # No running systemd (a container or chroot): nothing was started, only enabled.
    "${as_root[@]}" deb-systemd-helper disable "$service.service" >/dev/null 2>&1 || true
    "${as_root[@]}" update-rc.d "$service" disable >/dev/null 2>&1 || true
    # Some init scripts start their service right away even so.
    "${as_root[@]}" service "$service" stop >/dev/null 2>&1 || true
  fi
  echo "setup: $service's own service is disabled and stopped (the tests and the demo start their own)"
done
