#!/usr/bin/env bash
# Runs a test program (under its emulator, e.g. wine64) with the HTTP test
# servers running natively on loopback; their ports go in QM_HTTP_SERVERS.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/qm-http-XXXXXX)
exec 3< <(python3 "$here/http_servers.py" "$work" --big-mb 300)
read -r line <&3
cleanup() { touch "$work/stop"; wait 2>/dev/null || true; sleep 0.5; rm -rf "$work"; }
trap cleanup EXIT
case $line in QM_HTTP_NGINX_PORT=*) ;; *) echo "servers did not start: $line" >&2; exit 1;; esac
QM_HTTP_SERVERS=$line "$@"
