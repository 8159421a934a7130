#!/usr/bin/env bash
# Runs a command as on a machine whose kernel starts no 32-bit programs: in
# private user and mount namespaces, a binfmt_misc entry of their own catches
# every 32-bit ELF program and fails its start with "Exec format error", as
# such a kernel does. The rest of the machine is untouched.
#   bash scripts/without-32bit.sh bash scripts/test.sh
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: without-32bit.sh COMMAND [ARG...]" >&2; exit 2; }
exec unshare --user --map-root-user --mount bash -c '
  set -euo pipefail
  # The handler is no program at all: its start fails with ENOEXEC.
  handler=$(mktemp "${TMPDIR:-/tmp}/qm-no-i386.XXXXXX")
  printf "\0not a program" >"$handler"
  chmod +x "$handler"
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  # F: the handler is opened now, so its file can go at once.
  printf ":qm-no-i386:M::\\x7fELF\\x01::%s:F\n" "$handler" >/proc/sys/fs/binfmt_misc/register
  rm -f "$handler"
  exec "$@"' without-32bit "$@"
