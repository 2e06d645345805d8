#!/usr/bin/env bash
# Demo in Wine: a fresh prefix of the images' architecture (32-bit for i386
# images, 64-bit for x64 ones) with the simulated modem and the port driver
# installed. Once COM7 is up, runs a client (a Win32 program) in the same
# session. Without a client it runs port_probe.exe, then judges the Wine log:
# each bring-up step with its time, the drivers' debug output (the banners), and
# what an application sees of the port. With a client it prints the drivers'
# debug output and what the client printed.
#
#   wine/demo.sh <target-build-dir> [client.exe [args...]]
#
# ZQMODEMSIM_SYS and ZQEVDODIAG_SYS override where the images are looked for.
set -uo pipefail

if [ $# -lt 1 ]; then
    sed -n '2,12p' "$0" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$(realpath "$1")
shift
# shellcheck source=harness.sh
source "$here/harness.sh"

bus_sys=${ZQMODEMSIM_SYS:-$build/modem_sim/zqmodemsim.sys}
port_sys=${ZQEVDODIAG_SYS:-$build/driver/zqevdodiag.sys}
client=()
extra=()
if [ $# -gt 0 ]; then
    extra=("$1")
    client=("$(basename "$1")" "${@:2}")
else
    client=(port_probe.exe)
fi

wh_init "$build/wine/demo" "$(wh_image_arch "$port_sys")" || exit 1
trap wh_stop_server EXIT
wh_stage "$WH_WORK_DIR/stage" "$bus_sys" "$root/modem_sim/zqmodemsim.inf" "$port_sys" "$root/driver/zqevdodiag.inf" \
    "$build/wine/programs/install_modem.exe" "$build/wine/programs/wait_for_device.exe" \
    "$build/wine/programs/port_probe.exe" "${extra[@]}" || exit 1
wh_bring_up "$WH_WORK_DIR/stage" || exit 1

log="$WH_WORK_DIR/demo.log"
wh_run_with_port "$log" 120 "${client[@]}"
rc=$?
wh_stop_server

if [ ${#extra[@]} -eq 0 ]; then
    echo "---- bring-up in Wine, from the Wine log and port_probe.exe ----"
    /usr/bin/python3 "$here/check_bring_up.py" "$log" "$log.out" "$WH_STAGE_DIR/$(basename "$bus_sys")" \
        "$WH_STAGE_DIR/$(basename "$port_sys")"
    judged=$?
    echo "---- what a Win32 program sees (port_probe.exe) ----"
    tr -d '\r' <"$log.out"
    if [ $rc -eq 0 ] && [ $judged -ne 0 ]; then
        rc=$judged
    fi
else
    echo "---- driver debug output ----"
    wh_dbg_prints "$log"
    echo "---- ${client[0]} ----"
    tr -d '\r' <"$log.out"
fi
if [ $rc -ne 0 ]; then
    echo "demo: the bring-up, the wait for COM7 or ${client[0]} failed (exit code $rc); Wine log: $log" >&2
fi
exit $rc
