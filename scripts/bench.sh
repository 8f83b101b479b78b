#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the default (dynamic) and the static client, both optimised and hardened, and measures
# both against /bin/true.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B out/dev -DCMAKE_BUILD_TYPE=Release -DGREETING_BENCH=ON >/dev/null
cmake -S . -B out/static -DCMAKE_BUILD_TYPE=Release -DGREETING_STATIC_CLIENT=ON >/dev/null
cmake --build out/dev -j2 --target client client-bench >/dev/null
cmake --build out/static -j2 --target client >/dev/null
exec out/dev/bench/client-bench out/dev/client out/static/client
