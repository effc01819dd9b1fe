#!/usr/bin/env bash
# Runs every test in the plain build, then under ASan+UBSan, then the threaded
# layers (all that build without the windows) under TSan, and prints one summary line for all three.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
passed=0
failed=0
status=0

run_ctest() { # build-dir, extra ctest args...
    local dir=$1
    shift
    local log
    log=$(mktemp)
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    local line total bad
    line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [ -n "$line" ]; then
        bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
        total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
        passed=$((passed + total - bad))
        failed=$((failed + bad))
    elif [ "$rc" -ne 0 ]; then
        failed=$((failed + 1))
    fi
    rm -f "$log"
    [ "$rc" -eq 0 ] || status=1
}

build_preset() { # preset
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j"$jobs"
}

echo "== tests =="
run_ctest build

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer =="
if build_preset asan; then
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_ctest build-asan
else
    echo "sanitizer build failed"
    failed=$((failed + 1))
    status=1
fi

echo "== threaded tests under ThreadSanitizer =="
if build_preset tsan; then
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest build-tsan
else
    echo "thread sanitizer build failed"
    failed=$((failed + 1))
    status=1
fi

echo "tests: $passed passed, $failed failed"
exit $status
