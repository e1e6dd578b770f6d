#!/bin/sh
# Installs every Debian package the project needs to build, test, package and
# run the demo. Safe to run again: apt-get skips what is already there.
set -eu

PACKAGES="
cmake ninja-build g++ make pkg-config git
libcli11-dev nlohmann-json3-dev
qt6-base-dev qt6-serialport-dev libqt6serialport6
libjpeg-dev nettle-dev libudev-dev
libgtest-dev libgmock-dev libbenchmark-dev
clang libclang-rt-14-dev
xvfb xauth tmux fonts-dejavu-core
srecord openssl
libncurses-dev
scdoc dpkg-dev file desktop-file-utils lintian
python3 procps
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    echo "install-deps: all packages present"
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
else
    SUDO="sudo"
fi

echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
