# shellcheck shell=bash
# Wine harness: shell functions that bring up a fresh prefix with the simulated
# modem bus and the port driver installed: a 32-bit prefix for i386 images, a
# 64-bit one for x64 images. Source it; every function bounds its Wine command
# with `timeout`, and wh_stop_server is safe to call from an EXIT trap.
#
#   source wine/harness.sh
#   wh_init <work-dir> <win32|win64>   # prefix and logs go below <work-dir>
#   wh_image_arch <file.sys>           # prints win32 or win64 for the image
#   trap wh_stop_server EXIT
#   wh_bring_up <stage-dir>            # fresh prefix, bus + port INF installed
#   wh_start_logged <log> <exe> [args] # next Wine start: drivers load, stderr to <log>
#   wh_wait_for_log <log> <regex> <seconds>
#   wh_run_with_port <log> <seconds> <exe> [args]  # runs a stage program once the port is up
#
# The port's name is chosen at the install, as the Ports class installer of
# Windows would choose it (install_modem.exe); wh_bring_up leaves it in
# WH_PORT_NAME (e.g. COM2).
#
# <stage-dir> holds zqmodemsim.sys, zqmodemsim.inf, zqevdodiag.sys,
# zqevdodiag.inf and install_modem.exe (wh_stage fills it). Wine records where
# an installed INF came from and copies the driver files from there when it
# installs the driver, so the stage must stay in place while the prefix is used.
#
# Booting a new prefix takes seconds for win32 but minutes for win64, so the
# first one booted is kept beside the work directory as a template
# (<work-dir>/../prefix-template-<arch>) and every prefix starts as a copy of it.

# Generous enough for the first boot of a 64-bit prefix on a slow machine.
WH_WINEBOOT_TIMEOUT=${WH_WINEBOOT_TIMEOUT:-420}
WH_COMMAND_TIMEOUT=${WH_COMMAND_TIMEOUT:-60}
WH_SERVER_TIMEOUT=${WH_SERVER_TIMEOUT:-20}
# Channels that show the driver's DbgPrint lines, the PnP manager's steps, the
# addresses at which images were loaded, the kernel's calls (each driver's
# dispatch table among them) and, on the relay channel, every call of a driver's
# dispatch routine with its return value. wh_create_prefix limits relay tracing
# to those lines.
WH_DRIVER_DEBUG=${WH_DRIVER_DEBUG:-+timestamp,+debugstr,+plugplay,+loaddll,+ntoskrnl,+relay}

wh_log()
{
    echo "wine-harness: $*" >&2
}

# Seconds since the harness started, for the step timings in the logs.
wh_elapsed()
{
    echo $((SECONDS - WH_START_SECONDS))
}

# The prefix architecture an image needs, from the machine field of its PE
# header: win32 for i386, win64 for AMD64.
wh_image_arch()
{
    local pe machine
    pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ') || return 1
    machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' ') || return 1
    case $machine in
    014c) echo win32 ;;
    8664) echo win64 ;;
    *)
        wh_log "$1: machine 0x$machine is neither i386 nor AMD64"
        return 1
        ;;
    esac
}

wh_init()
{
    WH_WORK_DIR=$(realpath -m "$1")
    WH_ARCH=$2
    mkdir -p "$WH_WORK_DIR"
    WH_START_SECONDS=$SECONDS
    # The loader of the prefix's architecture, called directly: /usr/bin/wine
    # starts the 32-bit loader whenever wine32 is installed, even in a 64-bit
    # prefix. The 64-bit server serves prefixes of either kind.
    case $WH_ARCH in
    win32) WH_WINE=/usr/lib/wine/wine ;;
    win64) WH_WINE=/usr/lib/wine/wine64 ;;
    *)
        wh_log "unknown prefix architecture '$WH_ARCH' (win32 or win64)"
        return 1
        ;;
    esac
    WH_WINESERVER=/usr/lib/wine/wineserver64
    WH_TEMPLATE="$(dirname "$WH_WORK_DIR")/prefix-template-$WH_ARCH"
    export WINEPREFIX="$WH_WORK_DIR/prefix"
    export WINEARCH=$WH_ARCH
    export WINEDEBUG=-all
    # No Mono or Gecko installer, no desktop menu entries, no display.
    export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
    unset DISPLAY WAYLAND_DISPLAY
}

# Kills the wineserver of this prefix and every Wine process in it.
wh_stop_server()
{
    [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] || return 0
    timeout "$WH_SERVER_TIMEOUT" "$WH_WINESERVER" -k >/dev/null 2>&1 || true
    timeout "$WH_SERVER_TIMEOUT" "$WH_WINESERVER" -w >/dev/null 2>&1 || true
}

# Waits for the server to exit by itself, which it does once the last user
# process has ended; the registry is saved on the way out. Kills it if it hangs.
wh_settle_server()
{
    if ! timeout "$WH_SERVER_TIMEOUT" "$WH_WINESERVER" -w >/dev/null 2>&1; then
        wh_log "wineserver did not exit within ${WH_SERVER_TIMEOUT}s; killing it"
        wh_stop_server
    fi
}

# Boots a new prefix in the template directory. The template is complete only
# once its stamp (the Wine version that booted it) is written.
wh_boot_template()
{
    local log="$WH_WORK_DIR/wineboot.log"
    rm -rf "$WH_TEMPLATE"
    wh_log "booting a new $WH_ARCH prefix template at $WH_TEMPLATE (win64: a few minutes)"
    if ! WINEPREFIX="$WH_TEMPLATE" timeout "$WH_WINEBOOT_TIMEOUT" "$WH_WINE" wineboot -i >"$log" 2>&1; then
        wh_log "wineboot -i failed or timed out after ${WH_WINEBOOT_TIMEOUT}s; see $log"
        tail -n 20 "$log" >&2
        WINEPREFIX="$WH_TEMPLATE" wh_stop_server
        return 1
    fi
    # With +relay, Wine would also wrap every exported function of every DLL
    # and trace each call; an include list that names no function turns that
    # off and leaves the relay lines that ntoskrnl writes around driver calls.
    if ! WINEPREFIX="$WH_TEMPLATE" timeout "$WH_COMMAND_TIMEOUT" "$WH_WINE" reg add 'HKCU\Software\Wine\Debug' \
            /v RelayInclude /d none /f >>"$log" 2>&1; then
        wh_log "limiting relay tracing failed; see $log"
        WINEPREFIX="$WH_TEMPLATE" wh_stop_server
        return 1
    fi
    WINEPREFIX="$WH_TEMPLATE" wh_settle_server
    "$WH_WINE" --version >"$WH_TEMPLATE/.zq-template"
    wh_log "prefix template booted ($(wh_elapsed)s)"
}

# A fresh prefix: a copy of the booted template, which is made first when it is
# missing, unfinished or from another Wine version.
wh_create_prefix()
{
    wh_stop_server
    rm -rf "$WINEPREFIX"
    (
        # One booting at a time when two harnesses share the template.
        flock 9
        if [ "$(cat "$WH_TEMPLATE/.zq-template" 2>/dev/null)" != "$("$WH_WINE" --version)" ]; then
            wh_boot_template || exit 1
        fi
        cp -a "$WH_TEMPLATE" "$WINEPREFIX"
    ) 9>"$WH_TEMPLATE.lock" || return 1
    wh_log "prefix created at $WINEPREFIX from the template ($(wh_elapsed)s)"
}

# wh_stage <stage-dir> <bus.sys> <bus.inf> <port.sys> <port.inf> <install_modem.exe> [more files...]
wh_stage()
{
    local stage=$1
    shift
    rm -rf "$stage"
    mkdir -p "$stage"
    local f
    for f in "$@"; do
        if [ ! -f "$f" ]; then
            wh_log "missing file to stage: $f"
            return 1
        fi
        cp "$f" "$stage/"
    done
}

# Copies the port INF into C:\windows\inf, registers the bus as a root device
# and installs its driver. Wine may load both drivers during the install; the
# server is left to exit, so that the next start loads them afresh, with the
# channels and stderr that the caller chooses.
wh_install_modem()
{
    WH_STAGE_DIR=$(realpath "$1")
    local stage=$WH_STAGE_DIR
    local log="$WH_WORK_DIR/install.log"
    if ! (cd "$stage" && WINEDEBUG=fixme-all timeout "$WH_COMMAND_TIMEOUT" \
            "$WH_WINE" install_modem.exe zqmodemsim.inf zqevdodiag.inf) >"$log" 2>&1; then
        wh_log "installing the modem bus failed; see $log"
        grep -E 'install_modem|err:' "$log" >&2
        wh_stop_server
        return 1
    fi
    wh_settle_server
    WH_PORT_NAME=$(sed -n 's/^install_modem: port name \(COM[0-9]*\).*$/\1/p' "$log")
    if [ -z "$WH_PORT_NAME" ]; then
        wh_log "install_modem named no port; see $log"
        return 1
    fi
    wh_log "modem bus and port INF installed, the port named $WH_PORT_NAME ($(wh_elapsed)s)"
}

wh_bring_up()
{
    wh_create_prefix && wh_install_modem "$1"
}

# Starts <exe> [args] in the background in a fresh server, with the driver
# channels on; the server's children (services, winedevice with the drivers)
# write to <log> as well.
wh_start_logged()
{
    local log=$1
    shift
    wh_stop_server
    WINEDEBUG="$WH_DRIVER_DEBUG" timeout "$WH_COMMAND_TIMEOUT" "$WH_WINE" "$@" >"$log.out" 2>"$log" &
}

# Waits until a line of <log> matches the extended regex, at most <seconds>.
wh_wait_for_log()
{
    local log=$1 regex=$2 limit=$3
    local deadline=$((SECONDS + limit))
    while [ $SECONDS -lt $deadline ]; do
        grep -qE "$regex" "$log" 2>/dev/null && return 0
        sleep 0.2
    done
    grep -qE "$regex" "$log" 2>/dev/null
}

# Waits until <log> has stopped growing for one second, at most <seconds>.
wh_wait_for_quiet_log()
{
    local log=$1 limit=$2
    local deadline=$((SECONDS + limit)) last=-1 size
    while [ $SECONDS -lt $deadline ]; do
        size=$(stat -c %s "$log" 2>/dev/null || echo 0)
        [ "$size" = "$last" ] && return 0
        last=$size
        sleep 1
    done
}

# wh_run_with_port <log> <seconds> <exe> [args...] [-- <exe> [args...]]...:
# starts a fresh server with the driver channels on, waits (inside the prefix)
# until the port opens, then runs the programs from the stage one after the
# other in the same session, so the drivers stay loaded while they run. Their
# stdout goes to <log>.out, every process's stderr to <log>. Returns the first
# non-zero exit code of a program, or 1 when the port never opened (nothing
# run).
wh_run_with_port()
{
    local log=$1 limit=$2
    shift 2
    wh_stop_server
    (cd "$WH_STAGE_DIR" && WINEDEBUG="$WH_DRIVER_DEBUG" timeout "$limit" \
        "$WH_WINE" wait_for_device.exe "\\\\.\\$WH_PORT_NAME" 30000 "$@") >"$log.out" 2>"$log"
}

# The driver's DbgPrint lines in <log>, without Wine's prefix.
wh_dbg_prints()
{
    sed -n 's/^.*:warn:debugstr:vDbgPrintExWithPrefix [0-9a-f]*:[0-9a-f]*: //p' "$1"
}
