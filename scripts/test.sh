#!/usr/bin/env bash
# Builds and tests everything: the Windows x64 and x86 presets cross-built with MinGW-w64 and
# their test programs run under Wine (64-bit and 32-bit), then the Linux preset natively. Prints
# the time of every step.
#
#   VANTOREL_PRESETS  presets to run (default "windows windows-x86 linux": the Linux build packs
#                     both Windows DLLs into the 1C package, so they are built first)
#   VANTOREL_CTEST_JOBS  tests run at once (default 1: the tests share the data folder)
#   VANTOREL_SANITIZERS  sanitizer steps to run with the linux preset (default "asan tsan fuzz";
#                        "" skips): asan = the Linux tests under AddressSanitizer and
#                        UndefinedBehaviorSanitizer, fuzz = every fuzz target for a bounded time
#   VANTOREL_FUZZ_SECONDS  seconds per fuzz target (default 12)
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
START=$SECONDS
PRESETS=${VANTOREL_PRESETS:-windows windows-x86 linux}
CTEST_JOBS=${VANTOREL_CTEST_JOBS:-1}

timings=()
failures=()
passed=0
failed=0

step() {  # name command...: runs and times one step; a failed step is recorded, not fatal
  local name=$1 t0=$SECONDS rc
  shift
  printf '\n==== %s\n' "$name"
  "$@"
  rc=$?
  timings+=("$(printf '%-28s %4d s  %s' "$name" $((SECONDS - t0)) "$([ $rc -eq 0 ] && echo ok || echo FAILED)")")
  [ $rc -eq 0 ] || failures+=("$name")
  return $rc
}

run_ctest() {  # preset: ctest with a timeout per program; counts gathered for the summary
  local log rc
  log=$(mktemp)
  ctest --preset "$1" --timeout 600 -j "$CTEST_JOBS" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  if line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1); then
    local bad total
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  fi
  rm -f "$log"
  return $rc
}

# Wine for the Windows tests: a fresh prefix per run and preset, and one server kept up for the
# preset's tests so that each test program starts in a fraction of a second.
WINE_PREFIX=
wine_start() {  # preset
  WINE_PREFIX=$ROOT/build/$1/wineprefix
  rm -rf "$WINE_PREFIX" "$WINE_PREFIX.lock"
  mkdir -p "$WINE_PREFIX"
  WINEPREFIX=$WINE_PREFIX WINEDEBUG=-all wineserver -p &&
    cmake/wine-run.sh "$WINE_PREFIX" cmd /c exit 0
}
wine_stop() {
  if [ -n "$WINE_PREFIX" ] && [ -d "$WINE_PREFIX" ]; then
    WINEPREFIX=$WINE_PREFIX wineserver -k 2>/dev/null || true
  fi
}

# Tests that open windows (under Wine, or natively) get a virtual display when there is none.
XVFB_PID=
xvfb_start() {
  [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null || return 0
  local n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$n"
}
cleanup() {
  wine_stop
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
}
trap cleanup EXIT

step setup bash scripts/setup.sh || { echo "setup failed" >&2; exit 1; }
xvfb_start

# The package test then insists on all three binaries.
if [[ " $PRESETS " == *" windows "* && " $PRESETS " == *" windows-x86 "* &&
  " $PRESETS " == *" linux "* ]]; then
  export VANTOREL_PACKAGE_COMPLETE=1
fi
for preset in $PRESETS; do
  if step "$preset: configure" cmake --preset "$preset" &&
    step "$preset: build" cmake --build --preset "$preset"; then
    if [ "$preset" = windows-x86 ] && [ ! -x /usr/lib/wine/wine ]; then
      # setup installs wine32 only where 32-bit programs run; the DLL still goes into the package.
      echo "windows-x86: tests SKIPPED, no 32-bit Wine on this machine (it runs no 32-bit programs)"
      timings+=("$(printf '%-28s %4s    %s' "$preset: test" - "SKIPPED (no 32-bit Wine)")")
      continue
    fi
    case $preset in windows*) step "$preset: wine prefix" wine_start "$preset" ;; esac
    step "$preset: test" run_ctest "$preset"
    case $preset in windows*) wine_stop ;; esac
  fi
done

# Sanitizer builds: only unit_tests, and only the tests of the code they watch, so that the
# step stays short on a small machine. name preset gtest-filter
sanitizer_run() {
  local name=$1 preset=$2 filter=$3
  step "$name: configure" cmake --preset "$preset" &&
    step "$name: build" cmake --build "build/$preset" --target unit_tests &&
    step "$name: test" timeout 600 "build/$preset/bin/unit_tests" --gtest_filter="$filter"
}
# ASan+UBSan: the add-in, kkt-host and every Linux test program instrumented (a library loaded
# into an uninstrumented program would miss its allocations), the tests run by ctest.
asan_run() {
  step "linux-asan: configure" cmake --preset linux-asan &&
    step "linux-asan: build" cmake --build build/linux-asan --target vantorel kkt-host unit_tests \
      host_tests emulator_tests kkthost_tests &&
    step "linux-asan: test" run_ctest linux-asan
}
# libFuzzer: the targets built with clang, each run for a bounded time on its seed corpus.
fuzz_run() {
  step "linux-fuzz: configure" cmake --preset linux-fuzz &&
    step "linux-fuzz: build" cmake --build build/linux-fuzz --target fuzz_targets &&
    step "linux-fuzz: run" bash scripts/fuzz.sh
}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1}
if [[ " $PRESETS " == *" linux "* ]]; then
  for san in ${VANTOREL_SANITIZERS-asan tsan fuzz}; do
    case $san in
      asan) asan_run ;;
      tsan) sanitizer_run "linux-tsan" linux-tsan 'Marking*:LogTest.Concurrent*' ;;
      fuzz) fuzz_run ;;
    esac
  done
fi

printf '\n==== timings\n'
printf '%s\n' "${timings[@]}"
printf '%-28s %4d s\n' total $((SECONDS - START))
echo
echo "tests: $passed passed, $failed failed"
if [ ${#failures[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}"
  exit 1
fi
