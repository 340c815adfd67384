#!/usr/bin/env bash
# Runs a Windows test program under Wine: wine-run.sh WINEPREFIX PROGRAM [ARGS...]
# The prefix is created on first use (once, even when tests start in parallel); no dialogs,
# no Wine debug chatter, the program's exit code passed through.
set -euo pipefail
prefix=$1
shift
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/.vantorel-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/.vantorel-ready" ]; then
      wineboot -i >/dev/null 2>&1
      # A crashing test must fail at once, not wait behind a crash dialog on a display.
      wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        >/dev/null 2>&1
      # Windows' own core fonts are not in a fresh prefix: give their names the metric-compatible
      # Liberation fonts that setup installs, as the Linux build's fontconfig does.
      for pair in "Arial=Liberation Sans" "Times New Roman=Liberation Serif" \
        "Courier New=Liberation Mono"; do
        wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "${pair%%=*}" /t REG_SZ \
          /d "${pair#*=}" /f >/dev/null 2>&1
      done
      touch "$prefix/.vantorel-ready"
    fi
  ) 9>"$prefix.lock"
fi
exec wine "$@"
