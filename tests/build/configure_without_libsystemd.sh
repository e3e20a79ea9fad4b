#!/usr/bin/env bash
# Configures the source tree as on a Linux machine without libsystemd-dev
# (pkg-config looks in an empty directory): configuring must stop and say
# how to go on, unless VOREL_SYSTEMD_NOTIFY=OFF asks for a driver without
# the notification, which must then configure.
#   configure_without_libsystemd.sh SOURCE_DIR SCRATCH_DIR
set -uo pipefail
source=$1
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch/pkgconfig"
export PKG_CONFIG_LIBDIR=$scratch/pkgconfig PKG_CONFIG_PATH=

configure() {
  cmake -S "$source" -B "$scratch/build-$1" -G Ninja -DVOREL_BUILD_TESTS=OFF -DVOREL_BUILD_BENCH=OFF "${@:2}" 2>&1
}

failed=0
if out=$(configure default); then
  echo "FAIL: configured without libsystemd:"; echo "$out" | tail -5; failed=1
elif [[ $out != *"libsystemd not found: install libsystemd-dev"*"-DVOREL_SYSTEMD_NOTIFY=OFF"* ]]; then
  echo "FAIL: configuring stopped without saying why:"; echo "$out" | tail -15; failed=1
fi
if ! out=$(configure off -DVOREL_SYSTEMD_NOTIFY=OFF); then
  echo "FAIL: VOREL_SYSTEMD_NOTIFY=OFF did not configure:"; echo "$out" | tail -15; failed=1
elif [[ $out != *"the driver will not notify systemd"* ]]; then
  echo "FAIL: VOREL_SYSTEMD_NOTIFY=OFF did not say that the driver will not notify"; failed=1
fi
rm -rf "$scratch"
((failed == 0)) && echo "PASS"
exit $failed
