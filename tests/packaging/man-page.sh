#!/usr/bin/env bash
# Checks the manual page against the program: groff formats it without a warning, every option
# that --help lists is described under OPTIONS, and every element of the example configuration
# (commented ones included) under CONFIGURATION. Exits 77 (skipped) without groff.
#   man-page.sh PAGE PROGRAM EXAMPLE_CONFIG
set -euo pipefail
page=$1
program=$2
example=$3
if ! command -v groff >/dev/null 2>&1; then
  echo "groff is not installed: the manual page is not checked"
  exit 77
fi
warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
  printf 'groff warns about %s:\n%s\n' "$page" "$warnings"
  exit 1
fi

text=$(LC_ALL=C groff -man -Tascii -P-cbou "$page" 2>/dev/null)
section() { sed -n "/^$1\$/,/^[A-Z]/p" <<<"$text"; }
status=0

# The options of the usage text ("  -C DIR, --directory DIR").
options=$(section OPTIONS)
missing=()
while read -r option; do
  grep -q -- "$option\b" <<<"$options" || missing+=("$option")
done < <("$program" --help | grep -E '^ +-' | grep -oE '(^|[ ,])--?[a-zA-Z][a-zA-Z-]*' | tr -d ' ,')
if [ ${#missing[@]} -gt 0 ]; then
  echo "options of --help that OPTIONS does not describe: ${missing[*]}"
  status=1
fi

# Each element has a paragraph of its own, headed by its name; the root and
# ignore's map children need none.
configuration=$(section CONFIGURATION)
missing=()
for element in $(grep -oE '<[a-z]+>' "$example" | tr -d '<>' | sort -u); do
  case "$element" in config | map) continue ;; esac
  grep -qE "^ {7}$element( |$)" <<<"$configuration" || missing+=("$element")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "elements of the example configuration that CONFIGURATION does not describe: ${missing[*]}"
  status=1
fi
[ "$status" -ne 0 ] || echo "manual page formats cleanly and describes every option and element"
exit "$status"
