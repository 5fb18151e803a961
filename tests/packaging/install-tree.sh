#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and checks that everything an operator needs
# is there: the program (which answers --version), the unit naming that program (verified like
# the shipped one), the example configuration (well-formed, its ignore list commented out), the
# README and the manual page.
set -euo pipefail
build=$1
here=$(dirname "$0")
prefix=$(mktemp -d "${TMPDIR:-/tmp}/mad-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
"$prefix/bin/mapautodownloader" --version
unit=$prefix/lib/systemd/system/mapautodownloader.service
grep -qx "ExecStart=$prefix/bin/mapautodownloader -C %S/mapautodownloader" "$unit"
grep -qxF 'ExecReload=/bin/kill -HUP $MAINPID' "$unit"
# One instance per game server, each in a directory of its own under the state directory.
template=$prefix/lib/systemd/system/mapautodownloader@.service
grep -qx "ExecStart=$prefix/bin/mapautodownloader -C %S/mapautodownloader/%i" "$template"
grep -qx "StateDirectory=mapautodownloader/%i" "$template"
example=$prefix/share/doc/mapautodownloader/examples/config.xml
if command -v xmllint >/dev/null; then
  xmllint --noout "$example"
  # The ignore list is only shown: a first start from the example must not skip any map.
  if [ "$(xmllint --xpath 'count(//ignore)' "$example")" != 0 ]; then
    echo "the installed example configuration has an active ignore list"
    exit 1
  fi
fi
test -s "$prefix/share/doc/mapautodownloader/README.md"
test -s "$prefix/share/man/man1/mapautodownloader.1.gz"
status=0
for u in "$unit" "$template"; do
  "$here/verify-unit.sh" "$u" || status=$?
done
# A missing systemd-analyze only skips the unit's part.
if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then exit "$status"; fi
echo "installed tree is complete"
