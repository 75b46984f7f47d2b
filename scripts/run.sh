#!/usr/bin/env bash
# The main job with the defaults: set up, build, and load the camera module as a host
# would, showing which camera it is and where its log went.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default
# The module logs only when this folder exists; the main job wants its log.
mkdir -p "${XDG_STATE_HOME:-$HOME/.local/state}/Trelvox"
build/default/bin/amberline-regsvr --info build/default/stage/Bin/amberline.so
