#!/usr/bin/env bash
# Installs the dependencies, builds the program and its tests, and runs them.
#   scripts/test.sh              the ordinary build, in build/, then the Windows build
#                                and its tests under Wine (scripts/test-windows.sh)
#   scripts/test.sh --sanitize   the Linux build with ASan and UBSan, in build-sanitize/
# OSTREVANE_WERROR=ON makes warnings errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

dir=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
windows=true
if [ "${1:-}" = "--sanitize" ]; then
  windows=false
  dir=build-sanitize
  flags=(-DCMAKE_BUILD_TYPE=Debug -DOSTREVANE_SANITIZE=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi

cmake -S . -B "$dir" -G Ninja "${flags[@]}" -DOSTREVANE_WERROR="${OSTREVANE_WERROR:-OFF}"
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"

if $windows; then
  bash scripts/test-windows.sh
fi
