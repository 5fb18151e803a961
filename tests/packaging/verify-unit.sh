#!/usr/bin/env bash
# Verifies a systemd unit: systemd-analyze must accept it and say nothing about it, since a
# directive it cannot parse is only a warning and would silently drop part of the hardening.
# Exits 77 (skipped) when systemd-analyze is not installed.
set -uo pipefail
unit=$1
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "systemd-analyze is not installed: the unit is not verified"
  exit 77
fi
output=$(systemd-analyze verify "$unit" 2>&1)
status=$?
# Complaints about other units on this machine are not ours.
ours=$(printf '%s\n' "$output" | grep -F "$(basename "$unit")" || true)
if [ "$status" -ne 0 ] || [ -n "$ours" ]; then
  printf 'systemd-analyze verify %s (status %d):\n%s\n' "$unit" "$status" "$output"
  exit 1
fi
echo "verified: $unit"
