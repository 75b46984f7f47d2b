#!/usr/bin/env bash
# The main job with the defaults: build; register the camera in a private registry; start
# the reference producer (1280x720 test pattern); record 5 seconds from the camera at
# 640x480 as a video application would (Y4M, contact sheet, some PNGs, a summary); stop
# the producer and record 2 seconds more, which show the placeholder picture. On Linux, in
# between, the same producer's frames go out as a PipeWire camera (amberline-camera, on a
# private PipeWire that is started for this step only) and GStreamer records 3 seconds of
# it, as any Linux video application would. Everything
# lands in out/ (OUT=<folder> chooses another: a new or empty folder, or one an earlier
# run made; nothing else in it is touched).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default

out="$(realpath -m "${OUT:-out}")"
. scripts/run-output-folder.sh
prepare_output_folder "$out" live placeholder pipewire registry state producer.log || exit 2
mkdir -p "$out/live" "$out/placeholder"
# A registry and log folder of this run's own, so nothing of the user's is touched.
export AMBERLINE_REGISTRY_ROOT="$out/registry"
export XDG_STATE_HOME="$out/state"
mkdir -p "$XDG_STATE_HOME/Trelvox"
# A channel of this run's own: a producer the user already runs is neither seen nor
# disturbed, and this run's producer feeds only this run's camera.
export AMBERLINE_CHANNEL_NAMESPACE="AmberlineRun$$_"
echo "=== using channel namespace $AMBERLINE_CHANNEL_NAMESPACE (a producer you run yourself is not used)"

bin=build/default/bin
module=build/default/stage/Bin/amberline.so

echo "=== registering the camera"
"$bin/amberline-regsvr" "$module"
"$bin/amberline-capture" --list

echo "=== starting the producer (1280x720 test pattern)"
"$bin/amberline-producer" --size 1280x720 > "$out/producer.log" 2>&1 &
producer=$!
stop_producer() { kill -TERM "$producer" 2>/dev/null && wait "$producer" 2>/dev/null || true; }
trap stop_producer EXIT

echo "=== recording 5 seconds at 640x480 (letterboxed test pattern)"
"$bin/amberline-capture" --size 640x480 --seconds 5 --y4m "$out/live/camera.y4m" \
  --sheet "$out/live/sheet.png" --png "$out/live" --transcript "$out/live/summary.txt"

echo "=== the same frames as a PipeWire camera: 3 seconds at 640x480 recorded with GStreamer"
echo "    (a private PipeWire, started for this step; a desktop session's own is not touched)"
scripts/with-pipewire.sh scripts/record-pipewire.sh "$out/pipewire" 3
echo "    Firefox, Chromium (its PipeWire camera feature), OBS and every GStreamer application"
echo "    list such a node as a camera; the README's \"Amberline on Linux\" says how to run it"
echo "    on your desktop."

echo "=== stopping the producer"
stop_producer
trap - EXIT

echo "=== recording 2 seconds more (the placeholder)"
"$bin/amberline-capture" --size 640x480 --seconds 2 --y4m "$out/placeholder/camera.y4m" \
  --sheet "$out/placeholder/sheet.png" --png "$out/placeholder" --transcript "$out/placeholder/summary.txt"

echo "=== unregistering the camera"
"$bin/amberline-regsvr" -u "$module"
"$bin/amberline-capture" --list

echo
echo "Results in $out:"
echo "  live/camera.y4m, live/sheet.png, live/frame_*.png, live/summary.txt"
echo "  placeholder/camera.y4m, placeholder/sheet.png, placeholder/frame_*.png, placeholder/summary.txt"
echo "  pipewire/camera.y4m, pipewire/sheet.png, pipewire/frame_045.png (the PipeWire camera through GStreamer),"
echo "  pipewire/camera.log, pipewire/nodes.txt (the node as PipeWire lists it)"
echo "  producer.log (the producer's client table), state/Trelvox/Amberline.log (the camera's log)"
