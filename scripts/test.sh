#!/usr/bin/env bash
# Runs every test from scratch: native tests under ASan/UBSan, the Windows
# build's tests under Wine (window tests under Xvfb), short fuzz runs, and the
# release build's tools. The Windows tests are the 32-bit product build's
# under 32-bit Wine; on a machine that starts no 32-bit programs (or with
# QM_FORCE_NO_32BIT=1) the 64-bit build's under wine64 stand in. Both Windows
# builds are always compiled.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/install-deps.sh
source scripts/wine-env.sh
qm_choose_windows_build

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

# A Windows build's tests under Wine, window tests under Xvfb; prints how long
# the run took. Every prefix that the tests use (the run's own, and the
# end-to-end suite's and the soak's) is made before the first test starts.
# The tests then share one persistent session instead of starting Wine's
# services for each program; wineboot starts them, so that they do not hold
# a test's output open.
run_wine_tests() {  # build-dir, wine loader, WINEARCH
  local dir=$1 loader=$2 arch=$3 start=$SECONDS prefix
  prefix=$root/$dir/wineprefix-tests
  for p in "$prefix" "$root/$dir/tests/e2e/wineprefix" "$root/$dir/tests/soak/wineprefix"; do
    qm_make_wine_prefix "$loader" "$p" "$arch" || { failed+=("$dir"); return 0; }
  done
  echo "Wine prefixes ready after $((SECONDS - start)) s"
  WINEPREFIX=$prefix WINEARCH=$arch xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
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

step "Windows builds; tests: $(qm_windows_build_line)"
# The publishing cases publish with the native release build's qmpublish.
host_qmpublish=-DQM_HOST_QMPUBLISH="$root/build/native-release/tools/qmpublish/qmpublish"
# The 64-bit build keeps the code honest about pointer sizes. Where the
# product's tests run, its own tests would double the Wine time, which the CI
# budget does not allow: QM_TEST_WIN64=1 builds and runs them too.
win64_tests=OFF
if [ "$QM_WIN_BUILD" = win64 ] || [ "${QM_TEST_WIN64:-0}" = 1 ]; then
  win64_tests=ON
fi
cmake --preset win32 "$host_qmpublish" -DQM_TESTS=ON >/dev/null
cmake --build --preset win32 -j "$jobs"
cmake --preset win64 "$host_qmpublish" -DQM_TESTS="$win64_tests" >/dev/null
cmake --build --preset win64 -j "$jobs"
echo "clang-tidy on the Win32 backend (mingw target, the win32 build's compile database)"
if scripts/tidy-win32.sh build/win32 "$jobs" >"$logs/clang-tidy-win32.txt" 2>&1; then
  echo "no findings"
else
  cat "$logs/clang-tidy-win32.txt"
  failed+=("clang-tidy-win32")
fi
# No test needs a 32-bit-only feature: the 64-bit build runs the same list.
run_wine_tests "build/$QM_WIN_BUILD" "$QM_WIN_LOADER" "$QM_WIN_ARCH"
if [ "$QM_WIN_BUILD" = win32 ] && [ "${QM_TEST_WIN64:-0}" = 1 ]; then
  run_wine_tests build/win64 /usr/lib/wine/wine64 win64
fi

step "fuzz targets, short runs"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
run_ctest build/fuzz -j "$jobs"

step "summary"
echo "Windows tests: $(qm_windows_build_line)"
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
