#!/usr/bin/env bash
# The real images in Wine, as applications use them. In a fresh prefix of the
# images' architecture (win32 for i386 images, win64 for x64 ones) the
# simulated modem bus is installed as a root device and the port INF staged
# with the port's name; at the next start Wine's PnP manager must load
# zqevdodiag.sys on the bus's child, which prints its LOADED banner, and start
# it. Once the port opens, port_probe.exe looks at it from the application's
# side and the Win32 conformance suite runs against it, in the same session.
# The judge (check_bring_up.py --suite) then walks the bring-up in Wine's log,
# the probe's view, the port's refusal of a second open in Wine's trace, and
# the suite's result.
#
#   conformance_test.sh <work-dir> <zqmodemsim.sys> <zqmodemsim.inf> <zqevdodiag.sys> <zqevdodiag.inf> \
#       <programs-dir> [suite arguments...]
#
# Suite arguments (e.g. --seed N, test names) go to conformance.exe after the
# port's name. Exits 77 (CTest: skipped) when the images are i386 and this
# machine runs no 32-bit programs (scripts/runs-i386.sh; ZQ_NO_I386=1 forces
# that answer).
set -uo pipefail

if [ $# -lt 6 ]; then
    sed -n '2,20p' "$0" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=harness.sh
source "$here/harness.sh"

work=$1 bus_sys=$2 bus_inf=$3 port_sys=$4 port_inf=$5 programs=$6
shift 6
arch=$(wh_image_arch "$port_sys") || exit 1
if [ "$arch" = win32 ] && ! reason=$(bash "$here/../scripts/runs-i386.sh"); then
    echo "SKIPPED: a 32-bit Wine prefix needs a kernel that runs 32-bit programs: $reason"
    exit 77
fi
wh_init "$work" "$arch" || exit 1
trap wh_stop_server EXIT

stage="$WH_WORK_DIR/stage"
wh_stage "$stage" "$bus_sys" "$bus_inf" "$port_sys" "$port_inf" "$programs/install_modem.exe" \
    "$programs/wait_for_device.exe" "$programs/port_probe.exe" "$programs/conformance.exe" || exit 1
if ! wh_bring_up "$stage"; then
    echo "FAIL bus installed as a root device (prefix creation or install_modem failed, see above)"
    exit 1
fi

# When the port never opens nothing runs; the judge then names the step that
# was missing. The suite's own output is shown as it is; the judge's verdict
# follows.
log="$WH_WORK_DIR/drivers.log"
wh_run_with_port "$log" 420 port_probe.exe "$WH_PORT_NAME" -- conformance.exe "$WH_PORT_NAME" "$@"
rc=$?
wh_log "session ended with exit code $rc ($(wh_elapsed)s)"
wh_stop_server

echo "---- conformance suite ----"
sed -n '/^conformance: /,$p' "$log.out" | tr -d '\r'
echo "---- judge ----"
/usr/bin/python3 "$here/check_bring_up.py" "$log" "$log.out" "$stage/$(basename "$bus_sys")" \
    "$stage/$(basename "$port_sys")" "$WH_PORT_NAME" --suite
