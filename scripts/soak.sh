#!/usr/bin/env bash
# Soak test, run on demand (not in CI): the daemon in periodic mode with its clock sped up by
# faketime runs PASSES passes (default 300) against a local feed that changes on every request,
# while its open descriptors and resident memory are sampled. Fails when either still grows after
# the warm-up, or when the daemon does not stop cleanly on SIGTERM.
#   scripts/soak.sh [PASSES]      (uses build/mapautodownloader; scripts/build.sh builds it)
set -euo pipefail
cd "$(dirname "$0")/.."
passes="${1:-300}"
warmup=20
speed=120  # a 60 s frequency then passes every half second
exe="$PWD/build/mapautodownloader"
[ -x "$exe" ] || { echo "soak: build first (scripts/build.sh)" >&2; exit 1; }

work="$(mktemp -d)"
server_pid=""
daemon_pid=""
cleanup() {
  [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/maps"

# The time-out is on the sped-up clock too: 600 s are 5 real seconds.
# The feed: 20 maps, one of which gets a new version on every request, plus one whose link
# always fails. The server stops by itself after an hour at the latest.
cat >"$work/server.py" <<'PY'
import http.server, sys, threading
count = [0]
lock = threading.Lock()
class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args): pass
    def handle_one_request(self):
        try:
            super().handle_one_request()
        except (BrokenPipeError, ConnectionResetError):
            pass
    def do_GET(self):
        port = self.server.server_address[1]
        if self.path.startswith("/feed.xml"):
            with lock:
                count[0] += 1
                n = count[0]
            items = ""
            for i in range(20):
                version = n if i == n % 20 else 1
                items += ("<item><title>m%02d.map</title><link>http://127.0.0.1:%d/maps/m%02d.map</link>"
                          "<version>%d</version></item>" % (i, port, i, version))
            items += ("<item><title>broken.map</title><link>http://127.0.0.1:%d/none</link>"
                      "<version>1</version></item>" % port)
            body = "<rss><channel><time>%d</time>%s</channel></rss>" % (n, items)
        elif self.path.startswith("/maps/"):
            body = "<map><meta><version>1</version></meta><pad>%s</pad></map>" % ("x" * 20000)
        else:
            self.send_error(404)
            return
        data = body.encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
threading.Timer(3600, server.shutdown).start()
server.serve_forever()
PY
python3 "$work/server.py" >"$work/port" &
server_pid=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port="$(cat "$work/port")"

cat >"$work/config.xml" <<XML
<config><url>http://127.0.0.1:$port/feed.xml?soak=1</url><frequency>60</frequency>
<fullcheckfrequency>5</fullcheckfrequency><savepath>$work/maps</savepath><timeout>600</timeout></config>
XML

# The library itself, not the faketime wrapper, which would stand between this script and the
# daemon's process.
libfaketime="$(dpkg -L libfaketime 2>/dev/null | grep -m1 '/libfaketime\.so\.1$' || true)"
[ -n "$libfaketime" ] || { echo "soak: libfaketime is missing (scripts/setup-checks.sh)" >&2; exit 1; }
(cd "$work" && LD_PRELOAD="$libfaketime" FAKETIME="+0 x$speed" exec "$exe" >"$work/out.log") &
daemon_pid=$!

sample() {  # "<descriptors> <resident KiB>"
  echo "$(ls "/proc/$daemon_pid/fd" | wc -l) $(awk '/^VmRSS/ {print $2}' "/proc/$daemon_pid/status")"
}
done_passes() { grep -c 'Checking RSS feed' "$work/out.log" || true; }

deadline=$((SECONDS + passes * 2 + 120))
baseline=""
peak_fd=0
peak_rss=0
while [ "$(done_passes)" -lt "$passes" ]; do
  kill -0 "$daemon_pid" 2>/dev/null || { echo "soak: the daemon died" >&2; tail "$work/out.log" >&2; exit 1; }
  [ "$SECONDS" -lt "$deadline" ] || { echo "soak: only $(done_passes) passes in time" >&2; exit 1; }
  read -r fds rss < <(sample)
  if [ -z "$baseline" ] && [ "$(done_passes)" -ge "$warmup" ]; then
    baseline="$fds $rss"
    echo "soak: after $(done_passes) passes: $fds descriptors, $rss KiB resident"
  fi
  if [ -n "$baseline" ]; then
    [ "$fds" -gt "$peak_fd" ] && peak_fd=$fds
    [ "$rss" -gt "$peak_rss" ] && peak_rss=$rss
  fi
  sleep 0.5
done
read -r end_fds end_rss < <(sample)
read -r base_fds base_rss <<<"$baseline"
echo "soak: after $(done_passes) passes: $end_fds descriptors, $end_rss KiB resident" \
     "(peak since warm-up: $peak_fd descriptors, $peak_rss KiB)"
echo "soak: $(grep -c '^Downloading\|^Updating' "$work/out.log" || true) map downloads, of which failed:"
grep '^Error downloading' "$work/out.log" | sort | uniq -c | sed 's/^/soak:   /' || true

kill -TERM "$daemon_pid"
status=0
wait "$daemon_pid" || status=$?
daemon_pid=""
failed=0
# Descriptors vary by one or two while a download is open; memory by the allocator's slack.
[ "$peak_fd" -le $((base_fds + 2)) ] || { echo "soak: descriptors grew from $base_fds to $peak_fd" >&2; failed=1; }
[ "$end_rss" -le $((base_rss + base_rss / 10 + 1024)) ] ||
  { echo "soak: resident memory grew from $base_rss to $end_rss KiB" >&2; failed=1; }
[ "$status" -eq 0 ] || { echo "soak: exit status $status after SIGTERM" >&2; failed=1; }
leftovers="$(find "$work" -name '.*.mad-*.part' | wc -l)"
[ "$leftovers" -eq 0 ] || { echo "soak: $leftovers temporary files left" >&2; failed=1; }
[ "$failed" -eq 0 ] && echo "soak: passed"
exit "$failed"
