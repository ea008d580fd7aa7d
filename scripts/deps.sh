# shellcheck shell=bash disable=SC2034  # the lists are used by the scripts that source this
# Sourced by scripts/run.sh and scripts/test.sh: the Debian packages Vellori
# needs, the build step and the process clean-up the scripts share. Add new
# packages here only.

# Building and running the program; the last line for the KWin test desktop's driver, which is
# built with the tests.
VELLORI_DEPS=(
    qt6-base-dev qt6-wayland cmake ninja-build g++
    libxcb1-dev libxcb-keysyms1-dev libxcb-xtest0-dev libxcb-randr0-dev libxcb-shm0-dev
    libx11-dev zlib1g-dev libwayland-dev qt6-base-private-dev
    libcanberra-dev sound-theme-freedesktop libicu-dev
    fonts-wqy-microhei qt6-translations-l10n
    plasma-wayland-protocols libxkbcommon-dev
)

# Only the tests: a private X server with a window manager, compositor and
# tray host, tools to drive and photograph it, and clang for sanitizer builds
# (llvm: its llvm-symbolizer puts files and lines into their reports). Then the
# headless Wayland desktop: sway, the screenshot portal and what it needs, the
# tools that drive it, and what creates and runs its test user; GNOME Shell and its portal for
# the GNOME desktop. dbus-daemon
# also gives the fake shortcut portal its private bus; at-spi2-core is the
# accessibility bus through which a test reads what the program shows. Last,
# the KWin desktop: KWin, kscreen-doctor for the outputs' scale, and the KDE
# portal backend with what it needs to run (without them it crashes).
# qt6-base-private-dev: the offscreen platform's interface that plugs screens in and out.
VELLORI_TEST_DEPS=(
    qt6-base-private-dev
    xvfb xdotool x11-utils x11-xserver-utils openbox xcompmgr trayer
    imagemagick scrot maim desktop-file-utils xclip
    clang libclang-rt-14-dev llvm
    sway xdg-desktop-portal xdg-desktop-portal-wlr xdg-desktop-portal-gtk pipewire
    dbus-daemon dbus-bin libglib2.0-bin grim wtype wl-clipboard passwd procps
    at-spi2-core gnome-shell xdg-desktop-portal-gnome
    kwin-wayland libkf5screen-bin xdg-desktop-portal-kde qtwayland5 plasma-workspace
    qml-module-qtquick-layouts qml-module-qtquick-controls2 qml-module-org-kde-kirigami2
)

vellori_log() { printf '==> %s\n' "$*"; }

# stop_newest_first PID... : ends each process, TERM then KILL after 5 s, newest first, so
# clients go before the server they talk to.
stop_newest_first() {
    local pids=("$@") pid i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        pid=${pids[i]}
        kill -TERM "$pid" 2>/dev/null || continue
        for _ in {1..50}; do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}

# Installs whichever of the given packages are missing. apt-get update runs
# only then, so an up-to-date machine never touches the network.
vellori_install() {
    local missing=() pkg
    for pkg in "$@"; do
        if [[ "$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null)" != installed ]]; then
            missing+=("$pkg")
        fi
    done
    ((${#missing[@]})) || return 0

    local sudo=()
    if ((EUID != 0)); then
        command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; return 1; }
        sudo=(sudo)
    fi
    vellori_log "installing ${missing[*]}"
    local apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300)
    "${apt[@]}" update >/dev/null
    "${apt[@]}" install -y "${missing[@]}" >/dev/null
}

# Configures build/ (RelWithDebInfo, Ninja) and builds everything on all cores.
vellori_build() {
    local dir=build
    # A tree configured with another generator cannot be reused; start it over.
    if [[ -f $dir/CMakeCache.txt ]] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/CMakeCache.txt"; then
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
    fi
    vellori_log "configuring $dir/"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    vellori_log "building"
    cmake --build "$dir" --parallel "$(nproc)"
}
