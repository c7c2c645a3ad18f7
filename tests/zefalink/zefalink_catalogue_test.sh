#!/bin/sh
# Checks the output and exit codes of `zefalink catalogue`.
# Usage: zefalink_catalogue_test.sh ZEFALINK EXPECTED_TSV
zefalink=$1 expected=$2 out=$(mktemp) err=$(mktemp) failures=0
trap 'rm -f "$out" "$err"' EXIT

# check RC STDOUT STDERR ARGS...  ("*" accepts any text on that stream)
check() {
    want_rc=$1 want_out=$2 want_err=$3
    shift 3
    "$zefalink" "$@" >"$out" 2>"$err"
    rc=$?
    if [ "$rc" != "$want_rc" ] || { [ "$want_out" != "*" ] && [ "$(cat "$out")" != "$want_out" ]; } ||
        { [ "$want_err" != "*" ] && [ "$(cat "$err")" != "$want_err" ]; }; then
        echo "FAIL: zefalink $* -> $rc, stdout '$(cat "$out")', stderr '$(cat "$err")'"
        failures=$((failures + 1))
    fi
}
expect() { "$@" || { echo "FAIL: $*"; failures=$((failures + 1)); }; }

t=$(printf '\t')
unknown="GetZEFAVarInfo: GetZEFAVariableInfo: Unknown ZEFA Variable"
check 0 "13450${t}ZZBOU${t}m${t}0" "" catalogue 13450
check 2 "" "$unknown" catalogue 13501
check 2 "" "$unknown" catalogue -25
check 2 "" "$unknown" catalogue 99999999999
for args in abc 12.5 "" "25 --all"; do check 64 "" "*" catalogue $args; done
check 0 "*" "" catalogue --help
expect grep -q -- "--all" "$out"
check 0 "*" "" --help
expect grep -q catalogue "$out"
check 0 "*" "" catalogue --all
expect cmp -s "$out" "$expected"
[ "$failures" = 0 ]
