#!/usr/bin/env bash
# Installs everything the build, the demo and the tests need (Debian 12).
set -euo pipefail
packages=(
  build-essential cmake ninja-build git pkg-config python3 clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  wine wine64 xvfb xauth x11-apps imagemagick
  nginx tinyproxy squid apache2-utils curl
  zip unzip p7zip-full zlib1g-dev libdeflate-dev
  clang-format clang-tidy valgrind
  locales  # the Windows tests build ko_KR and en_US locales for Wine
  xdotool
  fonts-nanum  # Korean texts of the windows under Wine
)
# The product is a 32-bit Windows program: its tests run under 32-bit Wine,
# which comes from the i386 architecture, where the kernel starts 32-bit
# programs; elsewhere the package's own set-up fails, and wine64 runs the
# 64-bit build instead.
source "$(dirname "$0")/wine-env.sh"
if qm_kernel_runs_i386; then
  packages+=(wine32:i386)
fi
SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The proxy and web server are started by the tests on loopback, never as
# system services.
for svc in nginx tinyproxy squid; do
  if command -v systemctl >/dev/null && systemctl is-active --quiet "$svc" 2>/dev/null; then
    systemctl stop "$svc" || true
  fi
done
exit 0
