#!/bin/sh
# zefalink run end to end: the shipped host-only example, an invalid case and
# usage errors. Arguments: the zefalink program and the example case.
set -u
zefalink="$1"
example="$2"
pipeline_case="${3:-}"
extension="${4:-}"
fake_extension="${5:-}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$zefalink" --version | grep -qx 'zefalink [0-9]*\.[0-9]*\.[0-9]*' || fail "--version"

# The example runs to its end time and conserves mass.
"$zefalink" run "$example" --output-dir "$work/out" --log-level warning 2>"$work/err"
rc=$?
[ "$rc" -eq 0 ] || { cat "$work/err" >&2; fail "example exited $rc"; }
[ -s "$work/out/trends.csv" ] || fail "no trends.csv"
[ -s "$work/out/run-summary.json" ] || fail "no run-summary.json"
[ -s "$work/out/$(basename "$example")" ] || fail "case not saved"
head -1 "$work/out/trends.csv" | grep -q '^Time \[s\],Step,Wellstream mass_flow \[kg/s\],Export mass_flow \[kg/s\],Choked pressure \[bar\]' \
    || fail "header: $(head -1 "$work/out/trends.csv")"
sed -n 2p "$work/out/trends.csv" | grep -q '^0,0,' || fail "no t0 row"
rows=$(wc -l <"$work/out/trends.csv")
[ "$rows" -eq 182 ] || fail "expected 182 lines (header, t0, 180 steps), got $rows"
# Feed and export mass flows agree on every row (no holdup in the line).
awk -F, 'NR > 1 { d = $3 - $4; if (d < 0) d = -d; if (d > 1e-6 * $3) { print "row " NR ": " $3 " vs " $4; exit 1 } }' \
    "$work/out/trends.csv" || fail "mass not conserved"
grep -q '"status": "completed"' "$work/out/run-summary.json" || fail "status"
grep -q '"steps": 180' "$work/out/run-summary.json" || fail "steps"
grep -q '"time_reached": 180.0' "$work/out/run-summary.json" || fail "time reached"
grep -q '"relative_error": 0.0' "$work/out/run-summary.json" || fail "mass balance"
[ ! -s "$work/err" ] || fail "warnings on a clean run: $(cat "$work/err")"

# Non-terminal progress lines at info level.
"$zefalink" run "$example" --output-dir "$work/out2" --duration 20 2>"$work/err2" || fail "duration run"
grep -q '^info: 50% complete, t=10 of 20 s, [0-9.]*x real time, [0-9]* s left$' "$work/err2" ||
    fail "progress: $(cat "$work/err2")"
[ "$(wc -l <"$work/out2/trends.csv")" -eq 22 ] || fail "--duration 20 rows"

# The saved case runs on from where it stopped.
"$zefalink" run "$work/out2/$(basename "$example")" --output-dir "$work/out2" --duration 5 \
    --log-level error || fail "saved case does not run"
sed -n 2p "$work/out2/trends.csv" | grep -q '^20,0,' || fail "saved case did not keep its time"

# An invalid case exits 65 and names the key.
sed 's/"methane": 0.78/"metane": 0.78/' "$example" >"$work/bad.case.json"
"$zefalink" run "$work/bad.case.json" --output-dir "$work/bad" 2>"$work/err3"
rc=$?
[ "$rc" -eq 65 ] || fail "invalid case exited $rc"
grep -q 'flowsheet.units\[0\].composition.metane: not a component of the flowsheet (did you mean "methane"?)' \
    "$work/err3" || fail "message: $(cat "$work/err3")"
[ ! -e "$work/bad/trends.csv" ] || fail "invalid case wrote trends"

sed 's/"cv": 0.08, "position": 60.0/"cv": 0.08, "postion": 60.0/' "$example" >"$work/bad2.case.json"
"$zefalink" run "$work/bad2.case.json" --output-dir "$work/bad" 2>"$work/err4"
[ $? -eq 65 ] || fail "unknown key accepted"
grep -q 'flowsheet.units\[1\].postion: unknown key (did you mean "position"?)' "$work/err4" \
    || fail "message: $(cat "$work/err4")"

# A stream nobody holds at a pressure: the starting state cannot be solved.
sed 's/"type": "sink", "inlet": "Export", "pressure": 2500.0/"type": "feed", "outlet": "Export", "mass_flow": 1.0/' \
    "$example" >"$work/bad3.case.json"
"$zefalink" run "$work/bad3.case.json" --output-dir "$work/bad" 2>"$work/err5"
[ $? -eq 65 ] || fail "unsolvable case: $(cat "$work/err5")"
grep -q 'already the outlet of another unit operation' "$work/err5" || fail "message: $(cat "$work/err5")"

# Without the sink nothing holds the export pressure: the starting state has
# no solution and the case is refused before anything runs.
grep -v '"Export terminal"' "$example" >"$work/bad4.case.json"
"$zefalink" run "$work/bad4.case.json" --output-dir "$work/bad" 2>"$work/err6"
[ $? -eq 65 ] || fail "unsolvable start: $(cat "$work/err6")"
grep -q 'starting state: pressure-flow network has 5 equations for 6 unknowns' "$work/err6" \
    || fail "message: $(cat "$work/err6")"

# Usage errors exit 64.
"$zefalink" run "$example" --until 5 --duration 5 2>/dev/null; [ $? -eq 64 ] || fail "until+duration"
"$zefalink" run "$work/plain.json" 2>/dev/null; [ $? -eq 64 ] || fail "not a .case.json"
"$zefalink" run "$example" --log-level loud 2>/dev/null; [ $? -eq 64 ] || fail "log level"
"$zefalink" run "$example" --until -5 --output-dir "$work/x" 2>/dev/null; [ $? -eq 64 ] || fail "end before start"
"$zefalink" run "$work/missing.case.json" 2>/dev/null; [ $? -eq 65 ] || fail "missing file"
"$zefalink" run "$example" --duration 1e9 --output-dir "$work/x" 2>/dev/null; [ $? -eq 64 ] || fail "endless run"
# A pipeline unit operation, bypassed, between two flow-specified streams: the
# extension is loaded and driven, and the line keeps its mass flow.
if [ -n "$pipeline_case" ]; then
    ZEFA_EXTENSION_LIBRARY="$extension" "$zefalink" run "$pipeline_case" --output-dir "$work/pipe" \
        --log-level error || fail "bypassed pipeline case"
    [ "$(wc -l <"$work/pipe/trends.csv")" -eq 12 ] || fail "pipeline case rows"
    sed -n 12p "$work/pipe/trends.csv" | grep -q '^10,10,12,12,12,' || fail "pipeline flows: $(sed -n 12p "$work/pipe/trends.csv")"
    grep -q '"name": "PIPE-100"' "$work/pipe/bypassed_pipeline.case.json" || fail "pipeline unit not saved"
    ZEFA_EXTENSION_LIBRARY="$work/none.so" "$zefalink" run "$pipeline_case" --output-dir "$work/pipe2" \
        --log-level error 2>"$work/err7"
    rc=$?
    [ "$rc" -eq 70 ] || fail "missing extension library exited $rc"
fi
# The server exit codes, through a stand-in extension library.
if [ -n "$fake_extension" ]; then
    sed 's/"ignoreZEFA": 1/"ignoreZEFA": 0, "notabug": 1/' "$pipeline_case" >"$work/noserver.case.json"
    ZEFA_EXTENSION_LIBRARY="$fake_extension" "$zefalink" run "$work/noserver.case.json" \
        --output-dir "$work/ns" 2>"$work/err8"
    rc=$?
    [ "$rc" -eq 69 ] || fail "unavailable server exited $rc: $(cat "$work/err8")"
    grep -q 'PIPE-100: the pipeline server is unavailable' "$work/err8" || fail "message: $(cat "$work/err8")"
    sed 's/"ignoreZEFA": 1/"ignoreZEFA": 0, "notabug": 2/' "$pipeline_case" >"$work/slow.case.json"
    ZEFA_EXTENSION_LIBRARY="$fake_extension" "$zefalink" run "$work/slow.case.json" \
        --output-dir "$work/slow" --log-level error
    rc=$?
    [ "$rc" -eq 75 ] || fail "time-out exited $rc"
    grep -q '"status": "timeout"' "$work/slow/run-summary.json" || fail "time-out status"
    grep -q '"steps": 3' "$work/slow/run-summary.json" || fail "time-out steps"
    [ "$(wc -l <"$work/slow/trends.csv")" -eq 5 ] || fail "time-out rows"
fi
echo "zefalink run: all checks passed"
