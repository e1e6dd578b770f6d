#!/bin/bash
# The main job, end to end: builds the demo release, starts a simulated radio
# on a private port, and runs the console job against it as an update station
# would. The radio's boot code is older than the release's, so the first run
# upgrades the boot code (return code 1) and the second run the application
# (return code 0). The radio holds a codeplug in parameter format 5.8 and
# the release's code expects 5.10, so the second run carries the codeplug
# across: upload, conversion, download.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
BIN="$BUILD/bin"
DEMO=demo
PORT=3

rm -rf "$DEMO"
mkdir -p "$DEMO/ports" "$DEMO/work"
./scripts/make-demo-release.sh "$BUILD" "$DEMO" >/dev/null
RELEASE="$PWD/$DEMO/Updater_4400_Release_6_10"

SIM_PID=""
cleanup() {
    if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
        kill "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
    fi
}
trap cleanup EXIT INT TERM

"$BIN/corvel-radio-sim" --com-dir "$DEMO/ports" --port $PORT --log "$DEMO/radio.log" \
    --boot-version 6.5 --new-boot-version 6.7 \
    --format-version 5.8 --new-format-version 5.10 --restart none \
    --codeplug scripts/demo-data/codeplug-5.8.bin --codeplug-out "$DEMO/radio-codeplug.bin" \
    --code-out "$DEMO/radio-code.bin" >"$DEMO/sim.out" &
SIM_PID=$!
for _ in $(seq 1 100); do
    [ -s "$DEMO/sim.out" ] && break
    sleep 0.05
done
echo "Simulated radio: $(cat "$DEMO/sim.out")"

run_job() {
    echo
    echo "\$ CORVEL_COM_DIR=$DEMO/ports Updater_4400_Release_6_10 /d /sp $PORT /c"
    local rc=0
    (cd "$DEMO/work" && CORVEL_COM_DIR="$PWD/../ports" "$RELEASE" /d /sp $PORT /c </dev/null) || rc=$?
    echo
    echo "[return code $rc]"
    return $rc
}

start=$(date +%s.%N)
first=0
run_job || first=$?
second=-1
if [ $first -eq 1 ]; then
    echo
    echo "The boot code was upgraded; the radio is back in bootload mode. Running again."
    second=0
    run_job || second=$?
fi
end=$(date +%s.%N)

bytes=$(awk '$2 == ">>" { n += NF - 2 } END { print n + 0 }' "$DEMO/radio.log")
leftover=$(find "$DEMO/work" -maxdepth 1 -type f \( -name 'Loader*' -o -name 'Code.*' -o -name 'Code?.*' \) | wc -l)
backup=$(cd "$DEMO/work" && ls Codeplug_*.bin 2>/dev/null | head -1)
result="failed"
if [ $first -eq 1 ] && [ $second -eq 0 ]; then
    result="success"
fi
printf '\nSummary: %s bytes written to the radio in %.1f s, return codes %s then %s, %s work files left, codeplug backup %s, result: %s\n' \
    "$bytes" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')" "$first" "$second" \
    "$leftover" "${backup:-none}" "$result"
[ "$result" = success ]
