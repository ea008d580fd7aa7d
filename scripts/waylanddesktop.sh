# shellcheck shell=bash
# Sourced by scripts/test.sh: a headless Wayland desktop for the tests, one kind at a time.
# Compositors refuse to run as root, so all of it runs as an unprivileged user
# (VELLORI_WAYLAND_USER, default vellori-wl): its own session bus, the compositor with two
# outputs side by side (1280x720 at scale 1, then one at scale 2: 1280x720 where the compositor
# allows it, else 2560x1440),
# the portal frontend with the desktop's backends, the screenshot permission granted, and the
# desktop's driver (scripts/desktopdriver), through which the tests reach it.
# Everything lives in a private folder under /tmp that only that user can enter; what the user
# runs is copied there, since the checkout may be closed to it: the driver and the program
# under test into its bin/ (scripts/wayland-run.sh puts the program there as bin/vellori).
#
#   wayland_desktop_start KIND LOGDIR  starts KIND (sway, gnome, kwin); exports
#                                      VELLORI_WAYLAND_ENV, the file that
#                                      scripts/wayland-run.sh reads to run a command on it,
#                                      which also names the kind (VELLORI_DESKTOP)
#   wayland_desktop_stop               stops it and removes the folder; safe to call any time

wayland_user=${VELLORI_WAYLAND_USER:-vellori-wl}
# Built with the tests (scripts/desktopdriver).
wayland_driver=${VELLORI_DESKTOP_DRIVER:-build/scripts/desktopdriver/desktopdriver}
wayland_dir=""
wayland_pids=()
# The wlr portal backend always writes the desktop to this one file.
wayland_portal_file=/tmp/out.png

# wayland_as_user COMMAND... : runs COMMAND as the test user on the desktop.
wayland_as_user() {
    local env_lines
    mapfile -t env_lines <"$wayland_dir/env"
    runuser -u "$wayland_user" -- env -i PATH=/usr/local/bin:/usr/bin:/bin "${env_lines[@]}" "$@"
}

# wayland_spawn NAME LOGDIR COMMAND... : runs COMMAND as the test user in the background,
# logging to LOGDIR/NAME.log; stopped with the desktop.
wayland_spawn() {
    local name=$1 logs=$2
    shift 2
    wayland_as_user "$@" >"$logs/$name.log" 2>&1 &
    wayland_pids+=($!)
}

# wayland_await WHAT LOG COMMAND... : polls COMMAND for ~30 s (a portal's first answer can take
# 10 s on a busy machine).
wayland_await() {
    local what=$1 log=$2
    shift 2
    for _ in {1..600}; do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    echo "$what did not come up in time:" >&2
    tail -n 20 "$log" >&2
    return 1
}

# The compositor's socket, once it is there.
wayland_socket() {
    compgen -G "$wayland_dir/run/wayland-*" | grep -v '\.lock$' | head -n 1
}

# sway with the wlr and gtk portal backends; pipewire, without which the wlr backend exits.
wayland_start_sway() {
    local logs=$1 run=$wayland_dir/run
    echo XDG_CURRENT_DESKTOP=sway >>"$wayland_dir/env"
    cat >"$wayland_dir/sway.conf" <<CONF
output HEADLESS-1 mode 1280x720 position 0 0
output HEADLESS-2 mode 1280x720 position 1280 0 scale 2
default_border none
CONF
    # A file of another user under the portal's fixed name makes every screenshot fail.
    if [[ -e $wayland_portal_file && $(stat -c %U "$wayland_portal_file") != "$wayland_user" ]]; then
        rm -f "$wayland_portal_file"
    fi
    wayland_spawn sway "$logs" WLR_BACKENDS=headless WLR_RENDERER=pixman \
        WLR_LIBINPUT_NO_DEVICES=1 WLR_HEADLESS_OUTPUTS=2 sway -c "$wayland_dir/sway.conf"
    wayland_await sway "$logs/sway.log" compgen -G "$run/sway-ipc.*.sock" || return 1
    {
        echo "WAYLAND_DISPLAY=$(basename "$(wayland_socket)")"
        echo "SWAYSOCK=$(compgen -G "$run/sway-ipc.*.sock")"
    } >>"$wayland_dir/env"
    wayland_spawn pipewire "$logs" pipewire
    wayland_await pipewire "$logs/pipewire.log" compgen -G "$run/pipewire-0"
}

# gnome-shell 43 headless with two virtual monitors: Meta-0 1280x720 at scale 1 and, right of it,
# Meta-1 2560x1440 at scale 2 (mutter offers a scale only where 800x480 logical pixels remain).
# Mutter's default layout is physical: the stage is 3840x1440 device pixels, every monitor at
# its own density, and Qt sees Meta-1 as 1280,0 2560x1440 at ratio 2. --unsafe-mode (hidden
# from --help) opens org.gnome.Shell.Eval and .Screenshot to the driver.

# gnome_shell_true SCRIPT : whether SCRIPT, evaluated in the shell, is true.
gnome_shell_true() {
    [[ $(wayland_as_user gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
        --method org.gnome.Shell.Eval "$1" 2>/dev/null) == "(true, 'true')" ]]
}

wayland_start_gnome() {
    local logs=$1 run=$wayland_dir/run home=$wayland_dir/home spec
    spec() { # CONNECTOR SERIAL WIDTH HEIGHT
        echo "<monitorspec><connector>$1</connector><vendor>MetaVendor</vendor><product>MetaVirtualMonitor</product><serial>$2</serial></monitorspec><mode><width>$3</width><height>$4</height><rate>60.000</rate></mode>"
    }
    mkdir -p "$home/.config" "$wayland_dir/portals"
    cat >"$home/.config/monitors.xml" <<XML
<monitors version="2"><configuration>
  <logicalmonitor><x>0</x><y>0</y><scale>1</scale><primary>yes</primary>
    <monitor>$(spec Meta-0 0x00 1280 720)</monitor></logicalmonitor>
  <logicalmonitor><x>1280</x><y>0</y><scale>2</scale>
    <monitor>$(spec Meta-1 0x01 2560 1440)</monitor></logicalmonitor>
</configuration></monitors>
XML
    # gnome-shell gives up without a system bus (it asks logind, since /run/systemd/seats
    # exists). Nothing is activated on this one; every reply must be let through.
    cat >"$wayland_dir/system.conf" <<XML
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$run/system_bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>
  </policy>
</busconfig>
XML
    # Only the portals a GNOME installation has: otherwise the frontend falls back to KDE's for
    # GlobalShortcuts, which GNOME 43 does not offer.
    cp /usr/share/xdg-desktop-portal/portals/{gnome,gtk,gnome-shell,gnome-keyring}.portal \
        "$wayland_dir/portals/"
    chown -R "$wayland_user:" "$home" "$wayland_dir/portals" "$wayland_dir/system.conf"
    {
        echo XDG_CURRENT_DESKTOP=GNOME
        echo XDG_SESSION_DESKTOP=gnome
        echo "DBUS_SYSTEM_BUS_ADDRESS=unix:path=$run/system_bus"
        echo "XDG_DESKTOP_PORTAL_DIR=$wayland_dir/portals"
        echo WAYLAND_DISPLAY=wayland-gnome
    } >>"$wayland_dir/env"
    wayland_spawn system-bus "$logs" dbus-daemon --config-file="$wayland_dir/system.conf" \
        --nofork --nopidfile
    wayland_await "the system bus" "$logs/system-bus.log" test -S "$run/system_bus" || return 1
    # Before the shell: it starts ibus at once, which starts the portal frontend, whose backends
    # must reach the compositor, or it offers no Screenshot for the whole session.
    wayland_as_user dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP \
        XDG_SESSION_DESKTOP XDG_RUNTIME_DIR XDG_SESSION_TYPE DBUS_SYSTEM_BUS_ADDRESS \
        XDG_DESKTOP_PORTAL_DIR || return 1
    # No banner ("Screen Lock disabled" at every start) over what the tests compare.
    wayland_as_user gsettings set org.gnome.desktop.notifications show-banners false || return 1
    wayland_spawn gnome-shell "$logs" gnome-shell --wayland --headless --no-x11 --unsafe-mode \
        --wayland-display wayland-gnome --virtual-monitor 1280x720 --virtual-monitor 2560x1440
    wayland_await gnome-shell "$logs/gnome-shell.log" test -S "$run/wayland-gnome" || return 1
    # It opens in the overview once its start-up animation is over (3-6 s here).
    wayland_await "the shell's start" "$logs/gnome-shell.log" \
        gnome_shell_true '!Main.layoutManager._startingUp' || return 1
    gnome_shell_true 'Main.overview.hide(); true'
    wayland_await "the overview hidden" "$logs/gnome-shell.log" \
        gnome_shell_true '!Main.overview.visible && !Main.overview.animationInProgress' || return 1
    # Screen casts, which absolute pointer motion needs, go through pipewire (no session manager
    # needed: nothing consumes the streams). Only once the portal answers: pipewire's realtime
    # module asks the portal frontend while the frontend's camera portal asks pipewire, and a
    # frontend still starting then stalls for 10 s (1 start in 5 here).
    wayland_await "the screenshot portal" "$logs/dbus.log" wayland_as_user gdbus call --session \
        --dest org.freedesktop.portal.Desktop --object-path /org/freedesktop/portal/desktop \
        --method org.freedesktop.DBus.Properties.Get org.freedesktop.portal.Screenshot version ||
        return 1
    wayland_spawn pipewire "$logs" pipewire
    wayland_await pipewire "$logs/pipewire.log" test -S "$run/pipewire-0"
}

# KWin 5.27 with the KDE portal backend. KWin offers its fake input to any client only with
# KWIN_WAYLAND_NO_PERMISSION_CHECKS=1; its ScreenShot2 stays restricted, as on a user's desktop:
# it serves an executable only when an installed .desktop file names that very file in Exec= (an
# absolute path, no wrapper) and the interface in X-KDE-DBUS-Restricted-Interfaces. The driver
# and the program's copy get theirs here, before KWin starts: it looks for new ones at most every
# 1.5 s. The program's is its own menu entry, pointed at the copy.
wayland_kwin_scaled() {
    wayland_as_user kscreen-doctor -j | grep -q '"scale": 2'
}
wayland_start_kwin() {
    local logs=$1 home=$wayland_dir/home applications
    applications=$home/.local/share/applications
    {
        echo XDG_CURRENT_DESKTOP=KDE
        echo KDE_FULL_SESSION=true
        echo KDE_SESSION_VERSION=5
    } >>"$wayland_dir/env"
    # The installed kwin_wayland carries the file capability cap_sys_resource, which a machine
    # may refuse to grant ("Operation not permitted"); a plain copy has none.
    cp /usr/bin/kwin_wayland "$wayland_dir/bin/"
    # The portal answers every request with 1 (refused) until the picture folder exists.
    mkdir -p "$applications" "$home/Pictures"
    cat >"$applications/vellori-test-desktopdriver.desktop" <<DESKTOP
[Desktop Entry]
Type=Application
Name=Vellori test desktop driver
Exec=$wayland_dir/bin/desktopdriver kwin
NoDisplay=true
X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2
DESKTOP
    sed "s|@VELLORI_BINDIR@|$wayland_dir/bin|g" app/resources/vellori.desktop.in \
        >"$applications/vellori.desktop"
    chown -R "$wayland_user:" "$wayland_dir/bin" "$home"
    wayland_spawn kwin "$logs" KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 "$wayland_dir/bin/kwin_wayland" \
        --virtual --socket wayland-0 --width 1280 --height 720 --output-count 2 --no-lockscreen
    wayland_await kwin "$logs/kwin.log" wayland_as_user gdbus call --session --dest org.kde.KWin \
        --object-path /org/kde/KWin/ScreenShot2 --method org.freedesktop.DBus.Peer.Ping ||
        return 1
    echo "WAYLAND_DISPLAY=wayland-0" >>"$wayland_dir/env"
    # As in a Plasma session; without them the portal backend cannot open System Settings.
    wayland_as_user dbus-update-activation-environment KDE_FULL_SESSION KDE_SESSION_VERSION ||
        return 1
    # The virtual outputs come up side by side at scale 1; the second goes to scale 2.
    wayland_as_user kscreen-doctor output.Virtual-1.scale.2 >>"$logs/kwin.log" 2>&1 || return 1
    wayland_await "the second output at scale 2" "$logs/kwin.log" wayland_kwin_scaled
}

wayland_desktop_start() {
    local kind=$1 logs=$2 run home
    if ! id -u "$wayland_user" >/dev/null 2>&1; then
        useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
            "$wayland_user" || return 1
    fi
    wayland_dir=$(mktemp -d /tmp/vellori-wayland.XXXXXX)
    run=$wayland_dir/run home=$wayland_dir/home
    mkdir -p "$run" "$home" "$wayland_dir/bin"
    chown -R "$wayland_user:" "$wayland_dir"
    chmod 700 "$wayland_dir" "$run"
    cat >"$wayland_dir/env" <<EOF2
HOME=$home
XDG_RUNTIME_DIR=$run
XDG_SESSION_TYPE=wayland
DBUS_SESSION_BUS_ADDRESS=unix:path=$run/bus
LC_ALL=C.UTF-8
EOF2

    wayland_spawn dbus "$logs" dbus-daemon --session --address="unix:path=$run/bus" --nofork \
        --nopidfile
    wayland_await "the session bus" "$logs/dbus.log" test -S "$run/bus" || return 1

    case $kind in
    sway) wayland_start_sway "$logs" || return 1 ;;
    gnome) wayland_start_gnome "$logs" || return 1 ;;
    kwin) wayland_start_kwin "$logs" || return 1 ;;
    *)
        echo "no such test desktop: $kind" >&2
        return 1
        ;;
    esac

    # Services the bus starts must reach the compositor.
    wayland_as_user dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP \
        XDG_RUNTIME_DIR XDG_SESSION_TYPE || return 1
    # No dialog may wait for an answer.
    wayland_as_user gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore \
        --object-path /org/freedesktop/impl/portal/PermissionStore \
        --method org.freedesktop.impl.portal.PermissionStore.SetPermission \
        screenshot true screenshot "" "['yes']" >/dev/null || return 1
    wayland_await "the screenshot portal" "$logs/dbus.log" wayland_as_user gdbus call --session \
        --dest org.freedesktop.portal.Desktop --object-path /org/freedesktop/portal/desktop \
        --method org.freedesktop.DBus.Properties.Get org.freedesktop.portal.Screenshot version ||
        return 1
    # The tests' way in: the desktop's driver, for as long as the desktop runs.
    install -o "$wayland_user" -m 755 "$wayland_driver" "$wayland_dir/bin/"
    wayland_spawn desktopdriver "$logs" "$wayland_dir/bin/desktopdriver" "$kind"
    wayland_await "the desktop driver" "$logs/desktopdriver.log" wayland_as_user gdbus call \
        --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.GetNameOwner org.vellori.TestDesktop || return 1
    {
        echo "VELLORI_WAYLAND_USER=$wayland_user"
        echo "VELLORI_DESKTOP=$kind"
    } >>"$wayland_dir/env"
    export VELLORI_WAYLAND_ENV=$wayland_dir/env
}

wayland_desktop_stop() {
    stop_newest_first "${wayland_pids[@]}"
    wayland_pids=()
    # What the bus started on its own (portals, the permission store) belongs to the test user
    # alone, which exists for this desktop only.
    if [[ -n $wayland_dir ]] && id -u "$wayland_user" >/dev/null 2>&1; then
        pkill -TERM -u "$wayland_user" 2>/dev/null || true
        for _ in {1..50}; do
            pgrep -u "$wayland_user" >/dev/null || break
            sleep 0.1
        done
        pkill -KILL -u "$wayland_user" 2>/dev/null || true
    fi
    if [[ -e $wayland_portal_file && $(stat -c %U "$wayland_portal_file") == "$wayland_user" ]]; then
        rm -f "$wayland_portal_file"
    fi
    [[ -z $wayland_dir ]] || rm -rf "$wayland_dir"
    wayland_dir=""
    unset VELLORI_WAYLAND_ENV
}

# Run directly, it brings a desktop up around one command and takes it down again:
#   bash scripts/waylanddesktop.sh bench [KIND] build/bench/bench_wayland [ARGS...]
if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    set -euo pipefail
    [[ ${1:-} == bench && $# -ge 2 ]] || {
        echo "usage: $0 bench [sway|gnome|kwin] PROGRAM [ARGS...]" >&2
        exit 2
    }
    shift
    kind=sway
    [[ $1 != sway && $1 != gnome && $1 != kwin ]] || { kind=$1; shift; }
    cd "$(dirname "${BASH_SOURCE[0]}")/.."
    source scripts/deps.sh
    trap wayland_desktop_stop EXIT
    mkdir -p build/wlenv
    wayland_desktop_start "$kind" build/wlenv
    bash scripts/wayland-run.sh "$1" build/vellori "${@:2}"
fi
