#!/bin/sh
# Succeeds when run-summary.json ($1) has a pipeline inventory change, a
# relative mass balance error within 1 %, and the flows the pipelines report
# at their connections close with their inventory change within 0.5 %;
# prints the balance otherwise.
summary="$1"
awk -F': ' '
    function value(s) { gsub(/[ ,]/, "", s); return s }
    /"inventory_change_kg"/ { inv = value($2) }
    /"relative_error"/ { err = value($2) }
    /"pipeline_inflow_kg"/ { pin = value($2) }
    /"pipeline_outflow_kg"/ { pout = value($2) }
    /"pipeline_inventory_change_kg"/ { pinv = value($2) }
    END {
        if (inv == "" || inv == "null" || err == "" || err == "null") exit 1
        if (inv + 0 == 0) exit 1
        e = err + 0; if (e < 0) e = -e
        if (e > 0.01) exit 1
        if (pin == "") exit 1
        p = (pin - pout - pinv) / pin; if (p < 0) p = -p
        exit !(p <= 0.005)
    }' "$summary" && exit 0
grep -A10 '"mass_balance"' "$summary" >&2
exit 1
