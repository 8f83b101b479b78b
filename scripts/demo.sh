#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds both programs, starts the demo peer on 127.0.0.1:8080, runs the client
# once against it, bounded as a script should, and stops the peer again.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j2 --target client greeting-peer >/dev/null

coproc PEER { exec build/greeting-peer; }
trap 'kill "$PEER_PID" 2>/dev/null || true' EXIT
# The peer says when it is bound; waiting for that line needs no sleep.
read -r -t 10 line <&"${PEER[0]}"
echo "$line"
timeout 5 build/client
read -r -t 10 line <&"${PEER[0]}"
echo "$line"
