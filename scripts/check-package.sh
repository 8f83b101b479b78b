#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package twice from these sources, in two directories and
# under two umasks but with the same SOURCE_DATE_EPOCH, checks that the two
# packages are the same bytes and that lintian finds no error and no warning.
# Needs dpkg-dev and lintian.
set -euo pipefail
cd "$(dirname "$0")/.."
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || stat -c %Y NEWS.md)}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

package() { # build directory, umask
  (
    umask "$2"
    cmake -S . -B "$1" -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$1" -j2 >/dev/null
    cd "$1" && cpack -G DEB >/dev/null
  )
}
package "$work/one" 022
package "$work/second-build" 077
first=("$work"/one/greeting_*.deb)
second=("$work"/second-build/greeting_*.deb)
cmp "${first[0]}" "${second[0]}"
echo "reproducible: two builds of $(basename "${first[0]}") are identical"
lintian --fail-on error,warning "${first[0]}"
echo "lintian: no error, no warning"
