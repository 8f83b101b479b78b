#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package three times, each from its own copy of the sources: under
# umask 022 and 077 with the suite run inside, where no case may skip, and with the nocheck
# option and profile, which must run no test. The three must be the same bytes; blhc
# checks the build flags and lintian the packages and the source package. Installs nothing.
# Needs debhelper, lintian, blhc and the build dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy() { scripts/copy-sources.sh "$1/greeting"; }
build() { # directory, umask, DEB_BUILD_OPTIONS, dpkg-buildpackage options...
  copy "$1"
  (cd "$1/greeting" && umask "$2" && DEB_BUILD_OPTIONS=$3 dpkg-buildpackage -us -uc -b "${@:4}") >"$1.log" 2>&1 ||
    { tail -n 40 "$1.log"; echo "dpkg-buildpackage failed in $1" >&2; exit 1; }
}
build "$work/one" 022 ""
build "$work/second-build" 077 ""
build "$work/nocheck" 022 nocheck -Pnocheck
grep -q 'tests passed' "$work/one.log" || { echo "the suite did not run in the build" >&2; exit 1; }
! grep -h '\[  SKIPPED \]' "$work/one.log" "$work/second-build.log" || { echo "a case could not run" >&2; exit 1; }
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
