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

# nginx's package enables its service and, under systemd, starts it on port 80. The tests and
# the demo start their own nginx on a loopback port; a game server must not be left with a web
# server, now or at the next boot.
for p in "${missing[@]}"; do
  case "$p" in
    nginx*)
      if [ -d /run/systemd/system ]; then
        "${as_root[@]}" systemctl disable --now --quiet nginx.service ||
          echo "setup: nginx.service could not be disabled: systemctl disable --now nginx" >&2
      else
        # No running systemd (a container or chroot): nothing was started, only enabled.
        "${as_root[@]}" deb-systemd-helper disable nginx.service >/dev/null 2>&1 || true
        "${as_root[@]}" update-rc.d nginx disable >/dev/null 2>&1 || true
      fi
      echo "setup: nginx's own service is disabled and stopped (the tests and the demo start their own)"
      break
      ;;
  esac
done
