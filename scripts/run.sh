#!/usr/bin/env bash
# Installs what is missing, builds, and starts Vellori on the current desktop.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/deps.sh

vellori_install "${VELLORI_DEPS[@]}"
vellori_build

# Global hot keys and the overlay are X11 features; in a Wayland session
# they work through XWayland.
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-xcb}
exec build/vellori "$@"
