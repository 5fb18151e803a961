#!/usr/bin/env bash
# Checks the Debian package the way a newcomer and an operator meet it, on demand (not part of
# the test suite: it takes several minutes and needs the Debian mirror). As root, it
#   1. debootstraps a fresh minimal Debian 12 root (with systemd, sudo and man-db, as a server
#      has them) into a temporary folder, and puts a clean clone of the committed tree there,
#   2. runs the README's package route exactly as written (the block marked for this script),
#      first as a user with sudo on the fresh root, then as root (without "sudo", as the README
#      says); it must install what it needs, build the .deb and install it with its dependencies,
#      and leave nginx's own service disabled,
#   3. runs lintian on that .deb when lintian is installed (errors fail the check),
#   4. verifies the installed systemd unit with systemd-analyze inside the root, and scores its
#      exposure (1.2 at most); "man mapautodownloader" must show the manual page,
#   5. runs the README's service set-up block (with an "editor" that sets the feed's url to a
#      feed served on loopback), then "mapautodownloader --once" as the service user on that
#      configuration (expects status 0 and the map stamped) and against a missing feed
#      (expects status 3),
#   6. removes and purges the package and checks that nothing of it stays but the maps.
# MIRROR overrides the Debian mirror; KEEP=1 keeps the temporary folder for a look afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
MIRROR=${MIRROR:-http://deb.debian.org/debian}
USER_NAME=mapautodownloader
STATE=/var/lib/$USER_NAME
MAPS=/srv/game/maps
NEWCOMER=newcomer

if [ "$(id -u)" -ne 0 ]; then
  echo "check-package: run as root (debootstrap and chroot need it)" >&2
  exit 1
fi
# What this check needs beyond the build's own packages, installed when missing.
scripts/setup.sh
scripts/install-packages.sh git debootstrap lintian
for tool in git debootstrap python3; do
  command -v "$tool" >/dev/null || { echo "check-package: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/mad-check-package.XXXXXX")
root=$work/root
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  for mount in "$root/dev/pts" "$root/dev" "$root/proc"; do
    if mountpoint -q "$mount" 2>/dev/null; then umount "$mount" || umount -l "$mount" || true; fi
  done
  if [ "${KEEP:-0}" = 1 ]; then echo "check-package: kept $work"; else rm -rf --one-file-system "$work"; fi
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }
fail() { echo "check-package: FAILED: $*" >&2; exit 1; }
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
as_service() { chroot --userspec="$USER_NAME:$USER_NAME" "$root" env -i PATH=/usr/bin:/bin "$@"; }
# A login as the newcomer: nothing of this script's environment, DEBIAN_FRONTEND included.
as_newcomer() {
  chroot --userspec="$NEWCOMER:$NEWCOMER" "$root" env -i PATH=/usr/local/bin:/usr/bin:/bin \
    HOME="/home/$NEWCOMER" USER="$NEWCOMER" LANG=C.UTF-8 "$@"
}
# The indented block of README.md that follows the n-th comment naming this script.
readme_block() {
  awk -v want="$1" '
    /<!-- scripts\/check-package.sh / { seen++; taking = (seen == want); started = 0; next }
    taking && /^    / { started = 1; print substr($0, 5); next }
    taking && started && !/^$/ { exit }
  ' "$root$src/README.md"
}
# Runs a README block in the clone, stopping at its first failing command; the output goes to
# the terminal and to $work/<log>.
run_block() {
  local log=$1; shift
  set +e
  "$@" 2>&1 | tee "$work/$log"
  local status=${PIPESTATUS[0]}
  set -e
  return "$status"
}

step "debootstrap a fresh Debian 12 (bookworm, minbase) root from $MIRROR"
debootstrap --variant=minbase --include=systemd,sudo,man-db bookworm "$root" "$MIRROR" \
  >"$work/debootstrap.log" 2>&1 || { tail -n 20 "$work/debootstrap.log"; fail "debootstrap"; }
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
in_root useradd --create-home --shell /bin/bash "$NEWCOMER"
echo "$NEWCOMER ALL=(ALL) NOPASSWD: ALL" > "$root/etc/sudoers.d/$NEWCOMER"
chmod 0440 "$root/etc/sudoers.d/$NEWCOMER"
src=/home/$NEWCOMER/mapautodownloader
git clone -q "$repo" "$root$src"
in_root chown -R "$NEWCOMER:$NEWCOMER" "$src"
echo "cloned $(git rev-parse --short HEAD) into $src"

route=$(readme_block 1)
setup=$(readme_block 2)
[ -n "$route" ] && [ -n "$setup" ] || fail "README.md has lost a block marked for this check"

step "The README's package route as $NEWCOMER, through sudo"
printf '%s\n' "$route" | sed 's/^/  $ /'
run_block route-sudo.log as_newcomer bash -c "set -e -o pipefail; cd $src; $route" ||
  fail "the package route failed as $NEWCOMER"
# The setup scripts' installs come before the package is built; the README's own apt-get after it
# is an operator's, at a terminal.
if sed '/^CPack:/q' "$work/route-sudo.log" | grep -q "unable to initialize frontend"; then
  fail "debconf did not get DEBIAN_FRONTEND through sudo"
fi
[ "$(in_root systemctl is-enabled nginx.service 2>/dev/null || true)" != enabled ] ||
  fail "the setup left nginx's own service enabled"
echo "nginx's own service: $(in_root systemctl is-enabled nginx.service 2>/dev/null || true)"

step "The README's package route as root (without sudo)"
run_block route-root.log in_root bash -c "set -e -o pipefail; cd $src; $(printf '%s\n' "$route" | sed 's/\bsudo //g')" ||
  fail "the package route failed as root"

deb=$(ls "$root$src"/build/*.deb)
echo "built $(basename "$deb")"
dpkg-deb -f "$deb" Depends Recommends
dpkg-deb -f "$deb" Recommends | grep -q ca-certificates || fail "the package does not recommend ca-certificates"

if command -v lintian >/dev/null; then
  step "lintian"
  lintian "$deb" 2>&1 | grep -v "running with root privileges" || true
  if lintian "$deb" 2>/dev/null | grep -q '^E:'; then fail "lintian reports errors"; fi
fi

step "The installed package"
in_root dpkg-query -W -f='${Status} ${Version}\n' "$USER_NAME" | grep -q "install ok installed" ||
  fail "the package is not installed"
in_root dpkg-query -W -f='${Status}\n' ca-certificates | grep -q "install ok installed" ||
  fail "ca-certificates was not installed with the package"
in_root getent passwd "$USER_NAME" || fail "no system user $USER_NAME"
[ "$(in_root stat -c %U "$STATE")" = "$USER_NAME" ] || fail "$STATE does not belong to $USER_NAME"
in_root mapautodownloader --version
in_root env MANWIDTH=80 man -P cat mapautodownloader > "$work/man.txt" 2>&1 || { cat "$work/man.txt"; fail "man mapautodownloader"; }
grep -q '^SIGNALS' "$work/man.txt" || fail "man mapautodownloader does not show the whole page"
echo "man mapautodownloader shows $(grep -c '^[A-Z]' "$work/man.txt") sections"

step "systemd-analyze verify and security inside the root"
for unit in /usr/lib/systemd/system/$USER_NAME.service /usr/lib/systemd/system/$USER_NAME@.service; do
  in_root systemd-analyze verify "$unit" 2>&1 | tee "$work/verify.log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail "systemd-analyze verify $unit"
  if grep -qF "$(basename "$unit")" "$work/verify.log"; then fail "systemd-analyze warns about $unit"; fi
  in_root systemd-analyze security --offline=true --threshold=12 --no-pager "$unit" | tail -n 1 ||
    fail "the exposure of $unit is above 1.2"
done
echo "both units verify"

step "The README's service set-up, as $NEWCOMER, with a loopback feed"
mkdir -p "$work/www/maps"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
base="http://127.0.0.1:$port"
printf '<map><meta><version>1</version></meta><spawn/></map>\n' > "$work/www/maps/harbour.map"
cat > "$work/www/feed.xml" <<FEED
<rss version="2.0"><channel><time>24-05-01 12:00:00</time>
<item><title>harbour.map</title><link>$base/maps/harbour.map</link><version>3</version></item>
</channel></rss>
FEED
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/www" >"$work/http.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 50); do
  if python3 -c "import urllib.request; urllib.request.urlopen('$base/feed.xml')" 2>/dev/null; then break; fi
  sleep 0.1
done
# The operator's edit: the feed's address.
cat > "$root/usr/local/bin/editor" <<EDITOR
#!/bin/sh
sed -i 's|<url>.*</url>|<url>$base/feed.xml</url>|' "\$1"
EDITOR
chmod 0755 "$root/usr/local/bin/editor"
printf '%s\n' "$setup" | sed 's/^/  $ /'
run_block setup.log as_newcomer bash -c "set -e -o pipefail; cd $src; $setup" ||
  fail "the service set-up failed"

# One run-once pass as the service user; its exit status in $status.
run_once() {
  set +e
  as_service /usr/bin/mapautodownloader --once -C "$STATE"
  status=$?
  set -e
}
step "Running --once as $USER_NAME on the README's configuration"
run_once
[ "$status" -eq 0 ] || fail "--once against a good feed exited with $status, not 0"
grep -q '<version>3</version>' "$root$MAPS/harbour.map" || fail "the map was not stamped"
grep -q 'GET /feed.xml?time=' "$work/http.log" || fail "the feed was not requested with ?time="
echo "exit status 0, harbour.map stamped with version 3"

write_config() {
  printf '<config><url>%s</url><frequency>300</frequency><savepath>%s</savepath></config>\n' "$1" "$MAPS" \
    > "$root$STATE/config.xml"
}
step "Running --once against a feed that is not there"
write_config "$base/missing.xml"
run_once
[ "$status" -eq 3 ] || fail "--once against a missing feed exited with $status, not 3"
echo "exit status 3"

step "Removing and purging the package"
in_root dpkg -r "$USER_NAME"
[ ! -e "$root/usr/bin/mapautodownloader" ] || fail "the program is still there after removal"
[ ! -e "$root/usr/lib/systemd/system/$USER_NAME.service" ] || fail "the unit is still there"
in_root dpkg --purge "$USER_NAME"
in_root dpkg-query -W -f='${Status}\n' "$USER_NAME" 2>/dev/null | grep -q "installed" &&
  fail "dpkg still knows the package"
[ ! -e "$root$STATE/config.xml" ] || fail "config.xml stayed after purge"
[ -e "$root$MAPS/harbour.map" ] || fail "purging removed a map"
echo "removed; the maps stayed in $MAPS"

step "check-package: all checks passed"
