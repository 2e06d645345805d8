#!/usr/bin/env bash
# The demo in Wine, for the images of one target build: a fresh prefix of
# their architecture (32-bit for i386 images, 64-bit for x64 ones) with the
# simulated modem bus installed and the port INF staged; once the port is up,
# demo_client.exe puts the modem in echo mode and talks to the port. Prints
# each step, the driver's debug output (its LOADED banner) and what the client
# printed. When a step fails it says which; for a port that never came up, the
# bring-up judge names the step of the bring-up that was missing.
#
# The bring-up session runs with the harness's trace channels (the banner and
# the judge need them); they slow every request down, so the megabyte and its
# rate run in a second session with every channel off.
#
#   wine/demo.sh <target-build-dir>
set -uo pipefail

if [ $# -ne 1 ]; then
    sed -n '2,10p' "$0" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$(realpath "$1")
# shellcheck source=harness.sh
source "$here/harness.sh"
exec 2>&1

failed()
{
    echo "demo: FAILED: $*"
    exit 1
}

bus_sys=$build/modem_sim/zqmodemsim.sys
port_sys=$build/driver/zqevdodiag.sys
programs=$build/wine/programs
arch=$(wh_image_arch "$port_sys") || failed "reading the architecture of $port_sys (build the targets first)"
wh_init "$build/wine/demo" "$arch" || failed "preparing $build/wine/demo"
trap wh_stop_server EXIT
wh_stage "$WH_WORK_DIR/stage" "$bus_sys" "$root/modem_sim/zqmodemsim.inf" "$port_sys" "$root/driver/zqevdodiag.inf" \
    "$programs/install_modem.exe" "$programs/wait_for_device.exe" "$programs/demo_client.exe" ||
    failed "staging the images and programs"
wh_create_prefix || failed "creating the Wine prefix"
wh_install_modem "$WH_WORK_DIR/stage" || failed "installing the simulated modem bus and staging the port INF"

log="$WH_WORK_DIR/demo.log"
wh_run_with_port "$log" 180 demo_client.exe "$WH_PORT_NAME" talk
rc=$?
wh_stop_server
if grep -q '^wait_for_device: not opened' "$log.out"; then
    echo "demo: the port $WH_PORT_NAME did not come up; the bring-up in Wine's log:"
    /usr/bin/python3 "$here/check_bring_up.py" "$log" "$log.out" "$WH_STAGE_DIR/zqmodemsim.sys" \
        "$WH_STAGE_DIR/zqevdodiag.sys" "$WH_PORT_NAME" | sed 's/^/  /'
    failed "bringing up the port (Wine log: $log)"
fi
wh_log "the port $WH_PORT_NAME came up and the client ran ($(wh_elapsed)s)"
echo "---- driver debug output ----"
wh_dbg_prints "$log"
echo "---- demo_client.exe $WH_PORT_NAME talk ----"
tr -d '\r' <"$log.out" | grep -v '^wait_for_device:'
[ $rc -eq 0 ] || failed "demo_client.exe (exit code $rc; Wine log: $log)"

rate_log="$WH_WORK_DIR/demo-rate.log"
WH_DRIVER_DEBUG=-all wh_run_with_port "$rate_log" 180 demo_client.exe "$WH_PORT_NAME" rate
rc=$?
wh_stop_server
echo "---- demo_client.exe $WH_PORT_NAME rate: a second Wine session, every trace channel off (WINEDEBUG=-all) ----"
if [ $rc -eq 0 ]; then
    tr -d '\r' <"$rate_log.out" | grep ' KiB/s each way'
else
    tr -d '\r' <"$rate_log.out"
    failed "demo_client.exe rate (exit code $rc; Wine log: $rate_log)"
fi
