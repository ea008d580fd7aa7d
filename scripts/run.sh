#!/usr/bin/env bash
# Installs what is missing, builds, and starts Vellori on the current desktop.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/deps.sh

vellori_install "${VELLORI_DEPS[@]}"
vellori_build

exec build/vellori "$@"
