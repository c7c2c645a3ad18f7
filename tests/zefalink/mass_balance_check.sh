#!/bin/sh
# Succeeds when run-summary.json ($1) has a pipeline inventory change and a
# relative mass balance error within 1 %; prints the balance otherwise.
summary="$1"
awk -F': ' '
    /"inventory_change_kg"/ { gsub(/[ ,]/, "", $2); inv = $2 }
    /"relative_error"/ { gsub(/[ ,]/, "", $2); err = $2 }
    END {
        if (inv == "" || inv == "null" || err == "" || err == "null") exit 1
        if (inv + 0 == 0) exit 1
        e = err + 0; if (e < 0) e = -e
        exit !(e <= 0.01)
    }' "$summary" && exit 0
grep -A8 '"mass_balance"' "$summary" >&2
exit 1
