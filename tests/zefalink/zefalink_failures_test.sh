#!/bin/sh
# zefalink run when things go wrong, each fault against real pipeline servers:
# the root cause is the last line on stderr with its documented exit code, a
# server the run did not start is never used or stopped, every signal ends the
# run with its rows and its server stopped, hostile case files fail cleanly,
# and a failure at the end is reported. Arguments: zefalink, the examples
# folder, the zefa-server program, a port base (one port is used).
set -u
zefalink="$1"
examples="$2"
server="$3"
base="${4:-23851}"
work=$(mktemp -d)
fail() { echo "FAIL: $*" >&2; exit 1; }

# Servers whose working folder lies in our folder: the ones this test caused.
our_servers() {
    for d in /proc/[0-9]*; do
        case "$(readlink "$d/cwd" 2>/dev/null)" in "$work"*) ;; *) continue ;; esac
        grep -q '^zefa-server' "$d/comm" 2>/dev/null && basename "$d"
    done
}
cleanup() {
    for p in $(our_servers); do kill -KILL "$p" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/ex" "$work/other"
cp "$examples"/*.inp "$examples"/*.case.json "$work/ex/"
sed -i "s/16811/$base/g" "$work/ex"/*.case.json
case="$work/ex/well_flowline.case.json"

wait_for_server() {
    i=0
    while [ -z "$(our_servers)" ]; do
        i=$((i + 1)); [ "$i" -lt 300 ] || fail "no server started"
        sleep 0.05
    done
    sleep 1.5
}

# ---- Start failures: exit code and last line, one row each.
# A model with a syntax error on line 7.
sed 's/well_flowline.inp/broken.inp/' "$case" >"$work/ex/broken.case.json"
sed '7s/.*/BOGUS LABEL = X/' "$work/ex/well_flowline.inp" >"$work/ex/broken.inp"
sed 's/"InputFile": "well_flowline.inp"/"InputFile": "missing.inp"/' "$case" >"$work/ex/missing.case.json"
sed 's/"boolUseAutoStart": 1/"boolUseAutoStart": 0/' "$case" >"$work/ex/manual.case.json"
# A server program that listens and then never answers (started as
# "-server PORT ..."): it accepts the connection and reads nothing.
cat >"$work/mute-server" <<'EOF'
#!/bin/sh
exec python3 -c '
import socket, sys, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(4)
conns = []
deadline = time.time() + 60
while time.time() < deadline:
    s.settimeout(max(0.1, deadline - time.time()))
    try:
        conns.append(s.accept()[0])
    except OSError:
        pass
' "$2"
EOF
chmod +x "$work/mute-server"
sed 's/"TCPTimeOut": 5/"TCPTimeOut": 1/' "$case" >"$work/ex/mute.case.json"

# name | case | server program | exit code | last line (grep pattern)
while IFS='|' read -r name file program code pattern; do
    [ -n "$name" ] || continue
    ZEFA_SERVERPATH="$program" "$zefalink" run "$work/ex/$file" --duration 5 \
        --output-dir "$work/out-$name" --log-level warning 2>"$work/err-$name"
    rc=$?
    [ "$rc" -eq "$code" ] || { cat "$work/err-$name" >&2; fail "$name: exit $rc, not $code"; }
    tail -1 "$work/err-$name" | grep -q "$pattern" \
        || fail "$name: last line: $(tail -1 "$work/err-$name")"
    grep -q '"status": "failed"' "$work/out-$name/run-summary.json" || fail "$name: no summary"
    grep -q 'pressure-flow network' "$work/err-$name" && fail "$name: the network message"
    for p in $(our_servers); do kill -KILL "$p"; done
done <<EOF
missing model|missing.case.json|$server|65|^error: PIPE-100: the model file ".*/missing.inp" (InputFile) does not exist$
syntax error|broken.case.json|$server|65|^error: PIPE-100: the pipeline server refused the model ".*/broken.inp": broken.inp:7: 
no server program|well_flowline.case.json|$work/none/zefa-server|69|^error: PIPE-100: the server program ".*/none/zefa-server" (zefaExe) does not exist$
not executable|well_flowline.case.json|$work/ex/well_flowline.inp|69|(zefaExe) is not executable$
auto-start off|manual.case.json|$server|69|auto-start is off (boolUseAutoStart).*none listens on 127.0.0.1 port $base$
never answers|mute.case.json|$work/mute-server|69|^error: PIPE-100: the pipeline server on 127.0.0.1 port $base does not answer$
EOF

# ---- A port held by a server the run did not start: refused, left running.
(cd "$work/other" && exec "$server" -server "$base" 2>/dev/null) &
other=$!
sleep 0.5
ZEFA_SERVERPATH="$server" "$zefalink" run "$case" --duration 5 --output-dir "$work/held" \
    --log-level warning 2>"$work/err-held"
rc=$?
[ "$rc" -eq 69 ] || { cat "$work/err-held" >&2; fail "held port: exit $rc"; }
tail -1 "$work/err-held" | grep -q "Port $base is held by another program (zefa-server, process $other, folder $work/other)" \
    || fail "held port: $(tail -1 "$work/err-held")"
kill -0 "$other" || fail "the other server was stopped"
[ -z "$(ls "$work/other")" ] || fail "the run wrote into the other server's folder: $(ls "$work/other")"
kill "$other"; wait "$other"

# ---- A second run of the same case at once is refused the same way.
ZEFA_SERVERPATH="$server" "$zefalink" run "$case" --duration 100000 --output-dir "$work/first" \
    --log-level error 2>/dev/null &
first=$!
wait_for_server
ZEFA_SERVERPATH="$server" "$zefalink" run "$case" --duration 5 --output-dir "$work/second" \
    --log-level warning 2>"$work/err-second"
rc=$?
[ "$rc" -eq 69 ] || fail "second run: exit $rc"
tail -1 "$work/err-second" | grep -q "Port $base is held by another program (zefa-server" \
    || fail "second run: $(tail -1 "$work/err-second")"
kill -0 "$first" || fail "the second run ended the first"
kill -INT "$first"; wait "$first"

# ---- Signals: each ends the run like Ctrl-C, rows and summary kept, no server left.
for sig in HUP PIPE; do
    ZEFA_SERVERPATH="$server" "$zefalink" run "$case" --duration 100000 \
        --output-dir "$work/sig-$sig" --log-level error 2>/dev/null &
    run=$!
    wait_for_server
    kill -"$sig" "$run"
    wait "$run"
    rc=$?
    [ "$rc" -eq 130 ] || fail "SIG$sig: exit $rc"
    grep -q "\"stop_cause\": \"interrupted by SIG$sig\"" "$work/sig-$sig/run-summary.json" \
        || fail "SIG$sig: summary"
    [ "$(wc -l <"$work/sig-$sig/trends.csv")" -ge 2 ] || fail "SIG$sig: rows lost"
    [ -z "$(our_servers)" ] || fail "SIG$sig left the server running"
done
# A reader that goes away: zefalink run ... | head -1
( ZEFA_SERVERPATH="$server" "$zefalink" run "$case" --duration 100000 \
    --output-dir "$work/piped" --log-level info 2>&1; echo $? >"$work/piped-rc" ) | head -c 1 >/dev/null
[ "$(cat "$work/piped-rc")" = 130 ] || fail "closed pipe: exit $(cat "$work/piped-rc")"
[ -s "$work/piped/trends.csv" ] || fail "closed pipe: trends lost"
[ -z "$(our_servers)" ] || fail "closed pipe left the server running"

# Ctrl-C while the server is stopped ends the run within two seconds.
ZEFA_SERVERPATH="$server" "$zefalink" run "$case" --duration 100000 --output-dir "$work/frozen" \
    --log-level error 2>/dev/null &
run=$!
wait_for_server
for p in $(our_servers); do kill -STOP "$p"; done
sleep 0.5
kill -INT "$run"
i=0
while kill -0 "$run" 2>/dev/null; do
    i=$((i + 1)); [ "$i" -le 20 ] || fail "Ctrl-C with a stopped server: still running after 2 s"
    sleep 0.1
done
wait "$run"
[ -z "$(our_servers)" ] || fail "Ctrl-C with a stopped server left it behind"

# A run killed without a word: its server ends once the connection is gone.
ZEFA_SERVERPATH="$server" "$zefalink" run "$case" --duration 100000 --output-dir "$work/killed" \
    --log-level error 2>/dev/null &
run=$!
wait_for_server
kill -KILL "$run"; wait "$run" 2>/dev/null
i=0
while [ -n "$(our_servers)" ]; do
    i=$((i + 1)); [ "$i" -le 100 ] || fail "the server of a killed run is still running"
    sleep 0.05
done

# ---- Hostile case files: nesting 30,000 deep fails cleanly, exit 65.
awk 'BEGIN { s = ""; for (i = 0; i < 30000; i++) s = s "["; t = ""; for (i = 0; i < 30000; i++) t = t "]"; print s t }' >"$work/deep"
sed "s/\"format\": \"zefalink-case\",/\"format\": \"zefalink-case\", \"script\": $(cat "$work/deep"),/" "$case" \
    >"$work/ex/deep.case.json"
for command in run show; do
    "$zefalink" "$command" "$work/ex/deep.case.json" >/dev/null 2>"$work/err-deep"
    rc=$?
    [ "$rc" -eq 65 ] || fail "deep nesting, $command: exit $rc"
    grep -q 'nested more than 64 deep' "$work/err-deep" || fail "deep nesting: $(cat "$work/err-deep")"
done

# ---- A snapshot that cannot be saved at the end: an error and a nonzero exit.
# (A model file name without an extension gives no snapshot name.)
cp "$work/ex/well_flowline.inp" "$work/ex/wellflowline"
sed 's/"InputFile": "well_flowline.inp"/"InputFile": "wellflowline"/' "$case" >"$work/ex/nosnap.case.json"
ZEFA_SERVERPATH="$server" "$zefalink" run "$work/ex/nosnap.case.json" --duration 5 \
    --output-dir "$work/nosnap" --log-level warning 2>"$work/err-nosnap"
rc=$?
[ "$rc" -eq 73 ] || { cat "$work/err-nosnap" >&2; fail "unsaved snapshot: exit $rc"; }
grep -q '^error: PIPE-100: the snapshot was not saved' "$work/err-nosnap" || fail "unsaved: $(cat "$work/err-nosnap")"
grep -q 'the snapshot was not saved' "$work/nosnap/run-summary.json" || fail "unsaved: summary"
exit 0
