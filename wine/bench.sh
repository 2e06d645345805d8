#!/usr/bin/env bash
# The Wine benchmark for the images of one target build: in a fresh prefix of
# their architecture the port is brought up on the simulated modem, as for the
# demo, and a pseudo-terminal served by pty_peer is mapped as a second COM port
# through the prefix's dosdevices symlink. bench_client.exe then measures both
# in one Wine session started with every trace channel off (WINEDEBUG=-all, the
# driver host included), and prints its runs and a table of medians with the
# ratio port/pty.
#
#   wine/bench.sh <target-build-dir> <pty_peer> [bench_client options...]
#
# Options go to bench_client.exe (e.g. --repeat 5, --receive 1,16, --echo 0,
# --intact 0, --read-mode any). Exit code 0 when every run moved every byte
# intact.
set -uo pipefail

if [ $# -lt 2 ]; then
    sed -n '2,14p' "$0" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$(realpath "$1")
peer=$(realpath "$2")
shift 2
# shellcheck source=harness.sh
source "$here/harness.sh"
exec 2>&1

failed()
{
    echo "bench: FAILED: $*"
    exit 1
}

peer_pid=
stop_all()
{
    wh_stop_server
    if [ -n "$peer_pid" ]; then
        kill -TERM "$peer_pid" 2>/dev/null
        wait "$peer_pid" 2>/dev/null
    fi
}

bus_sys=$build/modem_sim/zqmodemsim.sys
port_sys=$build/driver/zqevdodiag.sys
programs=$build/wine/programs
arch=$(wh_image_arch "$port_sys") || failed "reading the architecture of $port_sys (build the targets first)"
wh_init "$build/wine/bench" "$arch" || failed "preparing $build/wine/bench"
trap stop_all EXIT
wh_stage "$WH_WORK_DIR/stage" "$bus_sys" "$root/modem_sim/zqmodemsim.inf" "$port_sys" "$root/driver/zqevdodiag.inf" \
    "$programs/install_modem.exe" "$programs/wait_for_device.exe" "$programs/bench_client.exe" ||
    failed "staging the images and programs"
wh_create_prefix || failed "creating the Wine prefix"
wh_install_modem "$WH_WORK_DIR/stage" || failed "installing the simulated modem bus and staging the port INF"

# The pseudo-terminal's COM name: the first from COM9 on that the prefix
# does not map and the port does not have.
pty_name=
for n in $(seq 9 99); do
    if [ "COM$n" != "$WH_PORT_NAME" ] && [ ! -e "$WINEPREFIX/dosdevices/com$n" ] &&
        [ ! -L "$WINEPREFIX/dosdevices/com$n" ]; then
        pty_name=COM$n
        break
    fi
done
[ -n "$pty_name" ] || failed "finding a free COM name for the pseudo-terminal"
"$peer" "$WINEPREFIX/dosdevices/${pty_name,,}" >"$WH_WORK_DIR/pty_peer.log" 2>&1 &
peer_pid=$!
wh_wait_for_log "$WH_WORK_DIR/pty_peer.log" 'linked as' 10 || failed "starting pty_peer (see $WH_WORK_DIR/pty_peer.log)"
wh_log "$(cat "$WH_WORK_DIR/pty_peer.log"), mapped as $pty_name"

# No trace channel in any process of the session: the driver host inherits
# the channels of the command that starts the server.
WH_DRIVER_DEBUG=-all
log="$WH_WORK_DIR/bench.log"
wh_log "measuring $WH_PORT_NAME (the port) and $pty_name (the pty) with WINEDEBUG=$WH_DRIVER_DEBUG"
wh_run_with_port "$log" 1800 bench_client.exe "$WH_PORT_NAME" "$pty_name" "$@"
rc=$?
stop_all
peer_pid=
if grep -q '^wait_for_device: not opened' "$log.out"; then
    failed "the port $WH_PORT_NAME did not come up (make demo names the missing bring-up step; log: $log)"
fi
tr -d '\r' <"$log.out" | grep -v '^wait_for_device:'
[ $rc -eq 0 ] || failed "bench_client.exe (exit code $rc; Wine log: $log)"
wh_log "done ($(wh_elapsed)s)"
