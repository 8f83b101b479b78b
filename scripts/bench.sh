#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the default (dynamic) and the static client and measures both against /bin/true.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in dev static; do
  cmake --preset "$preset" -DGREETING_BENCH=ON >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
exec out/dev/bench/client-bench out/dev/client out/static/client
