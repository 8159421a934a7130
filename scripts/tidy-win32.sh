#!/usr/bin/env bash
# clang-tidy (the repository's .clang-tidy) on the Win32 backend, which the
# native tidy run cannot see: through the win32 build's compile database,
# with clang told the mingw target and given mingw's C++ and system headers
# (asked from the cross compiler itself, not assumed). Usage:
#   scripts/tidy-win32.sh BUILD_DIR [JOBS]     exit 1 on any finding
set -uo pipefail
build=${1:?build directory of the win32 preset}
jobs=${2:-2}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# The C++ cross compiler, as the database names it.
compiler=$(sed -n 's/^ *"command": "\([^ ]*g++[^ ]*\) .*/\1/p' "$build/compile_commands.json" 2>/dev/null |
  head -n 1)
[ -n "$compiler" ] || {
  echo "no compile database in $build" >&2
  exit 2
}
target=$("$compiler" -dumpmachine)
args=(--extra-arg=--target="$target" --extra-arg=-Wno-unknown-warning-option)
# The compiler's search list minus GCC's own intrinsics folders, which clang
# replaces with its own.
while read -r dir; do
  case $dir in
    */gcc/*/include | */gcc/*/include-fixed) ;;
    *) args+=(--extra-arg=-isystem"$dir") ;;
  esac
done < <(echo | "$compiler" -xc++ -E -v - 2>&1 |
  sed -n '/#include <...> search starts here/,/End of search/p' | sed -n 's/^ //p')
git ls-files -z 'platform/win32/*.cc' |
  xargs -0 -n 2 -P "$jobs" clang-tidy -p "$build" --quiet "${args[@]}" 2>&1 |
  grep -E '(error|warning): ' | sort -u >"$build/clang-tidy-win32.txt"
if [ -s "$build/clang-tidy-win32.txt" ]; then
  cat "$build/clang-tidy-win32.txt"
  exit 1
fi
echo "no findings"
