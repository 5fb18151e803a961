#!/usr/bin/env bash
# The fleet case of bench/run.sh: 20 instances of the program, each in a directory of its own
# (its own config.xml, frequency 0, an empty save path), started together against one origin
# nginx on a loopback port serving a feed of 200 small maps; once straight to the origin and once
# through one caching squid on loopback (the configuration of README.md's "A fleet: one shared
# cache", adapted to loopback and a temporary cache). Prints, for each run, the wall time and how
# many map requests the origin served per map (map requests in its access log / 200).
#   bench/fleet.sh PROGRAM        (bench/run.sh fleet builds PROGRAM and calls this)
# With MAD_BENCH_ROWS naming a file, the rows are also appended to it, tab-separated, for the
# table of bench/run.sh.
set -euo pipefail

program=${1:?usage: bench/fleet.sh PROGRAM}
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
instances=${MAD_FLEET_INSTANCES:-20}
maps=${MAD_FLEET_MAPS:-200}

work=$(mktemp -d "${TMPDIR:-/tmp}/mad-bench-fleet.XXXXXX")
nginx_pid=""
squid_pid=""
stop() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  stop "$squid_pid"
  squid_pid=""
  stop "$nginx_pid"
  nginx_pid=""
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_for() { # URL [PROXY]
  for _ in $(seq 1 100); do
    if curl -s -o /dev/null ${2:+--proxy "$2"} "$1"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# The origin: a feed of $maps maps of a few KB, each a well-formed XML map with its version.
origin_port=$(free_port)
origin="http://127.0.0.1:$origin_port"
mkdir -p "$work/www/maps" "$work/nginx"
{
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo '<rss version="2.0">'
  echo '  <channel>'
  echo '    <title>Fleet bench feed</title>'
  echo '    <time>26-12-08 10:00:00</time>'
  for i in $(seq 1 "$maps"); do
    name=$(printf 'fleet%03d.map' "$i")
    {
      echo '<?xml version="1.0" encoding="UTF-8"?>'
      echo "<map name=\"Fleet $i\">"
      echo '  <meta><version>1</version><author>bench</author></meta>'
      echo '  <objects>'
      for j in $(seq 1 60); do
        echo "    <spawn id=\"$j\" x=\"$((i * 7 + j))\" y=\"$((j * 13))\" z=\"$((i + j))\"/>"
      done
      echo '  </objects>'
      echo '</map>'
    } > "$work/www/maps/$name"
    echo "    <item><title>$name</title><link>$origin/maps/$name</link><version>1</version><author>bench</author></item>"
  done
  echo '  </channel>'
  echo '</rss>'
} > "$work/www/feed.xml"
chmod -R a+rX "$work/www"
map_bytes=$(stat -c %s "$work/www/maps/fleet001.map")

{
  if [ "$(id -u)" -eq 0 ]; then echo "user root;"; fi
  echo "daemon off;"
  echo "worker_processes 1;"
  echo "pid $work/nginx/nginx.pid;"
  echo "error_log $work/nginx/error.log;"
  echo "events { worker_connections 1024; }"
  echo "http {"
  echo "  access_log $work/nginx/access.log;"
  for kind in client_body proxy fastcgi uwsgi scgi; do
    echo "  ${kind}_temp_path $work/nginx/$kind;"
  done
  echo "  default_type application/octet-stream;"
  echo "  server { listen 127.0.0.1:$origin_port; root $work/www; }"
  echo "}"
} > "$work/nginx/nginx.conf"
/usr/sbin/nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
if ! wait_for "$origin/feed.xml"; then
  echo "fleet: nginx did not start:" >&2
  cat "$work/nginx/error.log" >&2 || true
  exit 1
fi

# The squid: README.md's fleet configuration on loopback, with a cache of its own.
squid_port=$(free_port)
proxy="http://127.0.0.1:$squid_port"
mkdir -p "$work/squid/cache"
cat > "$work/squid/squid.conf" <<EOF
http_port 127.0.0.1:$squid_port
pid_filename $work/squid/squid.pid
cache_log $work/squid/cache.log
access_log stdio:$work/squid/access.log
cache_store_log none
coredump_dir $work/squid
netdb_filename none
pinger_enable off
shutdown_lifetime 0 seconds
acl fleet src 127.0.0.1/32
http_access allow fleet
http_access deny all
cache_mem 1024 MB
maximum_object_size 64 MB
maximum_object_size_in_memory 64 MB
cache_dir ufs $work/squid/cache 200 16 256
collapsed_forwarding on
refresh_pattern -i \.map$ 0 0% 0
refresh_pattern . 0 20% 4320
EOF
# Squid as root hands its work to the unprivileged "proxy" user, which must then own its files.
if [ "$(id -u)" -eq 0 ] && getent passwd proxy >/dev/null; then
  chmod a+x "$work"
  chown -R proxy "$work/squid"
fi
if ! /usr/sbin/squid -z -N -f "$work/squid/squid.conf" >"$work/squid/z.log" 2>&1; then
  echo "fleet: squid -z failed:" >&2
  cat "$work/squid/z.log" "$work/squid/cache.log" >&2 || true
  exit 1
fi

# One run: $instances fresh directories, started together; prints "seconds requests full".
run_fleet() { # NAME [PROXY]
  local name=$1 via=${2:-} dir i start end failed=0
  : > "$work/nginx/access.log"
  kill -USR1 "$nginx_pid" 2>/dev/null || true # reopen the emptied log
  sleep 0.2
  for i in $(seq 1 "$instances"); do
    dir="$work/$name/$i"
    mkdir -p "$dir/maps"
    {
      echo "<config>"
      echo "  <url>$origin/feed.xml</url>"
      echo "  <savepath>$dir/maps</savepath>"
      echo "  <frequency>0</frequency>"
      if [ -n "$via" ]; then echo "  <proxy>$via</proxy>"; fi
      echo "</config>"
    } > "$dir/config.xml"
  done
  local pids=()
  start=$(date +%s.%N)
  for i in $(seq 1 "$instances"); do
    "$program" --once -q -C "$work/$name/$i" >"$work/$name/$i.log" 2>&1 &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    if ! wait "${pids[$i]}"; then failed=$((failed + 1)); fi
  done
  end=$(date +%s.%N)
  for i in $(seq 1 "$instances"); do
    local got
    got=$(find "$work/$name/$i/maps" -name '*.map' | wc -l)
    if [ "$got" -ne "$maps" ]; then
      echo "fleet: $name instance $i has $got maps of $maps:" >&2
      cat "$work/$name/$i.log" >&2
      failed=$((failed + 1))
    fi
  done
  if [ "$failed" -ne 0 ]; then
    echo "fleet: $name: $failed instances failed" >&2
    return 1
  fi
  sleep 0.5 # nginx writes its log line after the answer
  local requests full
  requests=$(grep -c '"GET /maps/' "$work/nginx/access.log" || true)
  full=$(grep '"GET /maps/' "$work/nginx/access.log" | grep -c '" 200 ' || true)
  echo "$(echo "$end - $start" | bc -l) $requests $full"
}

read -r direct_s direct_n direct_full < <(run_fleet direct)

/usr/sbin/squid -N -f "$work/squid/squid.conf" >"$work/squid/output.log" 2>&1 &
squid_pid=$!
if ! wait_for "$origin/feed.xml" "$proxy"; then
  echo "fleet: squid did not start:" >&2
  cat "$work/squid/output.log" "$work/squid/cache.log" >&2 || true
  exit 1
fi
read -r squid_s squid_n squid_full < <(run_fleet squid "$proxy")

squid_version=$(/usr/sbin/squid -v | sed -n '1s/.*Version //p')
echo "fleet: $instances instances, $maps maps of $map_bytes bytes; origin nginx on port $origin_port, squid $squid_version on port $squid_port"
row() { # CASE SECONDS REQUESTS FULL TARGET
  local per full_per verdict
  per=$(echo "scale=2; $3 / $maps" | bc -l)
  full_per=$(echo "scale=2; $4 / $maps" | bc -l)
  if [ "$(echo "$per <= $5" | bc -l)" -eq 1 ]; then verdict=met; else verdict=missed; fi
  printf '%-66s | %8.2f s | %14s | %16s | <= %s  %s\n' "$1" "$2" "$per" "$full_per" "$5" "$verdict"
  # For bench/run.sh's table: case, measure, ours, reference, ratio, peak RSS, target, verdict.
  if [ -n "${MAD_BENCH_ROWS:-}" ]; then
    printf 'fleet\t%s: origin requests per map (%s with a body)\t%.4f s\t\t%s\t\t<= %s\t%s\n' \
      "$1" "$full_per" "$2" "$per" "$5" "$verdict" >>"$MAD_BENCH_ROWS"
  fi
}
printf '%-66s | %10s | %14s | %16s | %s\n' case "wall time" "origin req/map" "of them 200/map" target
row "fleet of $instances instances, $maps maps: straight to the origin" "$direct_s" "$direct_n" "$direct_full" "$instances"
row "fleet of $instances instances, $maps maps: through one caching squid" "$squid_s" "$squid_n" "$squid_full" 1
