#!/usr/bin/env bash
# Builds with ThreadSanitizer the tests whose code crosses threads (label "tsan"), and only them,
# and runs them. ThreadSanitizer ends a process that saw a race with exit code 66, so any report fails
# its test.
set -euo pipefail
build="$1" jobs="$2"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

cmake -S . -B "$build" -DKELO_WERROR=ON -DKELO_TSAN=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j"$jobs" --target kelo_tsan_tests
cd "$build"
# GLib's slice allocator recycles memory behind ThreadSanitizer's back.
G_SLICE=always-malloc \
TSAN_OPTIONS="suppressions=$root/tests/tsan.supp second_deadlock_stack=1" \
    "$root/scripts/with-display.sh" ctest -L tsan -j"$jobs" --output-on-failure --timeout 600
