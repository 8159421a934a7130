#!/usr/bin/env bash
# Runs a command as on a machine whose kernel starts no 32-bit programs: in
# a user and mount namespace of its own, a binfmt_misc entry catches every
# 32-bit ELF program and fails its start with "Exec format error", as such a
# kernel does. The namespace maps every user to itself, so files, ownership
# and servers behave as outside; the rest of the machine is untouched.
# Needs root (it writes the namespace's user map from outside).
#   bash scripts/without-32bit.sh bash scripts/test.sh
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: without-32bit.sh COMMAND [ARG...]" >&2; exit 2; }
ready=$(mktemp -d "${TMPDIR:-/tmp}/qm-no-i386.XXXXXX")
trap 'rm -rf "$ready"' EXIT
unshare --user --mount bash -c '
  set -euo pipefail
  # Until the map is written every user reads as the overflow id.
  for _ in $(seq 100); do [ -e "$1/mapped" ] && break; sleep 0.05; done
  [ -e "$1/mapped" ] || { echo "without-32bit: no user map" >&2; exit 1; }
  # The handler is no program at all, so its start fails with ENOEXEC; F opens
  # it now, so its file can go at once.
  handler="$1/handler"
  printf "\0not a program" >"$handler"
  chmod +x "$handler"
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  printf ":qm-no-i386:M::\\x7fELF\\x01::%s:F\n" "$handler" >/proc/sys/fs/binfmt_misc/register
  rm -f "$handler"
  shift
  exec "$@"' without-32bit "$ready" "$@" &
child=$!
# The map can be written once the child is in its namespace.
for _ in $(seq 100); do
  [ "$(readlink "/proc/$child/ns/user")" != "$(readlink /proc/self/ns/user)" ] && break
  sleep 0.05
done
echo "0 0 4294967295" >"/proc/$child/uid_map"
echo "0 0 4294967295" >"/proc/$child/gid_map"
touch "$ready/mapped"
status=0
wait "$child" || status=$?
exit "$status"
