#!/usr/bin/env bash
# Builds the Windows program and its tests with mingw-w64 and runs the tests
# under Wine, inside a private network namespace with its own wineserver and an
# Xvfb display for the task dialogs. The end-to-end tests run the program
# against the demo box of the Linux build in build/, which is built for them.
#   scripts/test-windows.sh [CTEST-ARGS]   build in build-windows/ and run the tests
#   scripts/test-windows.sh --run COMMAND...   build, then run COMMAND in the
#                                   same setting (WINEPREFIX, DISPLAY) instead
# OpenSSL for Windows is built from Debian's source package into
# build-windows/openssl/ (once per version); OPENSSL_ROOT_DIR, when set, names
# another OpenSSL 3 built for mingw-w64 instead. OSTREVANE_WERROR=ON makes
# warnings errors.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
dir=$top/build-windows
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

if [ "${1:-}" = "--inside" ]; then
  shift
  # In the private network namespace: loopback only, and the broadcast address
  # routed to it, so that nothing a test sends can leave the machine.
  ip link set lo up
  ip route add default dev lo
  export WINEPREFIX=$dir/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  pids=()
  cleanup() {
    "$wineserver" -k 2>/dev/null || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
  }
  trap cleanup EXIT

  # Sockets of Wine programs are the wineserver's: it must be ours, started
  # here, never one left running outside the namespace for this prefix.
  mkdir -p "$WINEPREFIX"
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -f -p &
  pids+=($!)
  server=$!
  for _ in $(seq 50); do
    [ -n "$(ls "/tmp/.wine-$(id -u)" 2>/dev/null)" ] && break
    sleep 0.1
  done
  if ! kill -0 "$server" 2>/dev/null; then
    echo "the wineserver did not start" >&2
    exit 1
  fi
  if [ "$(readlink "/proc/$server/ns/net")" != "$(readlink /proc/self/ns/net)" ] ||
    [ "$(readlink /proc/self/ns/net)" = "$(readlink /proc/1/ns/net)" ]; then
    echo "the wineserver is not in the test's private network namespace" >&2
    exit 1
  fi

  # Xvfb picks a free display and writes its number to the pipe.
  exec 3< <(Xvfb -displayfd 1 -screen 0 1280x800x24 -nolisten tcp 2>/dev/null)
  pids+=($!)
  read -r -t 30 display <&3 || { echo "Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$display"

  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine" wineboot -i >/dev/null 2>&1
  fi
  "$wine" wineboot -u >/dev/null 2>&1 || true
  export OSTREVANE_WINE_NAMESPACE=private
  if [ "${1:-}" = "--run" ]; then
    shift
    "$@"
  else
    ctest --test-dir "$dir" --output-on-failure -j 4 "$@"
  fi
  exit 0
fi

bash scripts/install-deps.sh

# GoogleTest for the target, from Debian's sources, once per build folder.
gtest=$dir/googletest
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$dir/googletest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$gtest" -Dgtest_disable_pthreads=OFF >/dev/null
  cmake --build "$dir/googletest-build"
  cmake --install "$dir/googletest-build" >/dev/null
fi

openssl=${OPENSSL_ROOT_DIR:-}
[ -n "$openssl" ] || openssl=$(bash scripts/mingw-openssl.sh "$dir/openssl")

# The Linux build's demo box and test trust, for the end-to-end tests.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSTREVANE_WERROR="${OSTREVANE_WERROR:-OFF}" >/dev/null
cmake --build build --target ostrevane-demo-box ostrevane_e2e_trust

flags=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  -DGTest_DIR="$gtest/lib/cmake/GTest" -DOPENSSL_ROOT_DIR="$openssl"
  -DOSTREVANE_E2E_HOST_DIR="$top/build/tests/e2e" -DOSTREVANE_WERROR="${OSTREVANE_WERROR:-OFF}")
cmake -S . -B "$dir" -G Ninja "${flags[@]}"
cmake --build "$dir"

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" unshare -n -- bash "$0" --inside "$@"
