#!/usr/bin/env bash
# Runs every test: the main build (window tests under Xvfb), the unit tests once more in random
# order, the address and undefined-behaviour sanitizer build of the unit tests, the thread
# sanitizer build of the tests that cross threads, a compile of the handlers with clang++ and
# libc++, and a short run of each fuzz target.
set -euo pipefail
build="$1" asan="$2" libcxx="$3" jobs="$4" fuzz="${5:-build-fuzz}" tsan="${6:-build-tsan}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

status=0
# Each step says how long the run has taken so far: where the time of a run goes.
step() { printf '\n==== %s (at %d min %02d s)\n' "$*" $((SECONDS / 60)) $((SECONDS % 60)); }

step "Handlers with clang++ and libc++"
cmake -S . -B "$libcxx" -DKELO_HANDLERS_ONLY=ON -DKELO_WERROR=ON \
      -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_FLAGS="-stdlib=libc++" >/dev/null
cmake --build "$libcxx" -j"$jobs" --target kelo_handlers kelo_platform_portable || status=1

step "Tests"
(cd "$build" && "$root/scripts/with-display.sh" ctest -j"$jobs" --output-on-failure \
    --timeout 600) || status=1

step "Unit tests, each binary in random order three times"
"$root/scripts/with-display.sh" "$root/scripts/run-shuffled.sh" "$build" "$jobs" || status=1

step "Tests with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B "$asan" -DKELO_WERROR=ON -DKELO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$asan" -j"$jobs" --target kelo_unit_tests || status=1
# A leak fails the test that made it. GLib's slice allocator would hide every GObject from the
# leak checker: G_SLICE=always-malloc hands each one to malloc.
(cd "$asan" && G_SLICE=always-malloc ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$root/scripts/with-display.sh" ctest -j"$jobs" -L unit --output-on-failure --timeout 600) \
    || status=1

step "Tests that cross threads, with ThreadSanitizer"
"$root/scripts/run-tsan.sh" "$tsan" "$jobs" || status=1

step "Fuzz targets, short runs (clang, AddressSanitizer and UndefinedBehaviorSanitizer)"
"$root/tests/fuzz/run-fuzz.sh" smoke "$fuzz" "$jobs" || status=1

step "Done"
exit $status
