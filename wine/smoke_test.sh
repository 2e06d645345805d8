#!/usr/bin/env bash
# Smoke test of the real images in Wine: in a fresh 32-bit prefix the simulated
# modem bus is installed as a root device, the port INF is staged, and at the
# next start Wine's PnP manager must load zqevdodiag.sys on the bus's child,
# which prints its LOADED banner, and call its AddDevice successfully.
#
#   smoke_test.sh <work-dir> <zqmodemsim.sys> <zqmodemsim.inf> <zqevdodiag.sys> <zqevdodiag.inf> <programs-dir>
set -uo pipefail

if [ $# -ne 6 ]; then
    sed -n '2,8p' "$0" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=harness.sh
source "$here/harness.sh"

work=$1 bus_sys=$2 bus_inf=$3 port_sys=$4 port_inf=$5 programs=$6
wh_init "$work"
trap wh_stop_server EXIT

stage="$WH_WORK_DIR/stage"
wh_stage "$stage" "$bus_sys" "$bus_inf" "$port_sys" "$port_inf" \
    "$programs/install_modem.exe" "$programs/wait_for_device.exe" || exit 1
if ! wh_bring_up "$stage"; then
    echo "FAIL bus installed as a root device (prefix creation or install_modem failed, see above)"
    exit 1
fi

# The next start enumerates the root: the bus loads, reports its child, and the
# port driver is installed and loaded on it. A user process must stay alive
# meanwhile, or Wine shuts its driver processes down; the waiter is that process
# (the port appears only once start is implemented, so it may time out).
log="$WH_WORK_DIR/drivers.log"
wh_start_logged "$log" "$stage/wait_for_device.exe" '\\.\COM7' 30000
if ! wh_wait_for_log "$log" 'devices for driver L"zqevdodiag"|Unable to install a function driver|Failed to load driver' 30; then
    wh_log "the port driver was not loaded within 30s"
fi
wh_wait_for_quiet_log "$log" 10
wh_log "driver log collected ($(wh_elapsed)s)"
wh_stop_server

/usr/bin/python3 "$here/check_bring_up.py" "$log" "$stage/$(basename "$bus_sys")" "$stage/$(basename "$port_sys")"
