#!/usr/bin/env bash
# run-fuzzer.sh <fuzzer> <corpus-dir> [-flag=value ...] <seed-dir>...
# Fuzzes for FUZZ_SECONDS (20 unless set) from the corpus and the seeds, with
# the given libFuzzer flags; new inputs go to the corpus, a crashing input to
# <corpus-dir>-crashes/. Exits non-zero on a crash, a time-out or a broken
# property.
set -uo pipefail
fuzzer=$1
corpus=$2
shift 2
flags=()
seeds=()
for a in "$@"; do
    if [[ $a == -* ]]; then
        flags+=("$a")
    elif [ -d "$a" ]; then
        seeds+=("$a")
    fi
done
mkdir -p "$corpus" "$corpus-crashes"
# The targets' scratch files, removed also after a crash.
base=/dev/shm
[ -d "$base" ] || base=${TMPDIR:-/tmp}
scratch=$(mktemp -d "$base/tidewatch-fuzz-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
TMPDIR=$scratch "$fuzzer" -max_total_time="${FUZZ_SECONDS:-20}" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$corpus-crashes/" "${flags[@]}" "$corpus" "${seeds[@]}"
