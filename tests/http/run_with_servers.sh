#!/usr/bin/env bash
# Runs a test program (under its emulator, wine or wine64) with the HTTP test
# servers running natively on loopback; their ports go in QM_HTTP_SERVERS.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/qm-http-XXXXXX)
python3 "$here/http_servers.py" "$work" --big-mb 300 >"$work/ports" &
servers=$!
cleanup() {
  touch "$work/stop"
  wait "$servers" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# Generating the big document takes a few seconds.
for _ in $(seq 600); do
  [ -s "$work/ports" ] && break
  kill -0 "$servers" 2>/dev/null || break
  sleep 0.1
done
line=$(head -n 1 "$work/ports" 2>/dev/null || true)
case $line in QM_HTTP_NGINX_PORT=*) ;; *) echo "servers did not start: $line" >&2; exit 1;; esac
QM_HTTP_SERVERS=$line "$@"
