#!/bin/sh
# docs/tutorial.md as a new user follows it: its sh blocks run in order, as
# written, in a fresh folder beside the build tree (only the tutorial's port
# is replaced by the test's own). Then what the tutorial says they produce is
# checked. Arguments: the tutorial, the build tree, a free port.
set -u
tutorial="$1"
build="$2"
port="$3"
work=$(mktemp -d)
fail() { echo "FAIL: $*" >&2; exit 1; }
cleanup() {
    for d in /proc/[0-9]*; do
        case "$(readlink "$d/cwd" 2>/dev/null)" in "$work"/*)
            grep -q '^zefa-server' "$d/comm" 2>/dev/null && kill -KILL "$(basename "$d")" ;;
        esac
    done
    rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/clone"
ln -s "$build" "$work/clone/build"
awk '/^```sh$/ { on = 1; next } /^```/ { on = 0; next } on' "$tutorial" |
    sed "s/16850/$port/g" >"$work/steps.sh"
[ "$(grep -c '\$z ' "$work/steps.sh")" -ge 5 ] || fail "no zefalink commands in the tutorial"
(cd "$work/clone" && sh -e "$work/steps.sh") >"$work/out" 2>&1 ||
    { cat "$work/out" >&2; fail "a tutorial command failed"; }

case_dir="$work/clone/mycase"
grep -q 'source WELLSTREAM: branch TIEBACK at 100 m' "$work/out" || fail "server --check summary"
grep -q 'inlet WELLSTREAM -> source WELLSTREAM: ok' "$work/out" || fail "check mapping"
for f in trends.csv trends.svg profile.svg run-summary.json tieback.case.json; do
    [ -s "$case_dir/run1/$f" ] || fail "run1 has no $f"
done
grep -q '"status": "completed"' "$case_dir/run1/run-summary.json" || fail "run1 status"
grep -q '"status": "completed"' "$case_dir/run2/run-summary.json" || fail "run2 status"
flow() {
    awk -F, -v t="$1" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == "ARRIVAL mass_flow [kg/s]") c = i; next }
        $1 == t { print $c }' "$case_dir/run2/trends.csv"
}
awk -v a="$(flow 30)" -v b="$(flow 70)" -v c="$(flow 200)" \
    'BEGIN { exit !(a > 1 && b < 0.9 * a && c < 0.01) }' ||
    fail "arrival flow at 30, 70, 200 s: $(flow 30), $(flow 70), $(flow 200)"
tr -d ' \n' <"$case_dir/tieback.case.json" | grep -q '"TCPTimeOut":10' || fail "set not saved"
echo "tutorial: ok"
