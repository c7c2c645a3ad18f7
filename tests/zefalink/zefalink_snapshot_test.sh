#!/bin/sh
# zefalink new, snapshot and show against a real zefa-server on a loopback port.
# Usage: zefalink_snapshot_test.sh ZEFALINK EXTENSION_LIBRARY ZEFA_SERVER EXAMPLES_DIR
zefalink=$1 examples=$4 failures=0
ZEFA_EXTENSION_LIBRARY=$2 ZEFA_SERVERPATH=$3
export ZEFA_EXTENSION_LIBRARY ZEFA_SERVERPATH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A port below 32768 that nothing listens on right now.
port=$((24000 + $$ % 8000))  # above the coupled tests' fixed ports
if command -v ss >/dev/null 2>&1; then
    while ss -ltn | grep -q ":$port "; do port=$((port + 1)); done
fi
mkdir "$work/models" "$work/case"
cp "$examples/flowline.inp" "$work/models/"
case_file="$work/case/line.case.json"

"$zefalink" new "$case_file" --model-dir "$work/models" --input flowline.inp \
    --set ServerName="$port" --set PortNumber="$port" --set zefaHost=127.0.0.1 \
    >"$work/new.out" 2>&1 || fail "new exited $?: $(cat "$work/new.out")"
grep -q "It is recommended to always use UPPER case" "$work/new.out" || fail "new: no recommendation"
# An existing case is not replaced.
"$zefalink" new "$case_file" >/dev/null 2>&1 && fail "new replaced an existing case"
"$zefalink" new "$work/case/x.case.json" --set PortNumber=abc >/dev/null 2>&1 &&
    fail "new accepted a non-number"
[ -e "$work/case/x.case.json" ] && fail "new saved a case after a bad setting"

"$zefalink" snapshot "$case_file" >"$work/snap.out" 2>&1 || fail "snapshot exited $?: $(cat "$work/snap.out")"
snapshot=$(cd "$work/models" && ls flowline*.snp 2>/dev/null)
echo "$snapshot" | grep -Eq '^flowline[0-9]{12}\.snp$' || fail "snapshot file named '$snapshot'"
ls "$work/case" | grep -q zefaserverstart && fail "a start script was left in the case folder"
# The server is gone (a zombie would show as Z, which ps -o stat lets us ignore).
sleep 0.2
if ps -eo stat=,args= | grep -v '^Z' | grep "zefa-server -server $port" | grep -qv grep; then
    fail "a zefa-server process is left"
fi

before=$(cksum <"$case_file")
"$zefalink" show "$case_file" >"$work/show.out" 2>&1 || fail "show exited $?"
[ "$(cksum <"$case_file")" = "$before" ] || fail "show changed the case file"
grep -qx "SnapshotFile = $snapshot" "$work/show.out" || fail "show: SnapshotFile"
grep -qx "InputFile = flowline.inp" "$work/show.out" || fail "show: InputFile"
grep -qx "PortNumber = $port" "$work/show.out" || fail "show: PortNumber"
grep -qx "phaseLabels = \[Gas, Oil, Water\]" "$work/show.out" || fail "show: phaseLabels"
grep -qx "Status: Requires an Outlet Stream (colour 42)" "$work/show.out" || fail "show: status line"
grep -qx "Condition 3 2: Requires an Outlet Stream" "$work/show.out" || fail "show: condition"
[ "$(grep -c ' = ' "$work/show.out")" -ge 97 ] || fail "show: not every variable"

[ "$failures" -eq 0 ] || { cat "$work/show.out"; exit 1; }
echo "zefalink new/snapshot/show: ok"
