#!/usr/bin/env bash
# Batches of sales through kkt-host on one virtual register, one kkt-host process a batch, as a
# till sells through a day after day: the cost of a batch must not grow with the documents the
# register already holds. Prints each batch's wall and processor time and the ratio of the last
# batch to the first. Fails when the cheaper of the last two batches takes more than BOUND times
# the processor time of the cheaper of the first two: processor time, and the cheaper of two,
# because on a shared machine the neighbours only ever add time.
#   sales_batches.sh KKT_HOST WORKDIR [BATCHES] [SALES] [BOUND] [TAPE_LIMIT]
# TAPE_LIMIT sets the register's tape limit first (the default keeps 20,000 items, which fill in
# the first 600 sales and add their trimming from then on; a small limit makes the first batch
# already pay it). The full run: sales_batches.sh build/linux/bin/kkt-host /tmp/batches 15 200 1.3
set -euo pipefail
host=$1 work=$2 batches=${3:-5} sales=${4:-200} bound=${5:-1.5} tape_limit=${6:-}
rm -rf "$work" && mkdir -p "$work/vreg"
export VANTOREL_VREG_DIR="$work/vreg"
if [ -n "$tape_limit" ]; then "$host" vreg set "tapeLimit=$tape_limit" >/dev/null; fi

# A three-position sale with VAT, cash and card.
cat >"$work/sale.xml" <<'EOF'
<CheckPackage>
  <Parameters OperationType="1" CashierName="Кассир" TaxationSystem="0"/>
  <Positions>
    <FiscalString Name="Хлеб" Quantity="1" PriceWithDiscount="45.90" AmountWithDiscount="45.90"
                  DiscountAmount="0" VATRate="10" VATAmount="4.17" CalculationSubject="1" PaymentMethod="4"/>
    <FiscalString Name="Молоко 3,2%" Quantity="2" PriceWithDiscount="89.99" AmountWithDiscount="179.98"
                  DiscountAmount="0" VATRate="10" VATAmount="16.36" CalculationSubject="1" PaymentMethod="4"/>
    <FiscalString Name="Кофе" Quantity="1" PriceWithDiscount="349.00" AmountWithDiscount="349.00"
                  DiscountAmount="0" VATRate="20" VATAmount="58.17" CalculationSubject="1" PaymentMethod="4"/>
  </Positions>
  <Payments Cash="100" ElectronicPayment="474.88"/>
</CheckPackage>
EOF
{
  echo 'ConnectEquipment >id e "s:<Parameters><Parameter Name=\"PortNumber\" Value=\"0\"/></Parameters>"'
  echo 'OpenShift $id "s:<InputParameters><Parameters CashierName=\"Кассир\"/></InputParameters>" >opened'
  for ((i = 0; i < sales; i++)); do echo "ProcessCheck \$id b:false s@$work/sale.xml >sale"; done
  echo 'DisconnectEquipment $id'
} >"$work/batch.txt"

ns() { date +%s%N; }
cpu_ticks() { awk '{ print $14 + $15 + $16 + $17 }' /proc/$1/stat; }  # self and waited-for children
tick=$(getconf CLK_TCK)
declare -a wall cpu
total_sold=0
for ((b = 1; b <= batches; b++)); do
  before=$(cpu_ticks $$)
  t0=$(ns)
  # OpenShift is refused from the second batch on (the shift stays open), so the run exits 1.
  "$host" --json run "$work/batch.txt" >"$work/batch$b.out" 2>"$work/batch$b.err" || true
  t1=$(ns)
  after=$(cpu_ticks $$)
  sold=$(grep -c '"method":"ProcessCheck","kind":"function","host_result":true,"result":{"type":"VTYPE_BOOL","value":true}' "$work/batch$b.out" || true)
  if [ "$sold" -ne "$sales" ]; then
    echo "FAILED: batch $b sold $sold of $sales; see $work/batch$b.out" >&2
    exit 1
  fi
  total_sold=$((total_sold + sold))
  wall[b]=$(((t1 - t0) / 1000000))
  cpu[b]=$(((after - before) * 1000 / tick))
  printf 'batch %2d: %5d sales stored before it, %6d ms wall, %6d ms processor\n' \
    "$b" $(((b - 1) * sales)) "${wall[b]}" "${cpu[b]}"
done

status=$("$host" --json vreg status)
stored=$(sed -nE 's/.*"total_counters":\{"sell":\{"count":([0-9]+).*/\1/p' <<<"$status")
if [ "$stored" != "$total_sold" ]; then
  echo "FAILED: $total_sold sales told, the storage counts ${stored:-?}" >&2
  exit 1
fi
[ "$batches" -ge 4 ] || exit 0
awk -v f="${cpu[1]}" -v l="${cpu[batches]}" -v fw="${wall[1]}" -v lw="${wall[batches]}" \
  -v f2="${cpu[2]}" -v l2="${cpu[batches - 1]}" -v bound="$bound" -v n="$total_sold" '
function min(a, b) { return a < b ? a : b }
BEGIN {
  r = min(l, l2) / (min(f, f2) > 0 ? min(f, f2) : 1)
  printf "%d sales stored; last batch / first: processor x%.2f, wall x%.2f\n", n,
    l / (f > 0 ? f : 1), lw / (fw > 0 ? fw : 1)
  printf "cheaper of the last two / cheaper of the first two, processor: x%.2f (bound x%.2f)\n",
    r, bound
  if (r > bound) { print "FAILED: a batch costs more as the storage fills" > "/dev/stderr"; exit 1 }
}'
