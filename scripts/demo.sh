#!/usr/bin/env bash
# Builds the program with the test trust material and runs it against the demo
# box, both inside a private network namespace (nothing leaves this machine).
#   scripts/demo.sh [--interactive] [DEMO-BOX OPTION...]
# Without --interactive it runs the report mode and prints the report and the
# exit code; with it, the interactive setup draws its dialogs in this terminal
# and the demo box takes its time at each step. Further options go to the demo
# box to try the failures, e.g. --second-box, --foreign-cert, --no-https,
# --file-status 503, --bad-signature, --bad-digest, --slow-file, --exit-code 1.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/tests/e2e

# The part that runs inside the namespace (as root).
if [ "${1:-}" = "--in-namespace" ]; then
  mode=$2
  shift 2
  scratch=$(mktemp -d)
  box_pid=
  cleanup() {
    [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null && wait "$box_pid" 2>/dev/null
    rm -rf "$scratch"
  }
  trap cleanup EXIT
  mkdir -p "$scratch/tmp" "$scratch/wine"
  box_options=(--trust "$build/trust" --args-file "$scratch/installer-args.txt")
  [ "$mode" = interactive ] && box_options+=(--paced)
  "$build/ostrevane-demo-box" "${box_options[@]}" "$@" >"$scratch/box.out" &
  box_pid=$!
  for _ in $(seq 100); do
    grep -qx ready "$scratch/box.out" && break
    kill -0 "$box_pid" 2>/dev/null || { box_pid=; echo "the demo box did not start" >&2; exit 1; }
    sleep 0.1
  done
  # The working folder and the registry of this run only.
  export TMPDIR="$scratch/tmp" WINEPREFIX="$scratch/wine"
  if [ "$mode" = report ]; then
    code=0
    "$build/ostrevane-setup-e2e" --report "$scratch/report.json" || code=$?
    cat "$scratch/report.json" 2>/dev/null || echo "(no report)"
    echo
    echo "exit code $code"
  else
    "$build/ostrevane-setup-e2e" || true
    if [ -f "$scratch/installer-args.txt" ]; then
      echo "The demo installer ran with the arguments: $(tr '\n' ' ' <"$scratch/installer-args.txt")"
    else
      echo "The demo installer did not run."
    fi
  fi
  exit 0
fi

mode=report
if [ "${1:-}" = "--interactive" ]; then
  mode=interactive
  shift
fi

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target ostrevane-setup-e2e ostrevane-demo-box ostrevane_e2e_trust

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" tests/e2e/in_netns.sh bash scripts/demo.sh --in-namespace "$mode" "$@"
