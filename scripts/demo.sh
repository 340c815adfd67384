#!/usr/bin/env bash
# The main job: prepare the machine, build the Linux add-in and load it as the 1C host would,
# showing what it exposes and the driver description it returns. The .so runs on the built-in
# virtual register, so no device is needed.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target kkt-host vantorel

HOST=build/linux/bin/kkt-host
ADDIN=build/linux/bin/libvantorel.so
echo
echo "== $HOST --addin $ADDIN info"
"$HOST" --addin "$ADDIN" info
echo
echo "== $HOST --addin $ADDIN call GetDescription '>D'"
"$HOST" --addin "$ADDIN" call GetDescription '>D'
