#!/usr/bin/env bash
# The main job: prepare the machine, build the Linux add-in and load it as the 1C host would,
# showing what it exposes and the driver description it returns; then a day at the till on a
# virtual register of its own (the .so runs on the built-in virtual register, so no device is
# needed), ending with the paper the register printed: in the terminal, and as an HTML page with
# a screenshot of it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target kkt-host vantorel addin_package

HOST=build/linux/bin/kkt-host
ADDIN=build/linux/bin/libvantorel.so
echo
echo "== $HOST --addin $ADDIN info"
"$HOST" --addin "$ADDIN" info
echo
echo "== $HOST --addin $ADDIN call GetDescription '>D'"
"$HOST" --addin "$ADDIN" call GetDescription '>D'

# A register of the demo's own, fresh every run.
export VANTOREL_VREG_DIR=$PWD/build/linux/demo-register
rm -rf "$VANTOREL_VREG_DIR"
mkdir -p "$VANTOREL_VREG_DIR"
echo
if "$HOST" --help | grep -q '^  demo '; then
  echo "== $HOST --addin $ADDIN demo --register-dir $VANTOREL_VREG_DIR"
  "$HOST" --addin "$ADDIN" demo --register-dir "$VANTOREL_VREG_DIR"
else
  echo "== $HOST --addin $ADDIN run scripts/first-receipt.txt"
  "$HOST" --addin "$ADDIN" run scripts/first-receipt.txt
fi

echo
echo "== $HOST vreg"
"$HOST" vreg
PAGE=build/linux/tape.html
SHOT=build/linux/tape.png
"$HOST" vreg tape --html "$PAGE"
if command -v chromium >/dev/null; then
  rm -f "$SHOT"
  timeout 120 chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --no-first-run \
    --user-data-dir="$(mktemp -d)" --window-size=1000,3000 --screenshot="$SHOT" \
    "file://$PWD/$PAGE" >/dev/null 2>&1 || echo "(no screenshot: chromium failed)"
fi
echo
echo "== $HOST vreg tape"
"$HOST" vreg tape
echo
echo "The package for 1C: $(ls build/linux/package/vantorel-1c-*.zip)"
if [ -f "$SHOT" ]; then
  echo "The paper as a page: $PAGE (screenshot: $SHOT)"
else
  echo "The paper as a page: $PAGE"
fi
