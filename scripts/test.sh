#!/usr/bin/env bash
# Installs what is missing, builds, starts a private X desktop (Xvfb with two
# monitors, openbox, xcompmgr, trayer) and runs every test against it, then
# the tests labelled wayland on a headless Wayland desktop (scripts/waylanddesktop.sh).
# Whatever happens, everything started here is stopped again on exit.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/deps.sh
source scripts/waylanddesktop.sh

pids=()
scratch=""
cleanup() {
    stop_newest_first "${pids[@]}"
    wayland_desktop_stop
    [[ -z $scratch ]] || rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

vellori_install "${VELLORI_DEPS[@]}" "${VELLORI_TEST_DEPS[@]}"
vellori_build

xenv=build/xenv # logs of the X desktop and the selection probe
mkdir -p "$xenv"
cc -O2 -o "$xenv/xselowner" scripts/xselowner.c -lxcb

# await WHAT PID LOG COMMAND... : polls COMMAND until it succeeds; gives up
# after ~10 s, or at once when PID has died, and shows the end of LOG.
await() {
    local what=$1 pid=$2 log=$3
    shift 3
    for _ in {1..200}; do
        "$@" >/dev/null 2>&1 && return 0
        if ! kill -0 "$pid" 2>/dev/null; then
            echo "$what exited while starting:" >&2
            tail -n 20 "$log" >&2
            return 1
        fi
        sleep 0.05
    done
    echo "$what did not come up in time:" >&2
    tail -n 20 "$log" >&2
    return 1
}

# start NAME COMMAND... : runs COMMAND in the background, logging to $xenv/NAME.log.
start() {
    local name=$1
    shift
    "$@" >"$xenv/$name.log" 2>&1 &
    pids+=($!)
}

# serves N PID : display :N answers and its lock file names PID, so it is our
# server that answers and not one that won the race for N.
serves() {
    xdpyinfo -display ":$1" >/dev/null 2>&1 && [[ $(tr -d ' \n' <"/tmp/.X$1-lock") == "$2" ]]
}

# start_xvfb NAME SIZE : an Xvfb on a display number nobody uses, logging to
# $xenv/NAME.log; if another server takes the number first, Xvfb exits at once
# and the next number is tried. Sets $xvfb_display.
start_xvfb() {
    local name=$1 size=$2 n
    xvfb_display=""
    for n in {99..199}; do
        [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
        start "$name" Xvfb ":$n" -screen 0 "${size}x24" -noreset -nolisten tcp -s 0
        if await Xvfb "${pids[-1]}" "$xenv/$name.log" serves "$n" "${pids[-1]}" 2>/dev/null; then
            xvfb_display=":$n"
            return 0
        fi
        wait "${pids[-1]}" 2>/dev/null || true
        unset 'pids[-1]'
    done
    echo "could not start Xvfb:" >&2
    tail -n 20 "$xenv/$name.log" >&2
    return 1
}
start_xvfb xvfb 1920x1080
export DISPLAY=$xvfb_display
unset WAYLAND_DISPLAY XAUTHORITY
# Screenshot paths hold Chinese; every tool must see UTF-8 file names.
[[ $(locale charmap 2>/dev/null) == UTF-8 ]] || export LC_ALL=C.UTF-8
vellori_log "Xvfb on $DISPLAY"

# Two 960x1080 monitors side by side on the one 1920x1080 screen.
xrandr --setmonitor L 960/254x1080/286+0+0 screen >/dev/null
xrandr --setmonitor R 960/254x1080/286+960+0 none >/dev/null

# Another local user, whose files the tests hand to it to check what the program trusts.
if ((EUID == 0)) && ! id vellori-tb >/dev/null 2>&1; then
    useradd --system --no-create-home --shell /usr/sbin/nologin vellori-tb
fi

# Every client below gets a throwaway home, so no user settings leak in and
# the tests never write to the real ~/.config or ~/Desktop.
scratch=$(mktemp -d /tmp/vellori-test.XXXXXX)
mkdir -m 700 "$scratch/home" "$scratch/runtime"
export HOME=$scratch/home XDG_RUNTIME_DIR=$scratch/runtime
unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_STATE_HOME
# No session bus: the tray icon must go through the X11 tray host, and
# nothing may reach (or auto-launch) a desktop's bus.
export DBUS_SESSION_BUS_ADDRESS=disabled:

start openbox openbox --sm-disable
await openbox "${pids[-1]}" "$xenv/openbox.log" \
    bash -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'

# start_compositor ARGS... / stop_compositor: xcompmgr is up once it owns its
# selection; the tests run under it plain, then fading windows in and out, then
# without it.
xcompmgr_index=""
start_compositor() {
    local log=xcompmgr$*
    start "$log" xcompmgr "$@"
    xcompmgr_index=$((${#pids[@]} - 1))
    await xcompmgr "${pids[-1]}" "$xenv/$log.log" "$xenv/xselowner" _NET_WM_CM_S0
}
stop_compositor() {
    kill -TERM "${pids[xcompmgr_index]}" 2>/dev/null || true
    wait "${pids[xcompmgr_index]}" 2>/dev/null || true
    unset "pids[xcompmgr_index]"
    pids=("${pids[@]}")
    # Gone once nobody owns the selection any more.
    for _ in {1..100}; do
        "$xenv/xselowner" _NET_WM_CM_S0 || return 0
        sleep 0.05
    done
}
start_compositor

# trayer is up once it owns its selection.

start trayer trayer --edge bottom --align right --widthtype pixel --width 120 --height 24 \
    --SetDockType true --SetPartialStrut false
await trayer "${pids[-1]}" "$xenv/trayer.log" "$xenv/xselowner" _NET_SYSTEM_TRAY_S0
vellori_log "openbox, xcompmgr and trayer are up"

failed=()
# step NAME COMMAND... : runs one test step; a failure is remembered, not fatal,
# so the steps after it still run.
step() {
    local name=$1
    shift
    vellori_log "$name"
    "$@" || failed+=("$name")
}

# Further test steps go here, before ctest, so that ctest's summary stays the
# last thing printed.

# The suite once more, built with ASan and UBSan by clang (GCC's separate UBSan
# runtime ignores log_path). Reports go to files, so those of the programs the
# tests start count too, even when the test passes.
sanitized_ctest() { # NAME CTEST-ARGS...
    local logs=$scratch/sanitizers/$1 status=0 report
    shift
    mkdir -p "$logs"
    local asan=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
    asan+=:check_initialization_order=1:log_path=$logs/asan
    # When the screenshot sound plays through ALSA, its pipewire plugin brings libpipewire in,
    # and both go again at exit, before the leak check: what pw_init() keeps for the life of the
    # library then looks leaked, from an <unknown module> that no suppression can name. Loaded
    # from the start, the library stays, and what it keeps stays reachable.
    local preload=${LD_PRELOAD:-} pipewire
    pipewire=$(ldconfig -p | sed -n 's/^\s*libpipewire-0\.3\.so\.0 .*=> //p')
    pipewire=${pipewire%%$'\n'*}
    [[ -z $pipewire ]] || preload=${preload:+$preload:}$pipewire
    LD_PRELOAD=$preload ASAN_OPTIONS=$asan \
        LSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan \
        ctest --test-dir build-asan --output-on-failure --no-tests=error --timeout 600 \
        "$@" || status=1
    for report in "$logs"/*; do
        [[ -e $report ]] || continue
        echo "--- $report" >&2
        cat "$report" >&2
        status=1
    done
    return $status
}
sanitized_suite() {
    vellori_log "configuring build-asan/ (ASan, UBSan)"
    CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELLORI_SANITIZE=ON >/dev/null || return 1
    cmake --build build-asan --parallel "$(nproc)" || return 1
    # The tests labelled nocompositor need the compositor gone; they run at the end.
    sanitized_ctest with-compositor -LE 'nocompositor|fading|wayland'
}
# VELLORI_TESTS=REGEX: only the matching tests in build/, no sanitizer or fuzz runs; for
# iterating on a few tests.
only=() none=error
[[ -z ${VELLORI_TESTS:-} ]] || only=(-R "$VELLORI_TESTS") none=ignore
((${#only[@]})) || step "tests built with ASan and UBSan" sanitized_suite

# Each fuzz target for a bounded time, on a scratch copy of its committed seeds;
# a crash, a broken check or a leak fails the step.
fuzz_targets() {
    local dir=build-fuzz status=0 target max_len work runs dict
    vellori_log "configuring $dir/ (libFuzzer)"
    CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELLORI_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null || return 1
    cmake --build "$dir" --parallel "$(nproc)" --target fuzz || return 1
    for target in colorcodec:64 settingsreads:512 functionnumber:256 letters:256 \
        instancemessage:128; do
        max_len=${target#*:} target=${target%:*}
        work=$scratch/fuzz/$target
        mkdir -p "$work/corpus" "$work/artifacts"
        cp tests/fuzz/corpus/"$target"/* "$work/corpus/"
        dict=()
        [[ ! -f tests/fuzz/$target.dict ]] || dict=(-dict="tests/fuzz/$target.dict")
        # TMPDIR: a target's own scratch files go with ours, even after a crash.
        if TMPDIR=$work UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            "$dir/tests/fuzz/fuzz_$target" \
            -max_total_time=20 -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$work/artifacts/" "${dict[@]}" \
            "$work/corpus" >"$work/log" 2>&1; then
            runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
            vellori_log "fuzz_$target: $runs executions, nothing found"
        else
            echo "fuzz_$target failed:" >&2
            tail -n 60 "$work/log" >&2
            status=1
        fi
    done
    return $status
}
((${#only[@]})) || step "fuzz targets" fuzz_targets

# Each Wayland desktop runs only while its tests do (those labelled with its kind), and only
# when any is chosen.
wayland_tests() { # KIND
    local kind=$1 status=0
    wayland_desktop_start "$kind" "$xenv" || {
        wayland_desktop_stop
        return 1
    }
    vellori_log "Wayland desktop $kind as $wayland_user"
    ctest --test-dir build --output-on-failure --no-tests=error --timeout 300 -L "^$kind\$" \
        "${only[@]}" || status=1
    wayland_desktop_stop
    return $status
}
for kind in sway gnome kwin; do
    if [[ $(ctest --test-dir build -N -L "^$kind\$" "${only[@]}") != *"Total Tests: 0"* ]]; then
        step "tests on the Wayland desktop $kind" wayland_tests "$kind"
    fi
done

# The compositor is changed, then stopped, for the last steps, so they must stay the last.
step "tests with a compositor" \
    ctest --test-dir build --output-on-failure --no-tests=$none --timeout 300 \
    -LE 'nocompositor|fading|wayland' "${only[@]}"

# Compositors that fade windows out (xcompmgr -f, and the effects of the big
# desktops) keep our hidden windows on screen for a while: the tests labelled
# fading run under one.
stop_compositor
start_compositor -f
vellori_log "xcompmgr -f (fading) is up"
step "tests with a fading compositor" \
    ctest --test-dir build --output-on-failure --no-tests=$none --timeout 300 -L fading \
    "${only[@]}"

# Users without a compositor exist; the tests labelled nocompositor run once
# more after it is gone, where translucent windows show black.
stop_compositor
vellori_log "xcompmgr stopped"
((${#only[@]})) || step "tests without a compositor, built with ASan and UBSan" \
    sanitized_ctest without-compositor -L nocompositor

if ((${#failed[@]})); then
    vellori_log "failed so far: ${failed[*]}"
fi
step "tests without a compositor" \
    ctest --test-dir build --output-on-failure --no-tests=$none --timeout 300 -L nocompositor \
    "${only[@]}"
((${#failed[@]} == 0))
