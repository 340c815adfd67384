#!/usr/bin/env bash
# Runs a Windows test program under Wine: wine-run.sh [--x86] WINEPREFIX PROGRAM [ARGS...]
# The prefix is created on first use (once, even when tests start in parallel); no dialogs,
# no Wine debug chatter, the program's exit code passed through. A 64-bit prefix; the x64 build's
# programs start with the 64-bit loader, the x86 build's (--x86) with the 32-bit one (wine32), so
# that having both installed never changes which one runs a program.
set -euo pipefail
loader=/usr/lib/wine/wine64
[ -x "$loader" ] || loader=wine
if [ "${1:-}" = --x86 ]; then
  loader=/usr/lib/wine/wine
  if [ ! -x "$loader" ]; then
    echo "wine-run.sh: no 32-bit Wine ($loader); scripts/setup.sh installs wine32 on a machine" \
      "that can run 32-bit programs" >&2
    exit 127
  fi
  shift
fi
# As Debian's wine wrapper does when only the 64-bit Wine is there.
if [ ! -x /usr/lib/wine/wine ] && [ -z "${WINELOADER:-}" ]; then export WINELOADER=$loader; fi
prefix=$1
shift
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/.vantorel-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/.vantorel-ready" ]; then
      "$loader" wineboot.exe -i >/dev/null 2>&1
      # A crashing test must fail at once, not wait behind a crash dialog on a display.
      "$loader" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        >/dev/null 2>&1
      # Windows' own core fonts are not in a fresh prefix: give their names the metric-compatible
      # Liberation fonts that setup installs, as the Linux build's fontconfig does.
      for pair in "Arial=Liberation Sans" "Times New Roman=Liberation Serif" \
        "Courier New=Liberation Mono"; do
        "$loader" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "${pair%%=*}" /t REG_SZ \
          /d "${pair#*=}" /f >/dev/null 2>&1
      done
      touch "$prefix/.vantorel-ready"
    fi
  ) 9>"$prefix.lock"
fi
exec "$loader" "$@"
