#!/bin/sh
# SPDX-License-Identifier: MIT
# Prints the release notes NEWS.md ($1) as a changelog in Debian's format for
# package $2 and maintainer $3: each "## VERSION (DATE)" heading opens an entry,
# each "- " item and its indented lines become one change.
set -eu
awk -v package="$2" -v maintainer="$3" '
function close_entry() {
    if (date == "")
        return
    command = "date -u -R -d \"" date "\""
    command | getline stamp
    close(command)
    printf "\n -- %s  %s\n\n", maintainer, stamp
}
/^## [0-9.]+ \(.+\)$/ {
    close_entry()
    date = substr($0, index($0, "(") + 1)
    sub(/\)$/, "", date)
    printf "%s (%s) unstable; urgency=medium\n\n", package, $2
    next
}
date != "" && /^- / { print "  * " substr($0, 3); next }
date != "" && /^  [^ ]/ { print "    " substr($0, 3) }
END { close_entry() }
' "$1"
