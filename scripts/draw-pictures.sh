#!/usr/bin/env bash
# Redraws the shipped pictures: builds the generator in the default preset and writes its
# output over the committed PNGs in data/pictures/. Review the new pictures before
# committing them.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target amberline-generate-pictures
build/default/data/amberline-generate-pictures data/pictures
echo "draw-pictures: wrote data/pictures/Data/Images/VideoSrc/PleaseStart.png and data/pictures/data/effect_data/logo/logo.png"
