#!/usr/bin/env bash
# Runs the fuzz targets of the linux-fuzz build (cmake --preset linux-fuzz && cmake --build
# build/linux-fuzz --target fuzz_targets), each for a bounded time on a copy of its seed corpus
# in tests/fuzz/corpus, then replays the inputs of past findings in tests/fuzz/regressions.
# A crash, leak, memory fault or broken host contract fails the run; the input is kept in
# build/linux-fuzz/findings/ (add it to tests/fuzz/regressions/TARGET/ once fixed).
#
#   VANTOREL_FUZZ_SECONDS  seconds per target (default 12)
#   VANTOREL_FUZZ_TARGETS  targets to run (default: all)
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
BIN=build/linux-fuzz/bin
FINDINGS=build/linux-fuzz/findings
PER_TARGET=${VANTOREL_FUZZ_SECONDS:-12}
TARGETS=${VANTOREL_FUZZ_TARGETS:-settings text_document check correction fiscal_parameters request_km host_values}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}
mkdir -p "$FINDINGS"

failed=()
for t in $TARGETS; do
  exe=$BIN/fuzz_$t
  if [ ! -x "$exe" ]; then
    echo "fuzz: $exe is not built" >&2
    failed+=("$t")
    continue
  fi
  work=$(mktemp -d)
  cp -r "tests/fuzz/corpus/$t/." "$work/"
  dict=()
  [ "$t" != host_values ] && dict=(-dict=tests/fuzz/xml.dict)
  printf '\n---- fuzz_%s (%s s)\n' "$t" "$PER_TARGET"
  # Progress lines are dropped; the stats, and a finding's report, are kept.
  "$exe" "${dict[@]}" -max_total_time="$PER_TARGET" -timeout=30 -rss_limit_mb=3072 \
    -max_len=16384 -print_final_stats=1 -artifact_prefix="$FINDINGS/$t-" "$work" 2>&1 |
    grep -Ev '^#[0-9]+[[:space:]]|NEW_FUNC|# Uses: |^INFO: |^$'
  rc=${PIPESTATUS[0]}
  rm -rf "$work"
  [ "$rc" -eq 0 ] || failed+=("$t")
  if [ -d "tests/fuzz/regressions/$t" ] && [ -n "$(ls -A "tests/fuzz/regressions/$t")" ]; then
    if ! "$exe" -runs=1 "tests/fuzz/regressions/$t"/* >/dev/null 2>&1; then
      echo "fuzz_$t: a regression input fails again" >&2
      failed+=("$t (regressions)")
    fi
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  printf 'fuzz: findings in: %s (inputs in %s)\n' "${failed[*]}" "$FINDINGS" >&2
  exit 1
fi
echo "fuzz: no findings"
