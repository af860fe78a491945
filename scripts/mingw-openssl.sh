#!/usr/bin/env bash
# Builds OpenSSL for the Windows program (mingw-w64, static libraries) from
# Debian's own source package of the OpenSSL that libssl-dev has, so that the
# Linux and the Windows builds use the same version with the same patches.
#   scripts/mingw-openssl.sh DIR
# installs it into DIR/VERSION/ (include/, lib/) and prints that folder. A
# second run with the same version reuses it (DIR/VERSION/stamp).
set -euo pipefail
[ "$#" -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
mkdir -p "$1"
dir=$(cd "$1" && pwd)

installed=$(dpkg-query -W -f='${Version}' libssl-dev 2>/dev/null) || {
  echo "mingw-openssl: libssl-dev is not installed: run scripts/install-deps.sh" >&2
  exit 1
}
# The version libssl-dev has comes first. An archive keeps the sources of its
# own suite, so a libssl-dev from an update suite may have none that can be
# fetched: then the newest source of the same release series is taken, and
# said so.
series=${installed%.*}
versions=("$installed")
while read -r v; do
  [ "$v" != "$installed" ] && [ "${v%.*}" = "$series" ] && versions+=("$v")
done < <(apt-cache showsrc openssl 2>/dev/null | sed -n 's/^Version: //p' | sort -u -r -V)

for version in "${versions[@]}"; do
  prefix=$dir/$version
  if [ -f "$prefix/stamp" ] && [ "$(cat "$prefix/stamp")" = "$version" ]; then
    [ "$version" = "$installed" ] ||
      echo "mingw-openssl: using openssl $version (libssl-dev is $installed, whose source cannot be fetched)" >&2
    echo "$prefix"
    exit 0
  fi
done

work=$dir/source
tree=
for version in "${versions[@]}"; do
  rm -rf "$work"
  mkdir -p "$work"
  # The source package, with Debian's patches applied.
  if (cd "$work" && apt-get source -qq "openssl=$version" >"$work/apt-source.log" 2>&1); then
    tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
    [ -n "$tree" ] && break
  fi
  echo "mingw-openssl: the source of openssl $version cannot be fetched:" >&2
  grep -E '^(E|W):' "$work/apt-source.log" | grep -v unsandboxed >&2 || true
done
if [ -z "$tree" ]; then
  echo "mingw-openssl: no source package of openssl $series.x can be had (it needs a" \
    "deb-src entry and 'apt-get update': scripts/install-deps.sh makes both)" >&2
  exit 1
fi
[ "$version" = "$installed" ] ||
  echo "mingw-openssl: building openssl $version (libssl-dev is $installed, whose source cannot be fetched)" >&2
prefix=$dir/$version
rm -rf "$prefix"

# Only the libraries and their headers: no shared libraries, tests, programs or
# manuals. The C compiler is the posix-threads variant, as for the program.
(
  cd "$tree"
  ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- CC=gcc-posix \
    no-shared no-tests --prefix="$prefix" --libdir=lib >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; exit 1; }
  make -s -j "$(nproc)" build_libs >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
  make -s install_dev >>"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
) >&2
rm -rf "$work"
echo "$version" >"$prefix/stamp"
echo "$prefix"
