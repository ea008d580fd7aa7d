#!/usr/bin/env bash
# wayland-run.sh COMMAND [PROGRAM [ARGS...]]: runs COMMAND (a test or benchmark binary) with
# ARGS as the user of the Wayland test desktop that scripts/test.sh started, on that desktop.
# COMMAND and PROGRAM (the built vellori) are copied into the desktop's private folder first,
# because the checkout may be closed to that user; COMMAND finds the copy of PROGRAM through
# VELLORI_PROGRAM. That copy is always bin/vellori there, the path the desktop's menu entry for
# it names (KWin trusts a program by it).
set -euo pipefail

env_file=${VELLORI_WAYLAND_ENV:-}
if [[ ! -r $env_file ]]; then
    echo "needs the Wayland test desktop that scripts/test.sh starts" >&2
    exit 1
fi
user=$(sed -n 's/^VELLORI_WAYLAND_USER=//p' "$env_file")
bin=$(mktemp -d "$(dirname "$env_file")/bin/run.XXXXXX")
trap 'rm -rf "$bin"' EXIT
cp "$1" "$bin/"
program=()
chown -R "$user:" "$bin"
if (($# > 1)); then
    copy=$(dirname "$env_file")/bin/vellori
    # Renamed into place, so a copy still running keeps its own file.
    install -o "$user" -m 755 "$2" "$bin/vellori"
    mv -f "$bin/vellori" "$copy"
    program=("VELLORI_PROGRAM=$copy")
fi
# Not exec: the copies go once the command is done.
cd "$bin"
mapfile -t desktop < <(grep -v '^VELLORI_WAYLAND_USER=' "$env_file")
runuser -u "$user" -- env -i PATH=/usr/local/bin:/usr/bin:/bin "${desktop[@]}" \
    "${program[@]}" "$bin/$(basename "$1")" "${@:3}"
