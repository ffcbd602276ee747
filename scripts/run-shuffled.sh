#!/usr/bin/env bash
# Runs every unit test binary on its own, its tests in random order three times over: a test that
# leans on what an earlier one left behind fails here. Each binary prints the seed of its order
# ("Randomizing tests' orders with a seed of N"), so a failure can be run again the same way with
# --gtest_random_seed=N.
#
#   scripts/run-shuffled.sh BUILD_DIR JOBS
set -euo pipefail
build="$(cd "${1:?usage: $0 BUILD_DIR JOBS}" && pwd)" jobs="${2:-2}"
root="$(cd "$(dirname "$0")/.." && pwd)"
logs=$(mktemp -d "${TMPDIR:-/tmp}/kelo-shuffled-XXXXXX")
trap 'rm -rf "$logs"' EXIT

names=()
for source in "$root"/tests/unit/*_test.cpp; do names+=("$(basename "$source" .cpp)"); done
export build logs
printf '%s\n' "${names[@]}" | xargs -P "$jobs" -I{} sh -c \
    '"$build/tests/{}" --gtest_shuffle --gtest_repeat=3 >"$logs/{}.log" 2>&1 || : >"$logs/{}.failed"'

status=0
for name in "${names[@]}"; do
    if [ -e "$logs/$name.failed" ]; then
        echo "FAILED: $name in random order (its output follows)"
        grep -v '^[0-9]\{4\}-[0-9][0-9]-[0-9][0-9] ' "$logs/$name.log" | tail -n 60
        status=1
    else
        echo "passed: $name, three times in random order"
    fi
done
exit $status
