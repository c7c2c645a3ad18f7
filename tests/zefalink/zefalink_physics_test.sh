#!/bin/sh
# The physics of a coupled run against a real pipeline server.
#
# 1. Steady state: the well and flowline example runs until it has settled.
#    The pipeline alone is then given the same boundary conditions (the
#    host's inflow, its gas and water fractions, and the host's arrival
#    pressure) and brought to its own steady state; the wellhead pressure
#    and arrival flow that the coupled host settled at must agree with the
#    pipeline's own within 1 %.
# 2. Mass balance: what the host fed in equals what it took out plus the
#    change of the pipeline's inventory (RMTOT, from the server), within 1 %.
# Arguments: zefalink, the examples folder, a port.
set -u
zefalink="$1"
examples="$2"
port="${3:-23831}"
work=$(mktemp -d)
fail() { echo "FAIL: $*" >&2; exit 1; }
trap 'rm -rf "$work"' EXIT
mkdir "$work/ex"
cp "$examples/well_flowline.inp" "$examples/well_flowline.case.json" "$work/ex/"
sed -i "s/16811/$port/g" "$work/ex/well_flowline.case.json"

# Value of the named column in the last row of a trends file.
last() {
    awk -F, -v name="$2" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == name) c = i; next }
        { v = $c } END { if (!c) exit 1; print v }' "$1" || fail "no column $2 in $1"
}
first() {
    awk -F, -v name="$2" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == name) c = i; next }
        { print $c; exit }' "$1"
}
summary() { sed -n "s/.*\"$2\": \([-0-9.e+]*\).*/\1/p" "$1"; }
# |a - b| / |b| below limit (a fraction).
within() {
    awk -v a="$1" -v b="$2" -v lim="$3" 'BEGIN { d = (a - b) / b; if (d < 0) d = -d; exit !(d < lim) }'
}

coupled="$work/coupled"
"$zefalink" run "$work/ex/well_flowline.case.json" --duration 1500 --output-dir "$coupled" \
    --log-level error || fail "coupled run"
t="$coupled/trends.csv"
inflow=$(last "$t" "Wellhead mass_flow [kg/s]")
outflow=$(last "$t" "Arrival mass_flow [kg/s]")
wellhead=$(last "$t" "Wellhead pressure [bar]")
arrival=$(last "$t" "Arrival pressure [bar]")
temperature=$(last "$t" "Wellhead temperature [C]")
gas=$(last "$t" "PIPE-100 IN gas flow [kg/s]")
oil=$(last "$t" "PIPE-100 IN oil flow [kg/s]")
water=$(last "$t" "PIPE-100 IN water flow [kg/s]")
# Settled: what enters the line leaves it.
within "$outflow" "$inflow" 0.005 || fail "not settled: in $inflow, out $outflow kg/s"

# The pipeline alone, at its own steady state for those boundary conditions:
# started from the model's steady state for them and run on until it has
# settled under the values the host passes (the fluid's split at the
# pipeline's own pressure may differ a little from the one given).
gasfraction=$(awk -v g="$gas" -v o="$oil" -v w="$water" 'BEGIN { printf "%.6f", g / (g + o + w) }')
waterfraction=$(awk -v o="$oil" -v w="$water" 'BEGIN { printf "%.6f", w / (o + w) }')
sed -e "s/PRESSURE = 85 bar/PRESSURE = $arrival bar/" \
    -e "s/MASSFLOW = 10 kg\/s/MASSFLOW = $inflow kg\/s/" \
    -e "s/GASFRACTION = 0.8, WATERFRACTION = 0.3, TEMPERATURE = 60 C/GASFRACTION = $gasfraction, WATERFRACTION = $waterfraction, TEMPERATURE = $temperature C/" \
    "$work/ex/well_flowline.inp" >"$work/ex/reference.inp"
grep -q "MASSFLOW = $inflow" "$work/ex/reference.inp" || fail "reference model not written"
# The host only passes the same boundary values on: a feed of that flow, a
# sink at that pressure, results set on the streams directly.
arrival_kpa=$(awk -v p="$arrival" 'BEGIN { printf "%.6f", p * 100 }')
cat >"$work/ex/reference.case.json" <<JSON
{ "format": "zefalink-case", "version": 1,
  "solver": { "mode": 1, "step_size": 1.0, "time": 0.0 },
  "flowsheet": {
    "components": ["methane", "ethane", "propane", "n-butane", "n-pentane", "n-hexane", "c7+",
                   "carbon-dioxide", "nitrogen", "water"],
    "streams": [
      { "name": "Wellhead", "temperature": 60.0, "pressure": 9000.0, "pressure_spec": true },
      { "name": "Arrival", "temperature": 50.0, "pressure": $arrival_kpa, "flow_spec": true } ],
    "units": [
      { "name": "Well", "type": "feed", "outlet": "Wellhead",
        "composition": { "methane": 0.70, "ethane": 0.07, "propane": 0.04, "n-butane": 0.02,
                         "n-pentane": 0.02, "n-hexane": 0.02, "c7+": 0.05,
                         "carbon-dioxide": 0.02, "nitrogen": 0.01, "water": 0.05 },
        "temperature": $temperature, "mass_flow": $inflow },
      { "name": "Separator", "type": "sink", "inlet": "Arrival", "pressure": $arrival_kpa } ] },
  "record": { "end_time": 1200, "variables": [] },
  "units": [ { "name": "PIPE-100", "type": "zefapipeline", "variables": {
      "Inlets": ["Wellhead"], "Outlets": ["Arrival"], "SourceTags": ["IN"], "BoundaryTags": ["OUT"],
      "InletBoundaryCB": [0], "OutletSourceCB": [0], "bFlowSwitch": [0], "ReferenceStream": "Wellhead",
      "boolWritePFEquations": 0, "boolUseAutoStart": 1, "useAutoConnect": 1, "boolTraceErrors": 1,
      "VersionNumber": 1, "ignoreZEFA": 0, "zefaHost": "127.0.0.1", "ServerName": "$port",
      "PortNumber": $port, "zefaModelPath": ".", "InputFile": "reference.inp", "ZEFARunInterval": 1,
      "TimeStepTimeOut": 10, "TCPTimeOut": 5, "InitTimeOut": 60 } } ] }
JSON
"$zefalink" run "$work/ex/reference.case.json" --output-dir "$work/reference" --log-level error \
    || fail "reference run"
r="$work/reference/trends.csv"
own_wellhead=$(awk -v p="$(last "$r" "PIPE-100 IN pressure [bar]")" 'BEGIN { print p * 100 }')
own_outflow=$(awk -F, 'NR == 1 { for (i = 1; i <= NF; i++) { if ($i ~ /OUT (gas|oil|water) flow/) c[i] = 1 } next }
    { s = 0; for (i in c) s += $i } END { print s }' "$r")
wellhead_kpa=$(awk -v p="$wellhead" 'BEGIN { print p * 100 }')
echo "wellhead pressure: coupled $wellhead_kpa kPa, pipeline alone $own_wellhead kPa"
echo "arrival flow: coupled $outflow kg/s, pipeline alone $own_outflow kg/s"
within "$wellhead_kpa" "$own_wellhead" 0.01 || fail "wellhead pressures differ by 1 % or more"
within "$outflow" "$own_outflow" 0.01 || fail "arrival flows differ by 1 % or more"
# The pressure drop along the line itself agrees too (a much finer test).
within "$(awk -v a="$wellhead_kpa" -v b="$arrival_kpa" 'BEGIN { print a - b }')" \
    "$(awk -v a="$own_wellhead" -v b="$arrival_kpa" 'BEGIN { print a - b }')" 0.05 \
    || fail "pressure drops differ by 5 % or more"

# Mass balance over the whole coupled run.
fed=$(summary "$coupled/run-summary.json" feeds_kg)
taken=$(summary "$coupled/run-summary.json" sinks_kg)
m0=$(first "$t" "PIPE-100 RMTOT [kg]")
m1=$(last "$t" "PIPE-100 RMTOT [kg]")
error=$(awk -v i="$fed" -v o="$taken" -v a="$m0" -v b="$m1" 'BEGIN { print (i - o - (b - a)) / i }')
echo "mass: fed $fed kg, taken $taken kg, inventory $m0 -> $m1 kg, relative error $error"
awk -v e="$error" 'BEGIN { if (e < 0) e = -e; exit !(e < 0.01) }' || fail "mass balance error $error"
[ "$(awk -v a="$m0" -v b="$m1" 'BEGIN { print (b - a > 100) }')" -eq 1 ] \
    || fail "the line did not fill: the balance would prove nothing"
exit 0
