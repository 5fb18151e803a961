#!/usr/bin/env bash
# Checks the manual page against the program: groff formats it without a warning, and every
# option that --help lists is described under OPTIONS. Exits 77 (skipped) without groff.
set -euo pipefail
page=$1
program=$2
if ! command -v groff >/dev/null 2>&1; then
  echo "groff is not installed: the manual page is not checked"
  exit 77
fi
warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
  printf 'groff warns about %s:\n%s\n' "$page" "$warnings"
  exit 1
fi

# The OPTIONS section as plain text, and the options of the usage text ("  -C DIR, --directory DIR").
options_section=$(LC_ALL=C groff -man -Tascii -P-cbou "$page" 2>/dev/null |
                  sed -n '/^OPTIONS/,/^[A-Z]/p')
missing=()
while read -r option; do
  grep -q -- "$option\b" <<<"$options_section" || missing+=("$option")
done < <("$program" --help | grep -E '^ +-' | grep -oE '(^|[ ,])--?[a-zA-Z][a-zA-Z-]*' | tr -d ' ,')
if [ ${#missing[@]} -gt 0 ]; then
  echo "options in --help that the manual page's OPTIONS section does not describe: ${missing[*]}"
  exit 1
fi
echo "manual page formats cleanly and describes every option of --help"
