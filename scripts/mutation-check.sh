#!/usr/bin/env bash
# Mutation check of the extension's core: applies each deliberate fault of
# scripts/mutations.txt on its own to the source tree, rebuilds the unit test
# programs and runs them, and prints the faults that no test caught. Exit 0
# when every fault was caught, 1 when one survived, 2 when the list or the
# build is broken.
#
#   scripts/mutation-check.sh [--build DIR] [--list FILE] [--only N[,N...]]
#
# The build folder (default build/) must be configured already; ccache keeps
# the rebuild of the restored file cheap. A fault is applied in place and the
# file is put back by a trap on every exit, including Ctrl-C; do not edit the
# tree's C++ files while the check runs, since every rebuild compiles them.
#
# A fault's "find" text must occur exactly once in its file. One that no
# longer matches, or matches more than once, is reported as an ERROR (and the
# run exits 2): it is never skipped silently, so that moved or rewritten code
# shows up here and the list is brought along.
#
# What runs: the C++ unit test programs of the extension (extension, coupling,
# trends, server, client and protocol tests), each with --gtest_fail_fast and
# the cheapest first, stopping at the first that fails. These are the tests
# ctest runs for src/. The zefalink shell tests are left out: each drives
# whole coupled runs through the command-line tool and together they take
# minutes per fault, while every fault listed here is within reach of the unit
# tests. Run the full ctest suite on its own for those. One fault costs one
# rebuild and a test run: 15 to 60 s each, 20 to 30 minutes for the list on a
# busy two-core machine.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
list="$top/scripts/mutations.txt"
only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --list) list=$2; shift 2 ;;
    --only) only=",$2,"; shift 2 ;;
    -h|--help) sed -n '2,/^set /p' "$0" | sed '$d'; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
[ -f "$build/build.ninja" ] || [ -f "$build/Makefile" ] || {
  echo "no configured build in $build (run cmake first)" >&2
  exit 2
}

# Test programs, cheapest first: target name and path under the build folder.
programs=(
  "zefa_protocol_tests:tests/client/zefa_protocol_tests"
  "extension_test:tests/extension/extension_test"
  "trends_test:tests/trends/trends_test"
  "coupling_test:tests/coupling/coupling_test"
  "server_test:tests/server/server_test"
  "zefa_client_tests:tests/client/zefa_client_tests"
)
targets=()
for p in "${programs[@]}"; do targets+=("${p%%:*}"); done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zefa-mutation.XXXXXX")
active=""  # the file holding a fault right now
restore() {
  if [ -n "$active" ]; then
    cp "$scratch/original" "$top/$active" && active=""
  fi
}
cleanup() {
  restore
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

build_all() {
  cmake --build "$build" --target "${targets[@]}" >"$scratch/build.log" 2>&1
}
# Prints the first program that fails; returns 1 when one did.
run_suite() {
  local p name path
  for p in "${programs[@]}"; do
    name=${p%%:*}
    path="$build/${p#*:}"
    if ! timeout 300 "$path" --gtest_fail_fast --gtest_brief=1 >"$scratch/test.log" 2>&1; then
      echo "$name: $(grep -m1 -E '^\[  FAILED  \]' "$scratch/test.log" | sed 's/^\[  FAILED  \] //')"
      return 1
    fi
  done
  return 0
}

# Applies field 2 -> field 3 of a row to a file; exits 3 when the text is not
# there exactly once.
apply() {
  python3 - "$1" "$2" "$3" <<'PY'
import sys
path, find, repl = sys.argv[1:4]
unescape = lambda s: s.replace("\\n", "\n").replace("\\t", "\t")
find, repl = unescape(find), unescape(repl)
text = open(path, encoding="utf-8").read()
n = text.count(find)
if n != 1:
    print(f"found {n} times", end="")
    sys.exit(3)
open(path, "w", encoding="utf-8").write(text.replace(find, repl))
PY
}

start=$(date +%s)
echo "Building the unmutated tree and running the unit tests once..."
if ! build_all; then tail -20 "$scratch/build.log"; echo "the unmutated tree does not build"; exit 2; fi
if ! failed=$(run_suite); then echo "the unmutated tree fails its tests: $failed"; exit 2; fi

n=0 tried=0 caught=0 survived=() errors=()
while IFS=$'\t' read -r file find repl what || [ -n "$file" ]; do
  case "$file" in ''|'#'*) continue ;; esac
  n=$((n + 1))
  [ -n "$only" ] && [[ "$only" != *",$n,"* ]] && continue
  tried=$((tried + 1))
  label="#$n $file: $what"
  if [ ! -f "$top/$file" ]; then
    errors+=("$label (file not found)"); echo "ERROR    $label (file not found)"; continue
  fi
  cp "$top/$file" "$scratch/original"
  active=$file
  if ! why=$(apply "$top/$file" "$find" "$repl"); then
    restore
    errors+=("$label ('find' text $why)"); echo "ERROR    $label ('find' text $why)"; continue
  fi
  t0=$(date +%s)
  if ! build_all; then
    restore
    errors+=("$label (does not compile)"); echo "ERROR    $label (does not compile)"; continue
  fi
  if by=$(run_suite); then
    survived+=("$label"); echo "SURVIVED $label ($(($(date +%s) - t0)) s)"
  else
    caught=$((caught + 1)); echo "caught   $label ($(($(date +%s) - t0)) s) by $by"
  fi
  restore
done <"$list"

echo "Rebuilding the unmutated tree..."
build_all || echo "warning: the restored tree did not rebuild; see $build"
echo
echo "$caught of $tried faults caught, ${#survived[@]} survived, ${#errors[@]} errors, $(($(date +%s) - start)) s."
for s in "${survived[@]}"; do echo "  not caught: $s"; done
for e in "${errors[@]}"; do echo "  error: $e"; done
[ ${#errors[@]} -eq 0 ] || exit 2
[ ${#survived[@]} -eq 0 ] || exit 1
exit 0
