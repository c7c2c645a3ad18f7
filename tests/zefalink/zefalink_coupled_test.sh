#!/bin/sh
# zefalink run coupled to real pipeline servers: every shipped example runs
# from a copy of the examples folder, a server killed or stopped mid-run ends
# the run with exit 75 and one time-out line, and an interrupt stops the
# server the run started. Arguments: zefalink, the examples folder, a port
# base (five consecutive free ports are used).
set -u
zefalink="$1"
examples="$2"
base="${3:-23811}"
work=$(mktemp -d)
fail() { echo "FAIL: $*" >&2; exit 1; }

# Servers whose working folder lies in our copy: the ones this test started.
our_servers() {
    for d in /proc/[0-9]*; do
        [ "$(readlink "$d/cwd" 2>/dev/null)" = "$work/ex" ] || continue
        grep -q '^zefa-server' "$d/comm" 2>/dev/null && basename "$d"
    done
}
cleanup() {
    for p in $(our_servers); do kill -KILL "$p" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

# A copy, as from a fresh clone, with ports of this test's own.
mkdir "$work/ex"
cp "$examples"/*.inp "$examples"/*.case.json "$work/ex/"
for n in 1 2 3 4 5; do
    sed -i "s/1681$n/$((base + n - 1))/g" "$work/ex"/*.case.json
done

wait_for_server() {
    i=0
    while [ -z "$(our_servers)" ]; do
        i=$((i + 1)); [ "$i" -lt 300 ] || fail "no server started"
        sleep 0.05
    done
    # Past the start: the model is read and the steps have begun.
    sleep 1.5
}

# ---- Every example runs to completion (its own end time, 120 s).
for case in well_flowline well_flowline_direct choke_control two_flowlines; do
    out="$work/out-$case"
    "$zefalink" run "$work/ex/$case.case.json" --output-dir "$out" \
        --log-level warning --plot 2>"$work/err-$case"
    rc=$?
    [ "$rc" -eq 0 ] || { cat "$work/err-$case" >&2; fail "$case exited $rc"; }
    [ "$(wc -l <"$out/trends.csv")" -eq 122 ] || fail "$case: rows"
    grep -q '"status": "completed"' "$out/run-summary.json" || fail "$case: status"
    grep -q '<svg' "$out/trends.svg" || fail "$case: trends.svg"
    [ -z "$(our_servers)" ] || fail "$case left a server running"
    # The boundary results of the pipeline are recorded beside the host's
    # variables and hold real numbers once the first step is done.
    header=$(head -1 "$out/trends.csv")
    echo "$header" | grep -q 'PIPE-[A-Z0-9]* IN pressure \[bar\],PIPE-[A-Z0-9]* IN gas flow \[kg/s\],PIPE-[A-Z0-9]* IN oil flow \[kg/s\],PIPE-[A-Z0-9]* IN water flow \[kg/s\],PIPE-[A-Z0-9]* IN temperature \[C\]' \
        || fail "$case: boundary result columns: $header"
    echo "$header" | grep -q 'PIPE-[A-Z0-9]* PT POS-IN \[bar\]' || fail "$case: trend column"
    echo "$header" | grep -q 'PIPE-[A-Z0-9]* RMTOT \[kg\]' || fail "$case: trend without position"
    # One unit per quantity, every column headed with one, no empty markers:
    # a value not known yet is an empty field.
    echo "$header" | grep -q '\[Pa\]\|\[kPa\]\|\[N/m\|°C\|\[-\]' && fail "$case: mixed units: $header"
    [ "$(echo "$header" | tr ',' '\n' | grep -vc '\]$')" -eq 1 ] || fail "$case: a column without unit"
    grep -q -- '-32767' "$out/trends.csv" && fail "$case: empty markers in trends.csv"
    sed -n 2p "$out/trends.csv" | grep -q ',,' || fail "$case: results before the first step are not empty"
    # Feeds - sinks - the pipelines' inventory change closes within 1 %.
    sh "$(dirname "$0")/mass_balance_check.sh" "$out/run-summary.json" || fail "$case: mass balance"
    # A clean start: no connection's flow changes sign, and no boundary
    # pressure leaves the range between its start and end by more than 5 %
    # of that range (results the pipeline has not given yet are skipped).
    awk -F, -v name="$case" '
        NR == 1 { for (i = 3; i <= NF; i++) {
                      if ($i ~ /(mass_flow|(gas|oil|water) flow) \[/) flow[i] = 1
                      if ($i ~ /(OUT pressure \[|Arrival.* pressure \[)/) pres[i] = 1
                      head[i] = $i }
                  next }
        { for (i in flow) if ($i != "") { if ($i > 1e-6) pos[i] = 1; if ($i < -1e-6) neg[i] = 1 }
          for (i in pres) if ($i != "") { if (!(i in first)) first[i] = $i; last[i] = $i
              if (!(i in lo) || $i < lo[i]) lo[i] = $i; if (!(i in hi) || $i > hi[i]) hi[i] = $i } }
        END { bad = 0
              for (i in flow) if (pos[i] && neg[i]) { print name ": " head[i] " reverses"; bad = 1 }
              for (i in pres) { a = first[i] < last[i] ? first[i] : last[i]
                  b = first[i] < last[i] ? last[i] : first[i]; m = 0.05 * (b - a) + 1e-9 * b
                  if (lo[i] < a - m || hi[i] > b + m) {
                      print name ": " head[i] " " lo[i] ".." hi[i] " outside " a ".." b; bad = 1 } }
              exit bad }' "$out/trends.csv" >&2 || fail "$case: the start is not clean"
done
# The profile picture of each unit, drawn from the profile the extension fetched.
grep -q 'FLOWLINE' "$work/out-well_flowline/profile.svg" || fail "profile title"
# The profile at the start and at the end, labelled with their times, in the
# outputs' pressure unit, with the branch's elevation beneath.
for text in 'FLOWLINE: PT \[bar\]' '>t = 0 s<' '>t = 120 s<' 'Elevation of FLOWLINE'; do
    grep -q "$text" "$work/out-well_flowline/profile.svg" || fail "profile.svg: no $text"
done
[ "$(grep -c '<polyline' "$work/out-well_flowline/profile.svg")" -eq 3 ] || fail "profile lines"
[ -s "$work/out-two_flowlines/profile-PIPE-A.svg" ] || fail "no profile of PIPE-A"
[ -s "$work/out-two_flowlines/profile-PIPE-B.svg" ] || fail "no profile of PIPE-B"
cmp -s "$work/out-two_flowlines/profile-PIPE-A.svg" "$work/out-two_flowlines/profile-PIPE-B.svg" \
    && fail "the two units share one profile plot"

# A trend moved during the run (before the step from 5 s) gets a column of its
# own from its first value at 6 s; the old column stays empty from then on.
"$zefalink" run "$work/ex/well_flowline.case.json" --duration 10 --output-dir "$work/moved" \
    --at '5:TrendPositions[0]=POS-OUT' --log-level error || fail "moved trend run"
awk -F, 'NR == 1 { for (i = 1; i <= NF; i++) { if ($i == "PIPE-100 PT POS-IN [bar]") a = i
                                              if ($i == "PIPE-100 PT POS-OUT from 6 s [bar]") b = i }
                  if (!a || !b) exit 1; next }
         $1 <= 5 && ($a == "" || $b != "") { exit 1 }
         $1 > 5 && ($a != "" || $b == "") { exit 1 }' "$work/moved/trends.csv" \
    || fail "moved trend columns: $(cut -d, -f1,18- "$work/moved/trends.csv")"

# Numbered profiles at each refresh.
"$zefalink" run "$work/ex/well_flowline.case.json" --duration 20 --profile-every 5 \
    --output-dir "$work/every" --log-level error || fail "--profile-every run"
for t in 5 10 15 20; do [ -s "$work/every/profile-$t.svg" ] || fail "no profile-$t.svg"; done
[ "$(ls "$work/every" | grep -c '^profile-')" -eq 4 ] || fail "profile pictures: $(ls "$work/every")"
# A second run into the folder leaves no picture of the first behind, and the
# snapshot that the first saved case named gives way to the new one.
first_snapshot=$(sed -n 's/.*"SnapshotFile": "\(.*\)".*/\1/p' "$work/every/well_flowline.case.json")
[ -s "$work/ex/$first_snapshot" ] || fail "no snapshot $first_snapshot in the model folder"
sleep 1  # snapshot names carry the time to the second
"$zefalink" run "$work/ex/well_flowline.case.json" --duration 5 --output-dir "$work/every" \
    --log-level error || fail "second run into the folder"
[ "$(ls "$work/every" | grep -c '^profile-')" -eq 0 ] || fail "stale pictures: $(ls "$work/every")"
second_snapshot=$(sed -n 's/.*"SnapshotFile": "\(.*\)".*/\1/p' "$work/every/well_flowline.case.json")
[ -s "$work/ex/$second_snapshot" ] || fail "no snapshot $second_snapshot in the model folder"
[ -e "$work/ex/$first_snapshot" ] && fail "the replaced snapshot $first_snapshot piles up"

# ---- A server killed mid-run: exit 75 and one time-out line, not a hang.
"$zefalink" run "$work/ex/well_flowline.case.json" --duration 100000 --output-dir "$work/killed" \
    --log-level warning 2>"$work/err-killed" &
run=$!
wait_for_server
for p in $(our_servers); do kill -KILL "$p"; done
wait "$run"
rc=$?
[ "$rc" -eq 75 ] || { cat "$work/err-killed" >&2; fail "killed server: exit $rc"; }
[ "$(grep -c 'ZEFA did not finish its time step' "$work/err-killed")" -eq 1 ] \
    || fail "time-out lines: $(cat "$work/err-killed")"
grep -q '"status": "timeout"' "$work/killed/run-summary.json" || fail "timeout status"
[ "$(wc -l <"$work/killed/trends.csv")" -gt 2 ] || fail "the rows recorded were lost"

# ---- A silent server (stopped, connection open): the step times out.
sed 's/"TimeStepTimeOut": 10/"TimeStepTimeOut": 1/' "$work/ex/well_flowline.case.json" \
    >"$work/ex/silent.case.json"
cp "$work/ex/silent.case.json" "$work/silent.before"
"$zefalink" run "$work/ex/silent.case.json" --duration 100000 --output-dir "$work/ex" \
    --log-level warning 2>"$work/err-silent" &
run=$!
wait_for_server
for p in $(our_servers); do kill -STOP "$p"; done
wait "$run"
rc=$?
[ "$rc" -eq 75 ] || { cat "$work/err-silent" >&2; fail "silent server: exit $rc"; }
[ "$(grep -c 'ZEFA did not finish its time step' "$work/err-silent")" -eq 1 ] \
    || fail "time-out lines: $(cat "$work/err-silent")"
[ -z "$(our_servers)" ] || fail "the silent server was left behind"
cmp -s "$work/silent.before" "$work/ex/silent.case.json" || fail "a failed run rewrote its case"

# ---- Ctrl-C: the step in progress ends, the server is stopped, the rows are kept.
"$zefalink" run "$work/ex/well_flowline.case.json" --duration 100000 --output-dir "$work/int" \
    --log-level warning 2>"$work/err-int" &
run=$!
wait_for_server
kill -INT "$run"
wait "$run"
rc=$?
[ "$rc" -eq 130 ] || { cat "$work/err-int" >&2; fail "interrupt: exit $rc"; }
grep -q '"status": "interrupted"' "$work/int/run-summary.json" || fail "interrupted status"
[ "$(wc -l <"$work/int/trends.csv")" -ge 2 ] || fail "interrupt lost the rows"
[ -z "$(our_servers)" ] || fail "the interrupted run left its server running"
exit 0
