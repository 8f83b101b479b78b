#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package three times, each from its own copy of the tracked sources: under
# umask 022 and under 077 with the test suite run inside, and once with DEB_BUILD_OPTIONS=nocheck.
# Checks that the three give the same bytes, that no test ran in the third, and that lintian finds
# no error and no warning in the packages and in the source package. Installs nothing.
# Needs git, dpkg-dev, debhelper, lintian, blhc and the build dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

copy() { # directory
  mkdir -p "$1/greeting"
  git ls-files -z | xargs -0 cp -a --parents -t "$1/greeting"
}
build() { # directory, umask, DEB_BUILD_OPTIONS
  copy "$1"
  if ! (cd "$1/greeting" && umask "$2" && DEB_BUILD_OPTIONS=$3 dpkg-buildpackage -us -uc -b) \
    >"$1.log" 2>&1; then
    tail -n 40 "$1.log"
    echo "dpkg-buildpackage failed in $1 (umask $2${3:+, $3})" >&2
    exit 1
  fi
}
build "$work/one" 022 ""
build "$work/second-build" 077 ""
build "$work/nocheck" 022 nocheck
grep -q 'tests passed' "$work/one.log" || { echo "the suite did not run in the build" >&2; exit 1; }
! grep -q 'Test project' "$work/nocheck.log" || { echo "the nocheck build ran tests" >&2; exit 1; }
blhc "$work/one.log"
echo "blhc: every compile and link used the distribution's flags"
for deb in "$work"/one/*.deb; do
  cmp "$deb" "$work/second-build/${deb##*/}"
  cmp "$deb" "$work/nocheck/${deb##*/}"
  echo "reproducible: three builds of ${deb##*/} are identical"
done

copy "$work/source"
(cd "$work/source" && dpkg-source -b greeting >/dev/null)
lintian -I --no-override --fail-on error,warning "$work"/one/*.changes "$work"/source/*.dsc
echo "lintian: no error, no warning"
