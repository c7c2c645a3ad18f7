#!/bin/sh
# zefalink run with pipeline servers started over SSH, against a real OpenSSH
# server: sshd runs on a loopback port with throwaway host and user keys, and
# a temporary home's SSH configuration maps the alias "pipehost" to it. A unit
# naming "pipehost" as zefaHost runs coupled: the extension writes the local
# and the remote script, starts the server through ssh, steps it and stops it,
# leaving no process and no script behind. Then a case with one local and one
# remote unit, a remote server killed mid-run, an unknown host and a refused
# key. The test fails when sshd cannot be started: it never skips.
# Arguments: zefalink, the examples folder, a port base (two ports are used),
# the sshd port.
set -u
zefalink="$1"
examples="$2"
base="$3"
sshd_port="$4"
work=$(mktemp -d)
fail() {
    echo "FAIL: $*" >&2
    [ -s "$work/sshd.log" ] && sed 's/^/sshd: /' "$work/sshd.log" >&2
    exit 1
}

# Processes started for this test: servers working in our copy of the
# examples, and ssh clients of our configuration.
our_servers() {
    for d in /proc/[0-9]*; do
        [ "$(readlink "$d/cwd" 2>/dev/null)" = "$work/ex" ] || continue
        grep -q '^zefa-server' "$d/comm" 2>/dev/null && basename "$d"
    done
}
our_ssh_clients() {
    for d in /proc/[0-9]*; do
        grep -q '^ssh$' "$d/comm" 2>/dev/null || continue
        tr '\0' ' ' <"$d/cmdline" 2>/dev/null | grep -q "$work" && basename "$d"
    done
}
sshd_pid=
cleanup() {
    for p in $(our_servers) $(our_ssh_clients); do kill -KILL "$p" 2>/dev/null; done
    [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null && wait "$sshd_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# ---- sshd with its own configuration, keys and port.
sshd=$(command -v sshd || echo /usr/sbin/sshd)
[ -x "$sshd" ] || fail "sshd not found: install openssh-server (scripts/install-deps.sh)"
command -v ssh-keygen >/dev/null || fail "ssh-keygen not found: install openssh-client"
home="$work/home"
mkdir -p "$home/.ssh" "$work/bin" "$work/ex" || fail "cannot make the test folders"
chmod 700 "$home/.ssh"
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key" || fail "host key"
ssh-keygen -q -t ed25519 -N '' -f "$home/.ssh/id_ed25519" || fail "user key"
ssh-keygen -q -t ed25519 -N '' -f "$home/.ssh/unknown_key" || fail "second user key"
cp "$home/.ssh/id_ed25519.pub" "$work/authorized_keys"
cat >"$work/sshd_config" <<EOF
Port $sshd_port
ListenAddress 127.0.0.1
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PidFile none
StrictModes no
PermitRootLogin prohibit-password
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
PrintMotd no
LogLevel VERBOSE
EOF
# As root, sshd needs its privilege separation folder (the service makes it).
[ "$(id -u)" -ne 0 ] || mkdir -p /run/sshd || fail "cannot make /run/sshd"
"$sshd" -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
sshd_pid=$!

for alias in pipehost pipehost-nokey; do
    key=id_ed25519
    [ "$alias" = pipehost ] || key=unknown_key
    cat >>"$home/.ssh/config" <<EOF
Host $alias
  HostName 127.0.0.1
  Port $sshd_port
  IdentityFile $home/.ssh/$key
  IdentitiesOnly yes
  UserKnownHostsFile $home/.ssh/known_hosts
  StrictHostKeyChecking no
  BatchMode yes
  LogLevel ERROR
EOF
done
# OpenSSH reads ~/.ssh/config from the account's home in the password
# database, never from $HOME: this ssh on the PATH is the real one, told to
# read the temporary home's configuration.
cat >"$work/bin/ssh" <<EOF
#!/bin/sh
exec $(command -v ssh) -F "$home/.ssh/config" "\$@"
EOF
chmod 755 "$work/bin/ssh"
export HOME="$home" PATH="$work/bin:$PATH"

i=0
until ssh pipehost true 2>"$work/ssh-probe"; do
    kill -0 "$sshd_pid" 2>/dev/null || fail "sshd did not start"
    i=$((i + 1)); [ "$i" -lt 100 ] || fail "sshd does not answer: $(cat "$work/ssh-probe")"
    sleep 0.1
done
sessions() { grep -c 'Starting session: command' "$work/sshd.log"; }

# ---- The cases, from a copy of the examples with ports of this test's own.
cp "$examples"/*.inp "$examples"/well_flowline.case.json "$examples"/two_flowlines.case.json \
    "$work/ex/"
sed -i "s/16811/$base/g; s/\"zefaHost\": \"127.0.0.1\"/\"zefaHost\": \"pipehost\"/" \
    "$work/ex/well_flowline.case.json"
# Two units: PIPE-A stays on this computer, PIPE-B's server runs on "pipehost".
sed -i -e '/"zefaHost": "127.0.0.1",/{N;s/"zefaHost": "127.0.0.1",\(\n *"ServerName": "16815"\)/"zefaHost": "pipehost",\1/}' \
    -e "s/16814/$base/g; s/16815/$((base + 1))/g" "$work/ex/two_flowlines.case.json"
[ "$(grep -c '"zefaHost": "pipehost"' "$work/ex/two_flowlines.case.json")" -eq 1 ] \
    || fail "the two-unit case has no single remote unit"
sed 's/"pipehost"/"nosuchhost.invalid"/' "$work/ex/well_flowline.case.json" \
    >"$work/ex/unknown_host.case.json"
sed 's/"pipehost"/"pipehost-nokey"/' "$work/ex/well_flowline.case.json" \
    >"$work/ex/refused_key.case.json"
(cd "$work/ex" && cksum ./*.inp ./*.case.json >"$work/before")

nothing_left() {
    [ -z "$(our_servers)" ] || fail "$1: a server was left running"
    [ -z "$(our_ssh_clients)" ] || fail "$1: an ssh process was left running"
    ls "$work/ex" | grep -q zefaserverstart && fail "$1: a start script was left behind"
    (cd "$work/ex" && cksum ./*.inp ./*.case.json) | cmp -s - "$work/before" || fail "$1: the case folder changed"
}

# ---- One remote unit: started over ssh, stepped, stopped.
before=$(sessions)
"$zefalink" run "$work/ex/well_flowline.case.json" --duration 20 --output-dir "$work/one" \
    --log-level warning 2>"$work/err-one"
rc=$?
[ "$rc" -eq 0 ] || { cat "$work/err-one" >&2; fail "remote unit: exit $rc"; }
[ "$(sessions)" -eq $((before + 1)) ] || fail "the server was not started through sshd"
grep -q '"status": "completed"' "$work/one/run-summary.json" || fail "remote unit: status"
[ "$(wc -l <"$work/one/trends.csv")" -eq 22 ] || fail "remote unit: rows"
tail -1 "$work/one/trends.csv" | grep -q -- '-32767' && fail "remote unit: empty results"
nothing_left "remote unit"

# ---- Two units, one local and one remote.
before=$(sessions)
"$zefalink" run "$work/ex/two_flowlines.case.json" --duration 20 --output-dir "$work/two" \
    --log-level warning 2>"$work/err-two"
rc=$?
[ "$rc" -eq 0 ] || { cat "$work/err-two" >&2; fail "local and remote unit: exit $rc"; }
[ "$(sessions)" -eq $((before + 1)) ] || fail "two units: not exactly one start through sshd"
grep -q '"status": "completed"' "$work/two/run-summary.json" || fail "two units: status"
header=$(head -1 "$work/two/trends.csv")
for unit in PIPE-A PIPE-B; do
    echo "$header" | grep -q "$unit RMTOT" || fail "two units: no trend of $unit"
done
tail -1 "$work/two/trends.csv" | grep -q -- '-32767' && fail "two units: empty results"
nothing_left "local and remote unit"

# ---- The remote server killed mid-run: exit 75 and one time-out line.
"$zefalink" run "$work/ex/well_flowline.case.json" --duration 100000 --output-dir "$work/killed" \
    --log-level warning 2>"$work/err-killed" &
run=$!
i=0
while [ -z "$(our_servers)" ]; do
    i=$((i + 1)); [ "$i" -lt 400 ] || fail "no remote server started"
    sleep 0.05
done
sleep 1.5
for p in $(our_servers); do kill -KILL "$p"; done
wait "$run"
rc=$?
[ "$rc" -eq 75 ] || { cat "$work/err-killed" >&2; fail "killed remote server: exit $rc"; }
[ "$(grep -c 'ZEFA did not finish its time step' "$work/err-killed")" -eq 1 ] \
    || fail "time-out lines: $(cat "$work/err-killed")"
grep -q '"status": "timeout"' "$work/killed/run-summary.json" || fail "killed: status"
[ "$(wc -l <"$work/killed/trends.csv")" -gt 2 ] || fail "killed: the rows recorded were lost"
nothing_left "killed remote server"

# ---- The remote server stopped mid-run (silent, its connection open): the
# step times out, and the run's ssh ends with the run although the server it
# started cannot end (that machine's business; here it is killed after).
sed 's/"TimeStepTimeOut": 10/"TimeStepTimeOut": 1/' "$work/ex/well_flowline.case.json" \
    >"$work/ex/silent.case.json"
"$zefalink" run "$work/ex/silent.case.json" --duration 100000 --output-dir "$work/silent" \
    --log-level warning 2>"$work/err-silent" &
run=$!
i=0
while [ -z "$(our_servers)" ]; do
    i=$((i + 1)); [ "$i" -lt 400 ] || fail "no remote server started"
    sleep 0.05
done
sleep 1.5
for p in $(our_servers); do kill -STOP "$p"; done
wait "$run"
rc=$?
rm "$work/ex/silent.case.json"
[ "$rc" -eq 75 ] || { cat "$work/err-silent" >&2; fail "silent remote server: exit $rc"; }
[ -z "$(our_ssh_clients)" ] || { cat "$work/err-silent" >&2; fail "the run's ssh outlived the run"; }
for p in $(our_servers); do kill -KILL "$p"; done
sleep 0.2
nothing_left "silent remote server"

# ---- ssh fails: an unknown host, a key the server refuses. The run ends at
# once as a server that cannot be reached, naming why.
for fault in unknown_host refused_key; do
    "$zefalink" run "$work/ex/$fault.case.json" --duration 20 --output-dir "$work/$fault" \
        --log-level warning 2>"$work/err-$fault"
    rc=$?
    [ "$rc" -eq 69 ] || { cat "$work/err-$fault" >&2; fail "$fault: exit $rc"; }
    grep -q "Could not connect to [a-z.-]* on Port: $base" "$work/err-$fault" \
        || fail "$fault: no connect message: $(cat "$work/err-$fault")"
    nothing_left "$fault"
done
grep -q 'Could not resolve hostname nosuchhost.invalid' "$work/err-unknown_host" \
    || fail "unknown host: ssh's reason is missing: $(cat "$work/err-unknown_host")"
grep -q 'Permission denied' "$work/err-refused_key" \
    || fail "refused key: ssh's reason is missing: $(cat "$work/err-refused_key")"
grep -q 'server start on pipehost-nokey ended with exit status 255' "$work/err-refused_key" \
    || fail "refused key: the start's end is not reported: $(cat "$work/err-refused_key")"
exit 0
