# Which Windows build this machine can run under Wine, and Wine prefixes made
# before any program needs them. Sourced by install-deps.sh, test.sh and
# demo.sh, and run by the Python test harness (tests/harness/wine.py) for
# its prefixes; it defines functions and sets nothing else.
#
# The product is a 32-bit program, but some kernels start no 32-bit programs
# at all (no IA32 emulation), and 32-bit Wine with them. There the 64-bit
# build stands in for it. QM_FORCE_NO_32BIT=1 takes that path on any machine.

# True when the kernel starts an i386 program: a 96-byte ELF that only exits
# with status 42, so nothing but the kernel's support is tested.
qm_kernel_runs_i386() {
  local probe status=0
  probe=$(mktemp "${TMPDIR:-/tmp}/qm-i386-probe.XXXXXX") || return 1
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" >/dev/null 2>&1 || status=$?
  rm -f "$probe"
  [ "$status" = 42 ]
}

# Sets QM_WIN_BUILD (the preset: win32 or win64), QM_WIN_LOADER (the Wine
# loader that runs it), QM_WIN_ARCH (WINEARCH of its prefix) and
# QM_WIN_REASON (why, for the summaries).
qm_choose_windows_build() {
  QM_WIN_BUILD=win64 QM_WIN_LOADER=/usr/lib/wine/wine64 QM_WIN_ARCH=win64
  if [ "${QM_FORCE_NO_32BIT:-0}" = 1 ]; then
    QM_WIN_REASON="QM_FORCE_NO_32BIT=1 takes the path of a machine without 32-bit programs"
  elif ! qm_kernel_runs_i386; then
    QM_WIN_REASON="this kernel cannot start 32-bit programs"
  elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    QM_WIN_REASON="32-bit Wine does not start here"
  else
    QM_WIN_BUILD=win32 QM_WIN_LOADER=/usr/lib/wine/wine QM_WIN_ARCH=win32
    QM_WIN_REASON="the product; this machine starts 32-bit programs"
  fi
}

# The summary line: which Windows build ran, and why.
qm_windows_build_line() {
  if [ "$QM_WIN_BUILD" = win32 ]; then
    echo "32-bit build under 32-bit Wine ($QM_WIN_REASON)"
  else
    echo "64-bit build under wine64 ($QM_WIN_REASON)"
  fi
}

# Makes the prefix completely (when missing) and leaves no Wine process
# behind. Wine otherwise finishes or repeats its first-time set-up in the
# first program that uses the prefix; a test's output then stays open until
# that set-up ends, which can be never where a part of it (the 32-bit side of
# a 64-bit prefix) cannot start. Once made, the prefix is marked as not to
# be updated, so no later program starts the set-up again.
qm_make_wine_prefix() {  # loader, prefix, WINEARCH
  local loader=$1 prefix=$2 arch=$3
  if [ -f "$prefix/system.reg" ] && [ "$(cat "$prefix/.update-timestamp" 2>/dev/null)" = disable ]; then
    return 0
  fi
  rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"
  WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    "$loader" wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -w
  if [ ! -f "$prefix/system.reg" ]; then
    echo "Wine could not make the prefix $prefix with $loader" >&2
    return 1
  fi
  echo disable >"$prefix/.update-timestamp"
}
