#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs them.
#
#   run-fuzz.sh smoke BUILD [JOBS]
#       a short run of every target under ctest (label "fuzz"): the seed corpus, every input that
#       ever failed among it, then new inputs up to KELO_FUZZ_SMOKE_RUNS executions.
#   run-fuzz.sh long BUILD [SECONDS] [RUNS] [JOBS] [PARALLEL]
#       every target until it has made RUNS executions (default 1,000,000) or SECONDS (default
#       1800) have passed, PARALLEL targets at a time; prints the executions of each. Fails on a
#       crash, a leak, a sanitizer report, a broken promise, or a target that fell short of RUNS.
#       The corpus that grows stays in BUILD/fuzz/corpus/<target>; crashing inputs go to
#       BUILD/fuzz/artifacts/.
set -euo pipefail
mode="${1:?smoke or long}" build="${2:?build folder}"
cd "$(dirname "$0")/../.."
[[ "$mode" == smoke ]] && jobs="${3:-2}" || jobs="${5:-2}"
cmake -S . -B "$build" -DKELO_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build "$build" -j"$jobs" --target kelo_fuzz_targets
if [[ "$mode" == smoke ]]; then
    cd "$build" && exec ctest -L fuzz -j"$jobs" --output-on-failure
fi
[[ "$mode" == long ]] || { echo "unknown mode: $mode" >&2; exit 2; }
seconds="${3:-1800}" runs="${4:-1000000}" parallel="${6:-2}"
build="$(cd "$build" && pwd)"
mkdir -p "$build/fuzz/artifacts" "$build/fuzz/logs"
targets=$(basename -s .cpp tests/fuzz/*_fuzz.cpp)

run_one() {  # writes "executions seconds status" to the target's result file
    local name="$1" started=$SECONDS status=0
    mkdir -p "$build/fuzz/corpus/$name"
    "$build/fuzz/$name" -runs="$runs" -max_total_time="$seconds" -close_fd_mask=3 \
        -print_final_stats=1 -artifact_prefix="$build/fuzz/artifacts/$name-" \
        "$build/fuzz/corpus/$name" "tests/fuzz/corpus/$name" >"$build/fuzz/logs/$name.log" 2>&1 ||
        status=$?
    local executions
    executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/fuzz/logs/$name.log" | tail -1)"
    echo "${executions:-0} $((SECONDS - started)) $status" >"$build/fuzz/logs/$name.result"
}

echo "Fuzzing $(wc -w <<<"$targets") targets, $parallel at a time: up to $runs executions or ${seconds}s each."
for name in $targets; do
    run_one "$name" &
    (($(jobs -rp | wc -l) < parallel)) || wait -n || true
done
wait || true

failed=0
printf '\n%-28s %12s %9s  %s\n' target executions seconds result
for name in $targets; do
    read -r executions took status <"$build/fuzz/logs/$name.result"
    result=ok
    if ((status != 0)); then
        result="FAILED (exit $status, see $build/fuzz/logs/$name.log)" failed=1
    elif ((executions < runs)); then
        result="SHORT of $runs executions (raise FUZZ_SECONDS)" failed=1
    fi
    printf '%-28s %12s %9s  %s\n' "$name" "$executions" "$took" "$result"
done
if ((failed)); then
    echo
    grep -h -E "broken promise|SUMMARY|ERROR: libFuzzer|Test unit written" \
        "$build"/fuzz/logs/*.log || true
fi
exit $failed
