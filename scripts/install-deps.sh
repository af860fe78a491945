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
  x11-utils imagemagick
  dpkg-dev make perl
)

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# The Windows build's OpenSSL is built from Debian's source package of it
# (scripts/mingw-openssl.sh): where the machine knows no source package of
# openssl, each of its Debian entries gets a deb-src twin, with the same URIs,
# suites, components and key.
update=false
if ! apt-cache showsrc openssl 2>/dev/null | grep -q '^Package: openssl$'; then
  shopt -s nullglob
  deb822=(/etc/apt/sources.list.d/*.sources)
  one_line=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list)
  stanzas=
  [ ${#deb822[@]} -eq 0 ] || stanzas=$(awk 'BEGIN { RS = "" }
    /debian/ && /(^|\n)Types:[^\n]*deb( |\n|$)/ {
      n = split($0, lines, "\n"); out = ""
      for (i = 1; i <= n; i++) {
        if (lines[i] ~ /^Types:/) lines[i] = "Types: deb-src"
        out = out lines[i] "\n"
      }
      printf "%s\n", out
    }' "${deb822[@]}")
  lines=$(cat "${one_line[@]}" 2>/dev/null | sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' || true)
  if [ -n "$stanzas" ]; then
    printf '%s\n' "$stanzas" | "${sudo[@]}" tee /etc/apt/sources.list.d/ostrevane-deb-src.sources >/dev/null
  fi
  if [ -n "$lines" ]; then
    printf '%s\n' "$lines" | "${sudo[@]}" tee /etc/apt/sources.list.d/ostrevane-deb-src.list >/dev/null
  fi
  [ -n "$stanzas$lines" ] || echo "install-deps: no Debian entry in /etc/apt to add a deb-src entry for" >&2
  update=true
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && ! $update && exit 0

export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
[ ${#missing[@]} -eq 0 ] || "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
