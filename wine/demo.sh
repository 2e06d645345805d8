#!/usr/bin/env bash
# Demo in Wine: a fresh 32-bit prefix with the simulated modem and the port
# driver installed; once COM7 is up, runs the given client (a Win32 program) in
# the same session, then prints the drivers' debug output (the banners) and
# what the client printed.
#
#   wine/demo.sh <target-build-dir> [client.exe [args...]]
#
# ZQMODEMSIM_SYS and ZQEVDODIAG_SYS override where the images are looked for.
set -uo pipefail

if [ $# -lt 1 ]; then
    sed -n '2,9p' "$0" >&2
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
    client=(wait_for_device.exe '\\.\COM7' 1000)
fi

wh_init "$build/wine/demo"
trap wh_stop_server EXIT
wh_stage "$WH_WORK_DIR/stage" "$bus_sys" "$root/modem_sim/zqmodemsim.inf" "$port_sys" "$root/driver/zqevdodiag.inf" \
    "$build/wine/programs/install_modem.exe" "$build/wine/programs/wait_for_device.exe" "${extra[@]}" || exit 1
wh_bring_up "$WH_WORK_DIR/stage" || exit 1

log="$WH_WORK_DIR/demo.log"
wh_run_with_port "$log" 120 "${client[@]}"
rc=$?
wh_stop_server

echo "---- driver debug output ----"
wh_dbg_prints "$log"
echo "---- ${client[0]} ----"
tr -d '\r' <"$log.out"
if [ $rc -ne 0 ]; then
    echo "demo: ${client[0]} (or the wait for COM7) failed with exit code $rc; Wine log: $log" >&2
fi
exit $rc
