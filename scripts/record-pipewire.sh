#!/usr/bin/env bash
# record-pipewire.sh OUTDIR [SECONDS]
# Inside a PipeWire session (scripts/with-pipewire.sh gives a private one): starts
# amberline-camera, waits until its node is published, records SECONDS (default 3) of it
# at 640x480, 30 frames a second, with GStreamer's pipewiresrc, as any Linux application
# would, and writes OUTDIR/camera.y4m, OUTDIR/sheet.png (every 15th frame), OUTDIR/frame_045.png,
# OUTDIR/camera.log (the program's output) and OUTDIR/nodes.txt (the node as PipeWire lists it).
# The producer runs already, on the channel the environment names. Exits non-zero, with the
# reason, when any step fails.
set -uo pipefail
cd "$(dirname "$0")/.."

out=${1:?usage: record-pipewire.sh OUTDIR [SECONDS]}
seconds=${2:-3}
bin=${AMBERLINE_BIN:-build/default/bin}
mkdir -p "$out"

"$bin/amberline-camera" >"$out/camera.log" 2>&1 &
camera=$!
stop_camera() { kill -TERM "$camera" 2>/dev/null && wait "$camera" 2>/dev/null; }
trap stop_camera EXIT

node=""
for _ in $(seq 100); do
  node=$(sed -n 's/^amberline-camera: ".*" is PipeWire node \([0-9]*\) .*/\1/p' "$out/camera.log" | tail -n 1)
  [ -n "$node" ] && break
  kill -0 "$camera" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$node" ]; then
  echo "record-pipewire: amberline-camera did not publish its node within 10 s; its output:" >&2
  sed 's/^/  /' "$out/camera.log" >&2
  exit 1
fi
sed -n 's/^amberline-camera: //p' "$out/camera.log"
pw-cli info "$node" >"$out/nodes.txt" 2>&1

frames=$((seconds * 30))
# GStreamer takes 4:2:0 frames from the node; ffmpeg wraps them as YUV4MPEG2.
if ! timeout $((seconds + 20)) gst-launch-1.0 -q pipewiresrc path="$node" num-buffers="$frames" \
    ! video/x-raw,format=I420,width=640,height=480,framerate=30/1 ! fdsink fd=1 \
    | ffmpeg -loglevel error -f rawvideo -pix_fmt yuv420p -s 640x480 -r 30 -i - -y "$out/camera.y4m"; then
  echo "record-pipewire: GStreamer could not record from node $node" >&2
  exit 1
fi
got=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$out/camera.y4m")
echo "recorded $got of $frames frames from node $node into $out/camera.y4m"
ffmpeg -loglevel error -i "$out/camera.y4m" -vf "select='not(mod(n,15))',scale=320:240,tile=3x2" \
  -frames:v 1 -y "$out/sheet.png"
ffmpeg -loglevel error -i "$out/camera.y4m" -vf "select='eq(n,45)'" -frames:v 1 -y "$out/frame_045.png"
[ "$got" -eq "$frames" ] || { echo "record-pipewire: $((frames - got)) frames missing" >&2; exit 1; }
