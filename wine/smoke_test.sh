#!/usr/bin/env bash
# Smoke test of the real images in Wine: in a fresh prefix of the images'
# architecture (win32 for i386 images, win64 for x64 ones) the simulated modem
# bus is installed as a root device, the port INF is staged, and at the next
# start Wine's PnP manager must load zqevdodiag.sys on the bus's child, which
# prints its LOADED banner, and call its AddDevice successfully; the port must
# then start: port_probe.exe, run in the same session, must find the COM7 link
# to the port's device, its "SERIALCOMM" value and its enabled COM-port
# interface, and its open must reach the port's create routine.
#
#   smoke_test.sh <work-dir> <zqmodemsim.sys> <zqmodemsim.inf> <zqevdodiag.sys> <zqevdodiag.inf> <programs-dir>
#
# Exits 77 (CTest: skipped) when the images are i386 and this machine runs no
# 32-bit programs (scripts/runs-i386.sh; ZQ_NO_I386=1 forces that answer).
set -uo pipefail

if [ $# -ne 6 ]; then
    sed -n '2,16p' "$0" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=harness.sh
source "$here/harness.sh"

work=$1 bus_sys=$2 bus_inf=$3 port_sys=$4 port_inf=$5 programs=$6
arch=$(wh_image_arch "$port_sys") || exit 1
if [ "$arch" = win32 ] && ! reason=$(bash "$here/../scripts/runs-i386.sh"); then
    echo "SKIPPED: a 32-bit Wine prefix needs a kernel that runs 32-bit programs: $reason"
    exit 77
fi
wh_init "$work" "$arch" || exit 1
trap wh_stop_server EXIT

stage="$WH_WORK_DIR/stage"
wh_stage "$stage" "$bus_sys" "$bus_inf" "$port_sys" "$port_inf" \
    "$programs/install_modem.exe" "$programs/wait_for_device.exe" "$programs/port_probe.exe" || exit 1
if ! wh_bring_up "$stage"; then
    echo "FAIL bus installed as a root device (prefix creation or install_modem failed, see above)"
    exit 1
fi

# The next start enumerates the root: the bus loads, reports its child, the
# port driver is installed and loaded on it and started. Once \\.\COM7 opens,
# the probe looks at the port from the application's side. When COM7 never
# opens the probe does not run; the judge then names the step that was missing.
log="$WH_WORK_DIR/drivers.log"
wh_run_with_port "$log" 90 port_probe.exe
rc=$?
wh_log "driver log collected, session exit code $rc ($(wh_elapsed)s)"
wh_stop_server

/usr/bin/python3 "$here/check_bring_up.py" "$log" "$log.out" "$stage/$(basename "$bus_sys")" \
    "$stage/$(basename "$port_sys")"
