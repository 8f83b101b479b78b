#!/bin/sh
# SPDX-License-Identifier: MIT
# Copies the project's own files into DEST, as the package checks build them: those that git
# tracks or, where git cannot tell (no git, a tree from `git archive`, a release tarball or
# `apt-get source`, another user's clone), the tree less .git and what builds leave in it:
# out/, build/, obj-*/ and BUILD_DIR, if given.
#   scripts/copy-sources.sh DEST [BUILD_DIR]
set -eu
dest=$1
cd "$(dirname "$0")/.."
mkdir -p "$dest"
if git ls-files --error-unmatch CMakeLists.txt >/dev/null 2>&1; then
  git ls-files -z
else
  find . \( -path ./.git -o -path ./out -o -path ./build -o -path './obj-*' \
    -o -path "./$(realpath --relative-to=. "${2:-.git}")" \) -prune -o ! -type d -print0
fi | xargs -0 cp -a --parents -t "$dest"
