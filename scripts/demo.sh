#!/usr/bin/env bash
# Sets up and builds the program, serves the demo feed and maps of examples/ with nginx on a free
# loopback port, and runs the downloader twice against it in scratch/demo/: the first run
# downloads, the second finds everything up to date. scratch/demo/ is kept afterwards, so the
# downloaded maps, config.xml and autoupdate.xml can be looked at.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

scripts/setup.sh
# Only the program: the tests and benchmarks are not needed here.
cmake -S . -B build -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build build -j"$(nproc)" --target mapautodownloader

NGINX=/usr/sbin/nginx
server=$(mktemp -d "${TMPDIR:-/tmp}/mad-demo-server.XXXXXX")
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  rm -rf "$server"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
base="http://127.0.0.1:$port"

# The document root: the maps as they are, and the feed with its links pointing at this server.
mkdir -p "$server/www/maps" "$server/prefix"
cp examples/maps/*.map "$server/www/maps/"
sed "s|@BASE_URL@|$base|g" examples/feed.xml.in > "$server/www/feed.xml"
chmod -R a+rX "$server"

{
  # A root master hands its workers to an unprivileged user by default.
  if [ "$(id -u)" -eq 0 ]; then echo "user root;"; fi
  echo "daemon off;"
  echo "worker_processes 1;"
  echo "pid $server/prefix/nginx.pid;"
  echo "error_log $server/prefix/error.log;"
  echo "events { worker_connections 64; }"
  echo "http {"
  echo "  access_log $server/prefix/access.log;"
  for kind in client_body proxy fastcgi uwsgi scgi; do
    echo "  ${kind}_temp_path $server/prefix/$kind;"
  done
  echo "  default_type application/octet-stream;"
  echo "  server { listen 127.0.0.1:$port; root $server/www; }"
  echo "}"
} > "$server/prefix/nginx.conf"

"$NGINX" -p "$server/prefix" -e "$server/prefix/error.log" -c "$server/prefix/nginx.conf" &
nginx_pid=$!
for _ in $(seq 1 100); do
  if curl -s -o /dev/null "$base/feed.xml"; then break; fi
  sleep 0.1
done
if ! curl -s -o /dev/null "$base/feed.xml"; then
  echo "demo: nginx did not start:" >&2
  cat "$server/prefix/error.log" >&2 || true
  exit 1
fi

# A fresh working directory with a config.xml for this server, run once (frequency 0).
demo="$repo/scratch/demo"
rm -rf "$demo"
mkdir -p "$demo/maps"
sed -e "s|@FEED_URL@|$base/feed.xml?source=demo|" -e "s|@SAVE_PATH@|$demo/maps|" \
  -e "s|@FREQUENCY@|0|" \
  examples/config.xml.in > "$demo/config.xml"

echo "== Serving examples/ at $base; running build/mapautodownloader in $demo"
echo
(cd "$demo" && "$repo/build/mapautodownloader")

echo "== Downloaded maps in $demo/maps and the versions stamped into them:"
for map in "$demo"/maps/*; do
  [ -e "$map" ] || continue
  version=$(sed -n 's:.*<version>\(.*\)</version>.*:\1:p' "$map" | head -n 1)
  printf '  %-14s version %s\n' "$(basename "$map")" "${version:-?}"
done
echo
echo "== Requests the downloader made (secret.map is on the ignore list, so it was never asked for):"
grep XOVRA_SERVER_10 "$server/prefix/access.log" | sed "s/^/  /"
echo
echo "== Running again: everything is up to date now"
(cd "$demo" && "$repo/build/mapautodownloader")
