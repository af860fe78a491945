#!/usr/bin/env bash
# Builds the program that the clinics get: ostrevane-setup.exe for Windows, with
# the real trust material of resources/, as a stripped Release build linked
# statically with an OpenSSL built from Debian's source package, the
# application manifest and the icon embedded. Prints its path, size and the
# DLLs it imports, and fails if it imports any DLL that is not the system's or
# lacks its manifest or icon.
#   scripts/release.sh   builds in build-windows/release/
# OSTREVANE_WERROR=ON makes warnings errors.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
dir=$top/build-windows/release

bash scripts/install-deps.sh
openssl=${OPENSSL_ROOT_DIR:-}
[ -n "$openssl" ] || openssl=$(bash scripts/mingw-openssl.sh "$top/build-windows/openssl")

cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DOSTREVANE_TESTS=OFF -DOPENSSL_ROOT_DIR="$openssl" \
  -DOSTREVANE_WERROR="${OSTREVANE_WERROR:-OFF}" >/dev/null
cmake --build "$dir" --target ostrevane-setup
exe=$dir/finder/ostrevane-setup.exe
bash scripts/check-exe.sh "$exe"
