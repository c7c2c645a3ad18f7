#!/bin/sh
# zefalink set and press: each change reaches the extension as the unit's view
# sends it, refused changes leave the case file as it was.
# Usage: zefalink_edit_test.sh ZEFALINK CASE EXTENSION_LIBRARY FAKE_EXTENSION_LIBRARY
zefalink=$1 source_case=$2 extension=$3 fake=$4 failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# The case with a plug table (one ticked row, then the blank row).
sed 's/"ignoreZEFA": 1,/"ignoreZEFA": 1, "PlugCheckBoxes": [0, null], "PlugLabels": ["PIG1", ""],/' \
    "$source_case" >"$work/base.case.json"
case_file="$work/line.case.json"
fresh() { cp "$work/base.case.json" "$case_file"; }

# ---- Through the recording stand-in: what the extension is given ----
export ZEFA_EXTENSION_LIBRARY="$fake"
fresh
"$zefalink" set "$case_file" TCPTimeOut=3 'PlugCheckBoxes[1]=1' 'PlugLabels[1]=PIG2' \
    Inlets=Export 'Outlets[0]=' ServerName= >"$work/set.out" 2>&1 ||
    fail "set exited $?: $(cat "$work/set.out")"
for line in \
    "changing TCPTimeOut row=-1 number=3 text=3 object=yes stored=empty running=0" \
    "changed TCPTimeOut row=-1 number=3 text=3 object=yes stored=3 running=0" \
    "changing PlugCheckBoxes row=1 number=1 text=1 object=yes stored=empty running=0" \
    "changed PlugCheckBoxes row=1 number=1 text=1 object=yes stored=1 running=0" \
    "changing PlugLabels row=1 number=empty text=PIG2 object=yes stored= running=0" \
    "changed PlugLabels row=1 number=empty text=PIG2 object=yes stored=PIG2 running=0" \
    "changing Inlets row=-1 number=empty text=Export object=yes stored=1 streams running=0" \
    "changed Inlets row=-1 number=empty text=Export object=yes stored=2 streams running=0" \
    "changing Outlets row=0 number=empty text= object=no stored=1 streams running=0" \
    "changed Outlets row=0 number=empty text= object=no stored=0 streams running=0" \
    "changed ServerName row=-1 number=empty text= object=yes stored= running=0"; do
    grep -qxF "$line" "$work/set.out" || fail "set: no line '$line'"
done
tr -d ' \n' <"$case_file" | grep -q '"Inlets":\["Wellstream","Export"\]' || fail "Inlets not saved"
tr -d ' \n' <"$case_file" | grep -q '"Outlets":\[\]' || fail "Outlets row not removed"
tr -d ' \n' <"$case_file" | grep -q '"PlugCheckBoxes":\[0.0,1.0\]' || fail "PlugCheckBoxes not saved"
tr -d ' \n' <"$case_file" | grep -q '"TCPTimeOut":3.0' || fail "TCPTimeOut not saved"

# Buttons are pressed in the order given, each a change of its command
# variable to 1; commands are not saved in the case.
fresh
"$zefalink" press "$case_file" AddTrend msgAddProfile msgRunZEFA >"$work/press.out" 2>&1 ||
    fail "press exited $?"
grep '^chang' "$work/press.out" | cut -d' ' -f1-2 | tr '\n' ' ' >"$work/order"
[ "$(cat "$work/order")" = "changing AddTrend changed AddTrend changing msgAddProfile changed msgAddProfile changing msgRunZEFA changed msgRunZEFA " ] ||
    fail "press order: $(cat "$work/order")"
grep -qxF "changed msgRunZEFA row=-1 number=1 text=1 object=yes stored=1 running=0" "$work/press.out" ||
    fail "press: wrapper of msgRunZEFA"
grep -q msgRunZEFA "$case_file" && fail "a command variable was saved"

# A change the extension refuses: its message is shown, nothing after it is
# made, the file stays byte for byte as it was, exit 1.
fresh
"$zefalink" set "$case_file" TCPTimeOut=9 ServerName=refuse TCPTimeOut=4 >"$work/refused.out" 2>&1
rc=$?
[ "$rc" -eq 1 ] || fail "refused set exited $rc"
cmp -s "$case_file" "$work/base.case.json" || fail "a refused set changed the case file"
grep -qx "fake: ServerName refused" "$work/refused.out" || fail "the extension's message is not shown"
grep -q "ServerName=refuse was refused" "$work/refused.out" || fail "no refusal line"
grep -q "changing TCPTimeOut row=-1 number=4" "$work/refused.out" && fail "an edit after the refusal was made"
[ "$(grep -c '^changed ServerName' "$work/refused.out")" -eq 0 ] || fail "VariableChanged after a refusal"
"$zefalink" press "$case_file" AddTrend --answer maybe >/dev/null 2>&1
[ $? -eq 64 ] || fail "a bad --answer is not a usage error"

# ---- The host's own refusals, and the extension's, with the real library ----
export ZEFA_EXTENSION_LIBRARY="$extension"
fresh
for edit in Bogus=1 Inlets=Nope 'Inlets[5]=Export' 'PlugCheckBoxes[7]=1' 'PlugCheckBoxes[0]=x' \
    TCPTimeOut=abc 'TCPTimeOut[0]=2' 'OutletMassFlows[0]=1' PortNumber=40000 PortNumber=0 \
    ServerName=23999 zefaModelPath=/no/such/folder; do
    "$zefalink" set "$case_file" TCPTimeOut=8 "$edit" >"$work/host.out" 2>&1
    rc=$?
    [ "$rc" -eq 1 ] || fail "set $edit exited $rc"
    cmp -s "$case_file" "$work/base.case.json" || fail "set $edit changed the case file"
done
"$zefalink" set "$case_file" Inlets=Nope 2>&1 | grep -q 'Inlets: there is no stream "Nope" in the case' ||
    fail "unknown stream message"
"$zefalink" set "$case_file" PortNumber=40000 2>&1 | grep -q 'a whole number from 1 to 32767' ||
    fail "port range message"
"$zefalink" set "$case_file" TCPTimeOt=3 2>&1 | grep -q '(did you mean "TCPTimeOut"?)' ||
    fail "no suggestion for a mistyped tag"
for usage in 'TCPTimeOut' '=1' 'Plug[x]=1' 'Plug[-1]=1' 'Plug[1=1'; do
    "$zefalink" set "$case_file" "$usage" >/dev/null 2>&1
    [ $? -eq 64 ] || fail "set $usage is not a usage error"
done
"$zefalink" press "$case_file" TCPTimeOut >/dev/null 2>&1
[ $? -eq 64 ] || fail "press of a plain variable is not a usage error"
# The extension's own validation: a communication time-out below 1 s.
"$zefalink" set "$case_file" TCPTimeOut=0.5 >"$work/tcp.out" 2>&1
rc=$?
[ "$rc" -eq 1 ] || fail "TCPTimeOut=0.5 exited $rc"
grep -q "Communication Time Out value must be greater than or equal to 1 second." "$work/tcp.out" ||
    fail "TCPTimeOut=0.5: no message"
cmp -s "$case_file" "$work/base.case.json" || fail "TCPTimeOut=0.5 changed the case file"
"$zefalink" set "$case_file" ServerName=23999 PortNumber=23999 zefaModelPath=. >/dev/null 2>&1 ||
    fail "a server port given as both ServerName and PortNumber was refused"

[ "$failures" -eq 0 ] || exit 1
echo "zefalink set/press: ok"
