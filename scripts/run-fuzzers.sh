#!/bin/bash
# Builds the libFuzzer targets with clang and runs each for the given number
# of seconds (default 20) on a scratch copy of its committed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-20}
BUILD_DIR=${FUZZ_BUILD:-build-fuzz}

CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVEL_FUZZ=ON >/dev/null
cmake --build "$BUILD_DIR" -j 2

shopt -s nullglob
targets=("$BUILD_DIR"/bin/fuzz-*)
if [ ${#targets[@]} -eq 0 ]; then
    echo "run-fuzzers: no fuzz targets"
    exit 0
fi
failed=0
for target in "${targets[@]}"; do
    name=$(basename "$target")
    name=${name#fuzz-}
    work=$(mktemp -d)
    if [ -d "tests/fuzz/corpus/$name" ]; then
        cp -r "tests/fuzz/corpus/$name/." "$work/"
    fi
    echo "run-fuzzers: $name for ${SECONDS_EACH}s"
    if ! (cd "$work" && "$OLDPWD/$target" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 \
            -artifact_prefix="$work/" "$work" >"$work/log" 2>&1); then
        echo "run-fuzzers: $name FAILED"
        tail -50 "$work/log"
        failed=1
    else
        grep -E "^(#[0-9]+.*DONE|Done)" "$work/log" | tail -1 || true
    fi
    rm -rf "$work"
done
exit $failed
