#!/usr/bin/env bash
# Runs every test in the plain build, then under ASan+UBSan, then the threaded
# layers (all that build without the windows) under TSan, then each fuzz
# target for a short while, and prints one summary line for all four.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
passed=0
failed=0
status=0

# Counts from ctest's JUnit report. A test counts as passed when it ran and
# passed or was skipped on purpose (a SKIP_ property matched, as a GTEST_SKIP
# does), as ctest's own summary counts it; every other test that was not
# disabled failed, also one that could not run (a missing executable, which the
# report lists among the skipped).
count_junit() { # report
    local total ran skips disabled
    total=$(grep -m 1 -oE '\btests="[0-9]+"' "$1" | grep -oE '[0-9]+')
    ran=$(grep -c '<testcase [^>]*status="run"' "$1")
    skips=$(grep -c '<skipped message="SKIP_' "$1")
    disabled=$(grep -c '<testcase [^>]*status="disabled"' "$1")
    passed=$((passed + ran + skips))
    failed=$((failed + ${total:-0} - ran - skips - disabled))
}

run_ctest() { # build-dir, extra ctest args...
    local dir=$1
    shift
    local report
    report=$(mktemp --suffix=.xml)
    ctest --test-dir "$dir" --output-on-failure --output-junit "$report" -j"$jobs" "$@"
    local rc=$?
    if [ -s "$report" ]; then
        count_junit "$report"
    elif [ "$rc" -ne 0 ]; then
        failed=$((failed + 1))
    fi
    rm -f "$report"
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

echo "== fuzz targets, ${FUZZ_SECONDS:-20} s each =="
if build_preset fuzz; then
    FUZZ_SECONDS=${FUZZ_SECONDS:-20} run_ctest build-fuzz
else
    echo "fuzz build failed"
    failed=$((failed + 1))
    status=1
fi

echo "tests: $passed passed, $failed failed"
exit $status
