#!/usr/bin/env bash
# Installs everything the project needs to build, test and run, from Debian's packages.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libboost1.81-dev libssl-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev googletest
  openssl minisign iproute2 util-linux procps
  clang-format curl time
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine xvfb xauth fonts-wine
  imagemagick
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
