#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets with clang (into
# build-fuzz) and runs each for SECONDS (default 30), starting from the seed
# corpus in fuzz/corpus. Fails on the first finding; the input that caused it
# is left in build-fuzz/findings. New inputs found on the way go to a scratch
# corpus, not into the tree.
#
# Longer runs, for instance an hour each:  bash scripts/fuzz.sh 3600
set -euo pipefail
. "$(dirname "$0")/deps.sh"
ensure_packages "${build_packages[@]}" "${fuzz_packages[@]}"
seconds=${1:-30}
dir="$top/build-fuzz"
CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DWEEKSWITCH_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target fuzz_loader fuzz_keys fuzz_cint
mkdir -p "$dir/findings"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

declare -A max_len=([loader]=16384 [keys]=512 [cint]=64)
for target in loader keys cint; do
    echo "=== fuzzing $target for $seconds s"
    mkdir -p "$scratch/$target"
    status=0
    ASAN_OPTIONS=quarantine_size_mb=32 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$dir/fuzz_$target" \
        -max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=10 -rss_limit_mb=1024 \
        -artifact_prefix="$dir/findings/$target-" -print_final_stats=1 \
        "$scratch/$target" "$top/fuzz/corpus/$target" > "$scratch/$target.log" 2>&1 || status=$?
    grep -Ev '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse|RELOAD)' "$scratch/$target.log" | tail -n 40
    [ "$status" -eq 0 ] || { echo "FAIL: fuzz_$target found a fault; see $dir/findings"; exit 1; }
done
echo "PASS"
