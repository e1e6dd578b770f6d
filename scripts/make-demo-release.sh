#!/bin/sh
# Builds the demo release: synthetic firmware of the shipped release's shape
# packed onto the updater.
#   scripts/make-demo-release.sh BUILD_DIR OUT_DIR
# writes OUT_DIR/Updater_4400_Release_6_10 from BUILD_DIR/bin/corvel-updater,
# using BUILD_DIR/bin/corvel-pack. The output depends only on the updater
# binary: the images are generated deterministically.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR OUT_DIR" >&2
    exit 2
fi
build_dir=$1
out_dir=$2
pack="$build_dir/bin/corvel-pack"
updater="$build_dir/bin/corvel-updater"

for program in "$pack" "$updater"; do
    if [ ! -x "$program" ]; then
        echo "$0: $program is missing; build it first" >&2
        exit 1
    fi
done

images=$(mktemp -d "${TMPDIR:-/tmp}/corvel-demo-images.XXXXXX")
trap 'rm -rf "$images"' EXIT INT TERM

"$pack" --demo-images "$images"
mkdir -p "$out_dir"
"$pack" --base "$updater" --out "$out_dir/Updater_4400_Release_6_10" \
    --family 4400 --series 6 --upgrade-type application-boot \
    --platform-flag 1 --processor 816 --boot-version 6.7 \
    --programming-app-version 2.12.4 --tuning-app-version 3.0.17 \
    --app-loader "$images/app-loader.srec" --app-code "$images/app-code.srec" \
    --boot-loader "$images/boot-loader.srec" --boot-code "$images/boot-code.srec"
