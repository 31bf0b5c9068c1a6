#!/usr/bin/env bash
# The hostile-load soak of the HTTP server (label "soak"), by itself: builds
# the release tree and runs it. Under a minute, on loopback only; the test
# command runs it too, at the end of its release stage. Prints the well-behaved client's median and p99 latency,
# the server's peak memory and how fast each kind of bad client was dropped.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${SOAK_BUILD_DIR:-build}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target http_soak_test http_soak_server
(cd "$dir" && ctest -L soak --output-on-failure -V --timeout 900) | grep -E "soak:|Test|OK|FAILED|Failure|Expected|Which is|Value of|error|left|grew|never|later" 
