#!/bin/sh
# zefalink standalone against a real zefa-server on a loopback port: the
# pipeline model runs alone to the end time, its results are written and the
# case saved; an end time not after the pipeline's time is refused. Then
# zefalink check and zefa-server --check on good and broken cases and models.
# Usage: zefalink_standalone_test.sh ZEFALINK EXTENSION_LIBRARY ZEFA_SERVER EXAMPLES_DIR
zefalink=$1 server=$3 examples=$4 failures=0
ZEFA_EXTENSION_LIBRARY=$2
export ZEFA_EXTENSION_LIBRARY
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
server_left() {
    sleep 0.2
    ps -eo stat=,args= | grep -v '^Z' | grep "zefa-server -server $port" | grep -qv grep
}

port=$((24000 + $$ % 8000))  # above the coupled tests' fixed ports
if command -v ss >/dev/null 2>&1; then
    while ss -ltn | grep -q ":$port "; do port=$((port + 1)); done
fi
cp "$examples"/*.inp "$work/"
case_file="$work/plug.case.json"
cp "$examples/plug_shutin.case.json" "$case_file"
# As the README's recipe: the case names no server program, the build's is
# started from the case's settings as zefalink run starts it.
ZEFA_SERVERPATH=$server
export ZEFA_SERVERPATH
"$zefalink" set "$case_file" zefaModelPath="$work" ServerName="$port" \
    PortNumber="$port" >"$work/set.out" 2>&1 || fail "set exited $?: $(cat "$work/set.out")"

"$zefalink" standalone "$case_file" --until 30 --every 10 --out "$work/out" >"$work/run.out" 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "standalone exited $rc: $(cat "$work/run.out")"
grep -q "100% complete, t=30 s" "$work/run.out" || fail "no progress: $(cat "$work/run.out")"
# The trends over time: a row at the start and after each leg, the inlet
# pressure building up as the line fills.
trends="$work/out/standalone-trends.csv"
head -1 "$trends" | grep -q '^Time \[s\],PIPE-100 IN pressure \[kPa\],' || fail "trends header"
[ "$(cut -d, -f1 "$trends" | tr '\n' ' ')" = "Time [s] 0 10 20 30 " ] ||
    fail "trend times: $(cut -d, -f1 "$trends" | tr '\n' ' ')"
awk -F, 'NR > 2 && NR < 5 { p[NR] = $2 } END { exit !(p[4] > p[3]) }' "$trends" ||
    fail "the inlet pressure does not change over time"
grep -qx "ZEFAsimTime = 30" "$work/run.out" || fail "no ZEFAsimTime line"
grep -q "^boundary 0: pressure " "$work/run.out" || fail "no boundary result"
grep -q '"ZEFAsimTime": 30.0' "$work/out/standalone-summary.json" || fail "summary"
head -1 "$work/out/standalone.csv" | grep -q '^Kind,Index,Pressure \[kPa\],Temperature \[C\],Gas mass flow \[kg/s\]' ||
    fail "csv header: $(head -1 "$work/out/standalone.csv")"
grep -q '^boundary,0,' "$work/out/standalone.csv" || fail "csv boundary row"
tr -d ' \n' <"$case_file" | grep -q '"zefaEndTime":30.0' || fail "end time not saved"
server_left && fail "a zefa-server process is left after the run"

# An end time at the pipeline's start time: refused, nothing written.
cp "$case_file" "$work/before"
"$zefalink" standalone "$case_file" --until 0 --out "$work/out0" >"$work/refused.out" 2>&1
rc=$?
[ "$rc" -eq 1 ] || fail "--until 0 exited $rc"
grep -q "less than the current ZEFA simulation time\|zefaEndTime=0 was refused" "$work/refused.out" ||
    fail "--until 0: $(cat "$work/refused.out")"
cmp -s "$work/before" "$case_file" || fail "a refused standalone run changed the case"
[ -e "$work/out0/standalone-summary.json" ] && fail "a refused run wrote results"
server_left && fail "a zefa-server process is left after the refusal"

# A long run whose server is killed midway: a failure, and the case is left
# as it was.
"$zefalink" standalone "$case_file" --until 400000 --out "$work/killed" >"$work/killed.out" 2>&1 &
run=$!
i=0
while ! grep -q "complete, t=" "$work/killed.out" && [ "$i" -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
pid=$(ps -eo pid=,args= | grep "zefa-server -server $port" | grep -v grep | awk '{ print $1 }')
[ -n "$pid" ] && kill -KILL $pid
wait "$run"
rc=$?
[ "$rc" -eq 1 ] || fail "a run whose server was killed exited $rc: $(tail -3 "$work/killed.out")"
cmp -s "$work/before" "$case_file" || fail "a failed standalone run changed the case"

"$zefalink" standalone "$case_file" --until soon >/dev/null 2>&1
[ $? -eq 64 ] || fail "--until soon is not a usage error"

# ---- zefalink check and zefa-server --check: a good case and model, then
# broken ones, each with its exit code and the line that names the fault.
mkdir "$work/check"
cp "$examples"/*.inp "$examples"/*.case.json "$work/check/"
sed 's/BRANCH LABEL = FLOWLINE,/BRANCH LABEL = FLOWLINE/' "$examples/well_flowline.inp" \
    >"$work/check/broken.inp"
sed 's/"well_flowline.inp"/"broken.inp"/' "$examples/well_flowline.case.json" \
    >"$work/check/broken.case.json"
sed 's/"IN"/"INN"/' "$examples/well_flowline.case.json" >"$work/check/label.case.json"
sed 's/"well_flowline.inp"/"missing.inp"/' "$examples/well_flowline.case.json" \
    >"$work/check/missing.case.json"
while IFS='|' read -r rc what pattern; do
    # shellcheck disable=SC2086
    $what >"$work/check.out" 2>&1
    got=$?
    [ "$got" -eq "$rc" ] || fail "$what exited $got, not $rc: $(cat "$work/check.out")"
    grep -q -- "$pattern" "$work/check.out" || fail "$what: no '$pattern' in: $(cat "$work/check.out")"
done <<EOF
0|$zefalink check $work/check/well_flowline.case.json|inlet Wellhead -> source IN: ok
0|$zefalink check $work/check/two_flowlines.case.json|PIPE-B: branch FLOWLINE: 3000 m, 15 sections
65|$zefalink check $work/check/broken.case.json|broken.inp:10: BRANCH
65|$zefalink check $work/check/label.case.json|no source labelled "INN" in the model (did you mean "IN"?)
65|$zefalink check $work/check/missing.case.json|missing.inp does not exist
0|$server --check $work/check/well_flowline.inp|source IN: branch FLOWLINE at 100 m
65|$server --check $work/check/broken.inp|broken.inp:10: BRANCH
EOF

[ "$failures" -eq 0 ] || exit 1
echo "zefalink standalone: ok"
