#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds both programs, starts the demo peer on 127.0.0.1:8080, runs the client
# once against it, bounded as a script should, and stops the peer again. It sets
# no option of its own in build/, so a build configured there stays as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build -j2 --target client greeting-peer >/dev/null

exec 3< <(exec build/greeting-peer)
peer_pid=$!
trap 'kill "$peer_pid" 2>/dev/null || true' EXIT
# The peer says when it is bound; waiting for that line needs no sleep. If it
# cannot bind, it has said why on standard error (a taken port, say).
if ! read -r -t 10 line <&3; then
  status=0
  wait "$peer_pid" || status=$?
  exit $((status ? status : 1))
fi
echo "$line"
timeout 5 build/client
read -r -t 10 line <&3
echo "$line"
