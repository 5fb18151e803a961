#!/usr/bin/env bash
# Checks the Debian package the way an operator meets it, on demand (not part of the test
# suite: it takes several minutes and needs the Debian mirror). As root, it
#   1. clones the committed tree into a temporary folder and builds the .deb there with cpack,
#   2. runs lintian on it when lintian is installed (errors fail the check),
#   3. debootstraps a fresh minimal Debian 12 root into the temporary folder,
#   4. installs the .deb there (dpkg -i, then apt-get -f install for its dependencies),
#   5. verifies the installed systemd unit with systemd-analyze inside that root,
#   6. runs "mapautodownloader --once" as the service user against a feed served on loopback
#      (expects status 0 and the map stamped) and against a missing feed (expects status 3),
#   7. removes and purges the package and checks that nothing of it stays but the maps.
# MIRROR overrides the Debian mirror; KEEP=1 keeps the temporary folder for a look afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
MIRROR=${MIRROR:-http://deb.debian.org/debian}
USER_NAME=mapautodownloader
STATE=/var/lib/$USER_NAME

if [ "$(id -u)" -ne 0 ]; then
  echo "check-package: run as root (debootstrap and chroot need it)" >&2
  exit 1
fi
# What this check needs beyond the build's own packages, installed when missing.
"$(dirname "$0")/setup.sh"
extra=()
for package in debootstrap lintian; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || extra+=("$package")
done
if [ ${#extra[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${extra[@]}" >/dev/null
fi
for tool in git cmake cpack debootstrap python3; do
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

step "Building the .deb from a clean clone of $(git rev-parse --short HEAD)"
git clone -q "$repo" "$work/src"
cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DMAD_BUILD_BENCH=OFF >/dev/null
cmake --build "$work/build" -j"$(nproc)" --target mapautodownloader >/dev/null
(cd "$work/build" && cpack -G DEB >/dev/null)
deb=$(ls "$work"/build/*.deb)
echo "built $(basename "$deb")"
dpkg-deb -f "$deb" Depends

if command -v lintian >/dev/null; then
  step "lintian"
  lintian "$deb" 2>&1 | grep -v "running with root privileges" || true
  if lintian "$deb" 2>/dev/null | grep -q '^E:'; then fail "lintian reports errors"; fi
fi

step "debootstrap a fresh Debian 12 (bookworm, minbase) root from $MIRROR"
debootstrap --variant=minbase --include=systemd bookworm "$root" "$MIRROR" >"$work/debootstrap.log" 2>&1 ||
  { tail -n 20 "$work/debootstrap.log"; fail "debootstrap"; }
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"

step "Installing the package"
cp "$deb" "$root/tmp/"
in_root dpkg -i "/tmp/$(basename "$deb")" || echo "(dependencies missing, as expected on a fresh root)"
in_root apt-get -qq update
in_root apt-get -y -qq -f install >/dev/null
in_root dpkg-query -W -f='${Status} ${Version}\n' "$USER_NAME" | grep -q "install ok installed" ||
  fail "the package is not installed"
in_root getent passwd "$USER_NAME" || fail "no system user $USER_NAME"
[ "$(in_root stat -c %U "$STATE")" = "$USER_NAME" ] || fail "$STATE does not belong to $USER_NAME"
in_root mapautodownloader --version

step "systemd-analyze verify inside the root"
in_root systemd-analyze verify /usr/lib/systemd/system/$USER_NAME.service 2>&1 | tee "$work/verify.log"
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "systemd-analyze verify"
if grep -q "$USER_NAME.service" "$work/verify.log"; then fail "systemd-analyze warns about the unit"; fi
echo "the unit verifies"

step "Running --once as $USER_NAME against a loopback feed"
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
in_root install -d -o "$USER_NAME" -g "$USER_NAME" "$STATE/maps"
write_config() {
  printf '<config><url>%s</url><frequency>300</frequency><savepath>maps</savepath></config>\n' "$1" \
    > "$root$STATE/config.xml"
}
# One run-once pass as the service user; its exit status in $status.
run_once() {
  set +e
  as_service /usr/bin/mapautodownloader --once -C "$STATE"
  status=$?
  set -e
}
write_config "$base/feed.xml"
run_once
[ "$status" -eq 0 ] || fail "--once against a good feed exited with $status, not 0"
grep -q '<version>3</version>' "$root$STATE/maps/harbour.map" || fail "the map was not stamped"
grep -q 'GET /feed.xml?time=' "$work/http.log" || fail "the feed was not requested with ?time="
echo "exit status 0, harbour.map stamped with version 3"

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
[ -e "$root$STATE/maps/harbour.map" ] || fail "purging removed a map"
echo "removed; the maps stayed in $STATE/maps"

step "check-package: all checks passed"
