#!/usr/bin/env bash
# GET /health throughput and latency of the control server, one request per
# connection, against nginx serving the same reply bytes from a static file in
# the same run; then the memory an idle connection costs each of them.
#
#   bench/http_health_bench.sh [BUILD_DIR]     (default: build; needs wrk, nginx)
#
# Environment: DURATION (wrk seconds, default 10), IDLE (idle connections, default 1000).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
duration=${DURATION:-10}
idle=${IDLE:-1000}

command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 1; }
command -v nginx >/dev/null || { echo "nginx is not installed" >&2; exit 1; }
ninja -C "$build" http_server_tool >/dev/null
tool="$build/bench/http_server_tool"

work=$(mktemp -d)
server_pid=""
nginx_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    [ -n "$nginx_pid" ] && kill -QUIT "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# --- our server ---------------------------------------------------------------
mkfifo "$work/ready"
"$tool" 0 "$work/support" >"$work/ready" 2>"$work/server.log" &
server_pid=$!
read -r our_port <"$work/ready"
our_url="http://127.0.0.1:$our_port/health"

# --- nginx with the same body and as many of the same headers as it allows ------
nginx_port=$(free_port)
mkdir -p "$work/nginx/logs" "$work/nginx/temp" "$work/www"
curl -s "$our_url" -o "$work/www/health.json"
chmod 755 "$work" "$work/www"
chmod 644 "$work/www/health.json"
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
worker_rlimit_nofile 8192;
events { worker_connections 4096; }
http {
    access_log off;
    keepalive_timeout 0;
    server_tokens off;
    etag off;
    if_modified_since off;
    client_body_temp_path $work/nginx/temp/body;
    proxy_temp_path $work/nginx/temp/proxy;
    fastcgi_temp_path $work/nginx/temp/fastcgi;
    uwsgi_temp_path $work/nginx/temp/uwsgi;
    scgi_temp_path $work/nginx/temp/scgi;
    server {
        listen 127.0.0.1:$nginx_port;
        location = /health {
            types { }
            default_type "application/json; charset=utf-8";
            add_header Cache-Control no-store;
            add_header Last-Modified "";
            alias $work/www/health.json;
        }
    }
}
EOF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/logs/error.log" &
nginx_pid=$!
nginx_url="http://127.0.0.1:$nginx_port/health"
for _ in $(seq 100); do curl -s -o /dev/null "$nginx_url" && break; sleep 0.1; done

echo "== reply headers"
echo "-- ours:";  curl -s -D - -o /dev/null "$our_url" | tr -d '\r'
echo "-- nginx:"; curl -s -D - -o /dev/null "$nginx_url" | tr -d '\r'

# --- wrk: one request per connection ------------------------------------------
# Prints "requests/s p99" from wrk's --latency report (p99 in milliseconds).
run_wrk() {
    local connections=$1 url=$2 threads=1
    [ "$connections" -gt 1 ] && threads=2
    wrk -t"$threads" -c"$connections" -d"${duration}s" --latency -H "Connection: close" "$url" |
        awk '
            function ms(v) { if (v ~ /us$/) return v/1000; if (v ~ /ms$/) return v+0; if (v ~ /s$/) return v*1000; return v }
            /^ *99%/ { p99 = ms($2) }
            /^Requests\/sec:/ { rps = $2 }
            /Socket errors/ { errors = $0 }
            END { printf "%.0f %.3f%s\n", rps, p99, errors ? " (" errors ")" : "" }'
}

echo
echo "== GET /health, Connection: close, ${duration}s per run"
printf '%-12s %-8s %12s %10s\n' connections server requests/s p99_ms
for connections in 1 50; do
    read -r ours_rps ours_p99 ours_rest < <(run_wrk "$connections" "$our_url")
    read -r nginx_rps nginx_p99 nginx_rest < <(run_wrk "$connections" "$nginx_url")
    printf '%-12s %-8s %12s %10s %s\n' "$connections" varek "$ours_rps" "$ours_p99" "${ours_rest:-}"
    printf '%-12s %-8s %12s %10s %s\n' "$connections" nginx "$nginx_rps" "$nginx_p99" "${nginx_rest:-}"
    awk -v a="$ours_rps" -v b="$nginx_rps" -v c="$connections" \
        'BEGIN { printf "%-12s ratio varek/nginx = %.2f\n", c, (b > 0 ? a / b : 0) }'
done

# --- memory per idle connection -----------------------------------------------
# Opens $idle connections that send nothing, waits until the process holds them
# all, and reports the growth of VmRSS per connection.
idle_cost() {
    local pid=$1 port=$2
    /usr/bin/python3 - "$pid" "$port" "$idle" <<'PY'
import os, socket, sys, time
pid, port, count = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
def rss_kib():
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
def fds():
    return len(os.listdir(f"/proc/{pid}/fd"))
time.sleep(0.5)
before, fds_before = rss_kib(), fds()
conns = [socket.create_connection(("127.0.0.1", port)) for _ in range(count)]
deadline = time.time() + 10
while fds() < fds_before + count and time.time() < deadline:
    time.sleep(0.05)
held = fds() - fds_before
after = rss_kib()
print(f"{held} held, VmRSS {before} -> {after} KiB, {(after - before) * 1024 / max(held, 1):.0f} bytes per connection")
for c in conns:
    c.close()
PY
}

nginx_worker=$(cat "/proc/$nginx_pid/task/$nginx_pid/children" | awk '{print $1}')
echo
echo "== memory per idle connection ($idle idle connections)"
echo "varek: $(idle_cost "$server_pid" "$our_port")"
echo "nginx worker: $(idle_cost "$nginx_worker" "$nginx_port")"
