#!/usr/bin/env bash
# Runs every test from scratch: native tests under ASan/UBSan, the 32-bit
# Windows build's tests (the product) under 32-bit Wine (window tests under
# Xvfb), the 64-bit build compiled, short fuzz runs, and the release build's
# tools.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/install-deps.sh

step() { printf '\n=== %s ===\n' "$*"; }
failed=()
logs=build/test-logs
rm -rf "$logs"; mkdir -p "$logs"

run_ctest() {  # build-dir, extra ctest args...
  local dir=$1; shift
  if ! ctest --test-dir "$dir" --output-on-failure "$@" 2>&1 | tee "$logs/$(basename "$dir").log"; then
    failed+=("$dir")
  fi
}

# A Windows build's tests under Wine in a prefix of the build's own
# architecture, window tests under Xvfb; prints how long the run took.
# The session that creates a prefix ends before the tests start: the RPC
# service often fails to start in it, and each program's first window then
# waits up to 10 s for Wine's desktop process. The tests then share one
# persistent session instead of starting Wine's services for each program;
# wineboot starts them, so that they do not hold a test's output open.
run_wine_tests() {  # build-dir, wine loader, prefix, WINEARCH
  local dir=$1 loader=$2 prefix=$3 arch=$4 start=$SECONDS
  mkdir -p "$prefix"
  WINEPREFIX=$prefix WINEARCH=$arch xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    "$1" wineboot -i >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w
    /usr/lib/wine/wineserver -p
    "$1" wineboot >/dev/null 2>&1 || true
    ctest --test-dir "$2" --output-on-failure -j 1 2>&1 | tee "$3"
    rc=${PIPESTATUS[0]}
    /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    exit "$rc"' wine-tests "$loader" "$dir" "$logs/$(basename "$dir").log" || failed+=("$dir")
  echo "$dir tests under Wine took $((SECONDS - start)) s"
}

step "formatting (clang-format, the repository's .clang-format)"
if git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run --Werror; then
  echo "sources are formatted"
else
  failed+=("clang-format")
fi

step "native debug build with AddressSanitizer and UBSan"
cmake --preset native-debug >/dev/null
cmake --build --preset native-debug -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_ctest build/native-debug -j "$jobs"

step "clang-tidy on the native sources (the repository's .clang-tidy)"
if git ls-files -z 'util/*.cc' 'platform/*.cc' 'zip/*.cc' 'http/*.cc' 'update/*.cc' 'launcher/*.cc' 'tools/*.cc' |
    grep -zv '/win32/' |
    xargs -0 -n 4 -P "$jobs" clang-tidy -p build/native-debug --quiet \
      --extra-arg=-Wno-unknown-warning-option >"$logs/clang-tidy.txt" 2>&1; then
  echo "no findings"
else
  grep -E 'error:|warning:' "$logs/clang-tidy.txt" | sort -u
  failed+=("clang-tidy")
fi

step "native release build (tools, benchmarks compile)"
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j "$jobs"

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

step "Windows 32-bit build (the product), tests under 32-bit Wine"
# The publishing cases publish with the native release build's qmpublish.
cmake --preset win32 -DQM_HOST_QMPUBLISH="$root/build/native-release/tools/qmpublish/qmpublish" \
  >/dev/null
cmake --build --preset win32 -j "$jobs"
run_wine_tests build/win32 /usr/lib/wine/wine "$root/build/wineprefix32" win32

# The 64-bit build keeps the code honest about pointer sizes; its tests are
# the same as the product's and would double the Wine time, which the CI
# budget does not allow: QM_TEST_WIN64=1 builds and runs them too.
step "Windows 64-bit build (compiled; tests with QM_TEST_WIN64=1)"
win64_tests=OFF
[ "${QM_TEST_WIN64:-0}" = 1 ] && win64_tests=ON
cmake --preset win64 -DQM_TESTS="$win64_tests" >/dev/null
cmake --build --preset win64 -j "$jobs"
if [ "${QM_TEST_WIN64:-0}" = 1 ]; then
  run_wine_tests build/win64 /usr/lib/wine/wine64 "$root/build/wineprefix" win64
fi

step "fuzz targets, short runs"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
run_ctest build/fuzz -j "$jobs"

step "summary"
# One closing line over every suite, from CTest's own counts.
passed=0; failures=0
for log in "$logs"/*.log; do
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  [ -n "$line" ] || continue
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad)); failures=$((failures + bad))
done
if ((${#failed[@]})); then
  echo "FAILED in: ${failed[*]}"
  echo "$passed passed, $failures failed"
  exit 1
fi
echo "all test suites passed"
echo "$passed passed, $failures failed"
