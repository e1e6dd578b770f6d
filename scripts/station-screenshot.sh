#!/bin/sh
# The picture of corvel-station's live table for the README: the demo release
# on four simulated radios, the station on a terminal of tmux's (detached),
# its screen captured once the jobs are under way and drawn into a PNG.
#   scripts/station-screenshot.sh BUILD_DIR PNG
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR PNG" >&2
    exit 2
fi
build_dir=$(realpath "$1")
png=$(realpath "$2")
bin="$build_dir/bin"
scripts=$(dirname "$(realpath "$0")")

work=$(mktemp -d "${TMPDIR:-/tmp}/corvel-station-shot.XXXXXX")
session="corvel-station-shot-$$"
sims=""
cleanup() {
    tmux kill-session -t "$session" 2>/dev/null || true
    for pid in $sims; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 2' INT TERM HUP

"$scripts/make-demo-release.sh" "$build_dir" "$work" >/dev/null
mkdir "$work/ports"

# Four radios that keep the table varied: one updated at once on an unpaced
# line, two taking the application code at different line rates, one with an
# older boot code that gets that first. Each carries a codeplug, whose
# carry-over names the radio.
radio() {
    port=$1
    shift
    "$bin/corvel-radio-sim" --com-dir "$work/ports" --port "$port" --idle-exit 120 \
        --restart none --codeplug "$scripts/demo-data/codeplug-5.8.bin" \
        --format-version 5.8 --new-format-version 5.8 "$@" >"$work/sim-COM$port.out" &
    sims="$sims $!"
}
radio 3 --identifier 001A2B3C4D5E6F70 --boot-version 6.7
radio 4 --identifier 001A2B3C4D5E7A01 --boot-version 6.7 --line-rate 921600
radio 5 --identifier 001A2B3C4D5E7B12 --boot-version 6.5 --new-boot-version 6.7
radio 6 --identifier 001A2B3C4D5E7C23 --boot-version 6.7 --line-rate 460800
for port in 3 4 5 6; do
    until [ -s "$work/sim-COM$port.out" ]; do sleep 0.1; done
done

# The station's terminal: 170 columns hold every column and the longest
# result.
cd "$work"
tmux new-session -d -s "$session" -x 170 -y 11 \
    "env CORVEL_COM_DIR='$work/ports' XDG_STATE_HOME='$work/state' TERM=xterm-256color \
        '$bin/corvel-station' --work-dir station-20261209T100001Z \
        Updater_4400_Release_6_10 3-6; sleep 60"

# Once two radios have their result and another is still writing its code,
# the table shows what it can.
tries=0
while :; do
    screen=$(tmux capture-pane -p -t "$session")
    if echo "$screen" | grep -q " updated" && echo "$screen" | grep -q "boot-upgraded" \
        && echo "$screen" | grep -q 'Application code.*\] [0-9]*%'; then
        break
    fi
    tries=$((tries + 1))
    if [ "$tries" -gt 1200 ]; then
        echo "$0: the station did not get under way:" >&2
        echo "$screen" >&2
        exit 1
    fi
    sleep 0.1
done
tmux capture-pane -p -e -t "$session" >"$work/screen.txt"
"$bin/corvel-screenshots" --terminal "$work/screen.txt" "$png"
