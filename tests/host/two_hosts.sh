#!/usr/bin/env bash
# Two hosts selling on one virtual register at once, each connecting, selling and disconnecting
# over and over. The register serves one program at a time and refuses the other as a busy port;
# every sale a host was told succeeded is a receipt in the storage, and there is no other.
#   two_hosts.sh KKT_HOST WORKDIR [ROUNDS]
set -euo pipefail
host=$1 work=$2 rounds=${3:-12}
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work/vreg"
export VANTOREL_VREG_DIR="$work/vreg"

connect='ConnectEquipment >id e "s:<Parameters><Parameter Name=\"PortNumber\" Value=\"0\"/></Parameters>"'
for ((i = 0; i < rounds; i++)); do
  echo "$connect"
  echo 'OpenShift $id "s:<InputParameters><Parameters CashierName=\"Кассир\"/></InputParameters>" >opened'
  echo "ProcessCheck \$id b:false s@$here/receipt_sale.xml >sale"
  echo "ProcessCheck \$id b:false s@$here/receipt_sale.xml >sale"
  echo 'DisconnectEquipment $id'
done >"$work/sell.txt"

"$host" --json run "$work/sell.txt" >"$work/a.out" 2>"$work/a.err" &
a=$!
"$host" --json run "$work/sell.txt" >"$work/b.out" 2>"$work/b.err" &
b=$!
wait $a || true
wait $b || true

sold() { grep -c '"method":"ProcessCheck","kind":"function","host_result":true,"result":{"type":"VTYPE_BOOL","value":true}' "$1" || true; }
busy() { grep -c 'Порт занят' "$1" || true; }
told=$(($(sold "$work/a.out") + $(sold "$work/b.out")))
refused=$(($(busy "$work/a.out") + $(busy "$work/b.out")))
status=$("$host" --json vreg status)
stored=$(sed -nE 's/.*"total_counters":\{"sell":\{"count":([0-9]+).*/\1/p' <<<"$status")
receipts=$(sed -nE 's/.*"last_document":([0-9]+).*/\1/p' <<<"$status")
echo "hosts told of $told sales, storage holds $stored; $refused connection(s) refused as busy"
if [ -z "$stored" ] || [ "$told" -ne "$stored" ] || [ "$told" -eq 0 ]; then
  echo "FAILED: the hosts were told $told sales succeeded, the storage holds ${stored:-?}" >&2
  exit 1
fi
# Nothing but those sales and the documents around them: no half or lost document in between.
kkt_docs=$("$host" --json vreg doc "$receipts" | grep -c '"number"' || true)
[ "$kkt_docs" -eq 1 ] || { echo "FAILED: the last document $receipts cannot be read" >&2; exit 1; }
