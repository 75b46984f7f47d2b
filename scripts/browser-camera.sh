#!/usr/bin/env bash
# browser-camera.sh [OUTDIR]
# Shows the PipeWire camera in Chromium as a user would see it: a private PipeWire, the
# desktop portal (xdg-desktop-portal with its GTK backend, the camera permission granted
# beforehand as a user's "Allow" would) on a private display (Xvfb), the reference producer
# and amberline-camera on a channel of their own, and Chromium with its PipeWire camera
# feature opening scripts/browser/camera-page.html, which lists the cameras and opens
# "Trelvox Amberline". Writes OUTDIR/screenshot.png (default out/browser) and OUTDIR/page.log
# (what the page said). Exits 0 when the page opened the camera, 1 otherwise.
# Installs chromium, xvfb and the portal when they are missing. Not part of the test run.
set -uo pipefail
cd "$(dirname "$0")/.."

out="$(realpath -m "${1:-out/browser}")"
bin=${AMBERLINE_BIN:-build/default/bin}

if [ -z "${PIPEWIRE_RUNTIME_DIR:-}" ]; then
  packages=(chromium xvfb xauth xdg-desktop-portal xdg-desktop-portal-gtk)
  missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -ne 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "browser-camera: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq >/dev/null
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || exit 1
  fi
  if [ ! -x "$bin/amberline-camera" ]; then
    cmake --preset default >/dev/null && cmake --build --preset default || exit 1
  fi
  exec scripts/with-pipewire.sh "$0" "$out"
fi

mkdir -p "$out"
rm -f "$out/screenshot.png" "$out/page.log"
work=$(mktemp -d) || exit 1
export AMBERLINE_CHANNEL_NAMESPACE="AmberlineBrowser$$_"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

display=":$((90 + $$ % 100))"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY="$display" XDG_CURRENT_DESKTOP=GNOME
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done

/usr/libexec/xdg-desktop-portal-gtk >"$work/portal-gtk.log" 2>&1 &
pids+=($!)
"$bin/amberline-producer" --size 1280x720 >"$work/producer.log" 2>&1 &
pids+=($!)
"$bin/amberline-camera" >"$work/camera.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "is PipeWire node" "$work/camera.log" && break; sleep 0.1; done
/usr/libexec/xdg-desktop-portal >"$work/portal.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  gdbus introspect --session --dest org.freedesktop.portal.Desktop --object-path /org/freedesktop/portal/desktop \
    2>/dev/null | grep -q "interface org.freedesktop.portal.Camera" && break
  sleep 0.1
done
# The user's answer to "Turn on camera?", given beforehand for applications outside a sandbox.
gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore \
  --object-path /org/freedesktop/impl/portal/PermissionStore \
  --method org.freedesktop.impl.portal.PermissionStore.SetPermission devices true camera "" '["yes"]' >/dev/null

# The portal may still be settling when the browser first asks it: one more try then.
for attempt in 1 2; do
  chromium --no-sandbox --test-type --no-first-run --user-data-dir="$work/profile$attempt" \
    --enable-features=WebRtcPipeWireCamera --use-fake-ui-for-media-stream --enable-logging=stderr \
    --window-position=0,0 --window-size=1000,740 --app="file://$PWD/scripts/browser/camera-page.html" \
    >"$work/chromium.log" 2>&1 &
  browser=$!
  pids+=("$browser")
  for _ in $(seq 300); do
    grep -q 'amberline-page: \(opened\|failed\)' "$work/chromium.log" && break
    sleep 0.1
  done
  grep -q 'amberline-page: opened' "$work/chromium.log" && break
  [ "$attempt" -eq 1 ] && { kill -TERM "$browser" 2>/dev/null; wait "$browser" 2>/dev/null; }
done
sleep 1
ffmpeg -loglevel error -f x11grab -video_size 1024x768 -i "$display" -frames:v 1 -y "$out/screenshot.png"
cp "$work/chromium.log" "$work/camera.log" "$work/portal.log" "$out/" 2>/dev/null
sed -n 's/.*"amberline-page: \(.*\)", source.*/\1/p' "$work/chromium.log" >"$out/page.log"
cat "$out/page.log"
echo "screenshot: $out/screenshot.png"
grep -q '^opened: ' "$out/page.log"
