#!/bin/sh
# zefalink run starts the servers of all its pipeline units side by side
# before any unit connects. Each unit's server program here is a wrapper that
# marks its start and becomes zefa-server only once every unit's server has
# been started: started one after another, the first unit's connect would
# give up (TCPTimeOut 5 s) long before the second server started, and the run
# would fail. Arguments: zefalink, the examples folder, a port base (two
# ports are used), zefa-server.
set -u
zefalink="$1"
examples="$2"
base="$3"
server="$4"
work=$(mktemp -d)
fail() { echo "FAIL: $*" >&2; exit 1; }
our_servers() {
    for d in /proc/[0-9]*; do
        [ "$(readlink "$d/cwd" 2>/dev/null)" = "$work/ex" ] || continue
        grep -q -e '^zefa-server' -e '^server$' "$d/comm" 2>/dev/null && basename "$d"
    done
}
cleanup() {
    for p in $(our_servers); do kill -KILL "$p" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/ex" "$work/marks"
cat >"$work/server" <<EOF2
#!/bin/sh
# Arguments: -server NAME. Waits at most 20 s for the other unit's start.
touch "$work/marks/\$2"
i=0
while [ "\$(ls "$work/marks" | wc -l)" -lt 2 ]; do
    i=\$((i + 1)); [ "\$i" -lt 400 ] || exit 1
    sleep 0.05
done
exec "$server" "\$@"
EOF2
chmod 755 "$work/server"
cp "$examples"/well_flowline.inp "$examples"/two_flowlines.case.json "$work/ex/"
sed -i -e "s/16814/$base/g; s/16815/$((base + 1))/g" \
    -e "s|\"zefaModelPath\": \".\",|\"zefaModelPath\": \".\", \"zefaExe\": \"$work/server\",|" \
    "$work/ex/two_flowlines.case.json"
[ "$(grep -c "\"zefaExe\": \"$work/server\"" "$work/ex/two_flowlines.case.json")" -eq 2 ] \
    || fail "the case does not name the wrapper for both units"

"$zefalink" run "$work/ex/two_flowlines.case.json" --duration 5 --output-dir "$work/out" \
    --log-level warning 2>"$work/err"
rc=$?
[ "$rc" -eq 0 ] || { cat "$work/err" >&2; fail "side-by-side start: exit $rc"; }
[ "$(ls "$work/marks" | wc -l)" -eq 2 ] || fail "servers started: $(ls "$work/marks")"
grep -q '"status": "completed"' "$work/out/run-summary.json" || fail "status"
[ -z "$(our_servers)" ] || fail "a server was left running"
ls "$work/ex" | grep -q zefaserverstart && fail "a start script was left behind"
exit 0
