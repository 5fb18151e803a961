#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and scores every systemd unit installed there
# (templates included) with "systemd-analyze security --offline=true": the overall exposure
# must stay at or below MAX_EXPOSURE (1.2). A failure lists the settings that still count.
# Exits 77 (skipped) when systemd-analyze is not installed or cannot score offline.
set -euo pipefail
build=$1
max_exposure=1.2
# Plain ASCII marks ("-" for a setting that counts), whatever the caller's locale.
export LC_ALL=C
if ! command -v systemd-analyze >/dev/null 2>&1 ||
   ! systemd-analyze security --help 2>/dev/null | grep -q -- --offline; then
  echo "systemd-analyze with offline scoring is not installed: the units are not scored"
  exit 77
fi
prefix=$(mktemp -d "${TMPDIR:-/tmp}/mad-exposure.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

units=("$prefix"/lib/systemd/system/*.service)
[ -e "${units[0]}" ] || { echo "no unit was installed"; exit 1; }
failed=0
for unit in "${units[@]}"; do
  report=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1) || true
  score=$(printf '%s\n' "$report" | sed -n 's/^.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  if [ -z "$score" ]; then
    printf '%s: no score\n%s\n' "$(basename "$unit")" "$report"
    failed=1
  elif awk -v s="$score" -v m="$max_exposure" 'BEGIN { exit !(s > m) }'; then
    printf '%s: exposure %s, above %s; what counts:\n' "$(basename "$unit")" "$score" "$max_exposure"
    printf '%s\n' "$report" | grep '^- '
    failed=1
  else
    echo "$(basename "$unit"): exposure $score"
  fi
done
exit "$failed"
