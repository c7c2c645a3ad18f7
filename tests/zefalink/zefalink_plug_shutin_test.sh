#!/bin/sh
# The plug and shut-in example, as a user runs it: its schedule launches the
# plug at 30 s and shuts the model in at 90 s, and the trends show both: the
# plug travels and then stops, the arrival flow stops, the wellhead's flow
# falls and its pressure builds up as the closed line packs, and the closed
# line settles, its wellhead flow decaying without ringing to 1,800 s. Arguments:
# zefalink, the examples folder, a free port.
set -u
zefalink="$1"
examples="$2"
port="${3:-23841}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir "$work/ex"
cp "$examples"/*.inp "$examples"/plug_shutin.case.json "$work/ex/"
sed -i "s/16816/$port/g" "$work/ex/plug_shutin.case.json"
"$zefalink" run "$work/ex/plug_shutin.case.json" --until 1800 --output-dir "$work/out" --log-level info \
    2>"$work/err" || { cat "$work/err" >&2; fail "the run failed"; }
grep -q 't=30 s: PIPE-100: PlugCheckBoxes\[0\]=1' "$work/err" || fail "plug not launched at 30 s"
grep -q 't=90 s: PIPE-100: shutin=1' "$work/err" || fail "not shut in at 90 s"
# A warning repeated at every step after the shut-in is shown once, then
# counted at the end.
[ "$(grep -c 'negative flow in an Inlet' "$work/err")" -eq 2 ] || fail "repeated warnings: $(cat "$work/err")"
grep -q 'negative flow in an Inlet.*(repeated [0-9]* times in all)' "$work/err" || fail "no count"

# Columns by header, values at a host time.
csv="$work/out/trends.csv"
value() {
    awk -F, -v col="$1" -v t="$2" '
        NR == 1 { for (i = 1; i <= NF; i++) if ($i == col) c = i; next }
        $1 == t { print $c; exit }' "$csv"
}
plug='PIPE-100 ZZPIG POS-OUT [m]' arrival='PIPE-100 GT POS-OUT [kg/s]'
flow='Wellhead mass_flow [kg/s]' pressure='Wellhead pressure [bar]'

check() { awk "BEGIN { exit !($1) }" || fail "$2 ($1)"; }
check "$(value "$plug" 20) == 0" "the plug moved before its launch"
check "$(value "$plug" 80) > 100" "the plug did not travel"
check "$(value "$plug" 240) - $(value "$plug" 220) < 5" "the plug still travels in a shut-in line"
check "$(value "$arrival" 80) > 5" "no flow arrived before the shut-in"
check "$(value "$arrival" 120) == 0" "flow still arrives after the shut-in"
check "$(value "$flow" 80) > 10" "the well did not produce before the shut-in"
check "$(value "$pressure" 240) > $(value "$pressure" 80) + 8" "the wellhead pressure did not build up"
# The closed line over 1,800 s settles: the run holds together, the wellhead
# flow over the last 300 s is below 0.1 kg/s (what the separating phases push
# back into the well), and its swing (largest less smallest) is below 0.05
# kg/s over 600-900 s and no larger over the last 300 s.
grep -q '"status": "completed"' "$work/out/run-summary.json" || fail "the shut-in run did not complete"
flows() {
    awk -F, -v from="$1" -v to="$2" -v col="$flow" '
        NR == 1 { for (i = 1; i <= NF; i++) if ($i == col) c = i; next }
        $1 >= from && $1 < to { if (n++ == 0 || $c > hi) hi = $c; if (n == 1 || $c < lo) lo = $c }
        END { print (hi > -lo ? hi : -lo) + 0, hi - lo }' "$csv"
}
set -- $(flows 1500 1800) $(flows 600 900)
check "$1 < 0.1" "the closed line still flows at the wellhead"
check "$4 < 0.05 && $2 <= $4 + 1e-4" "the wellhead flow rings"
echo "plug and shut-in: flow $(value "$flow" 80) -> $(value "$flow" 240) kg/s, pressure $(value "$pressure" 80) -> $(value "$pressure" 240) bar"

# A case that trends no total mass still closes its mass balance: the run
# reads each pipeline's inventory from its server, and the saved case keeps
# the user's trends only.
sh "$(dirname "$0")/mass_balance_check.sh" "$work/out/run-summary.json" || fail "mass balance"
grep -q RMTOT "$work/out/plug_shutin.case.json" && fail "the saved case gained a trend"
exit 0
