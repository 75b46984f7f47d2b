#!/usr/bin/env bash
# browser-camera.sh [--browser chromium|firefox] [OUTDIR]
# Shows the PipeWire camera in a browser as a user would see it: a private PipeWire, the
# desktop portal (xdg-desktop-portal with its GTK backend, the camera permission granted
# beforehand as a user's "Allow" would) on a private display (Xvfb), the reference producer
# and amberline-camera on a channel of their own, and the browser with its PipeWire camera
# support on (Chromium by default, or Firefox ESR) opening scripts/browser/camera-page.html,
# which asks for a camera, lists the cameras and opens "Trelvox Amberline".
# Writes OUTDIR/screenshot.png (default out/browser), OUTDIR/page.log (what the page said)
# and the logs of the browser, the camera and the portal. Exits 0 when the page opened the
# camera, 1 otherwise with a sentence saying what failed.
# Installs the browser, xvfb and the portal when they are missing (firefox-esr only when it
# is asked for). Every process it started, the services the session bus started for it
# included, is stopped when it ends. Not part of the test run.
set -uo pipefail
cd "$(dirname "$0")/.."

usage="usage: scripts/browser-camera.sh [--browser chromium|firefox] [OUTDIR]"
browser=chromium
outdir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --browser)
      [ $# -ge 2 ] || { echo "browser-camera: --browser needs a name (chromium or firefox); $usage" >&2; exit 1; }
      browser=$2; shift 2 ;;
    --browser=*) browser=${1#--browser=}; shift ;;
    -h|--help) echo "$usage"; exit 0 ;;
    -*) echo "browser-camera: unknown option $1; $usage" >&2; exit 1 ;;
    *) [ -z "$outdir" ] || { echo "browser-camera: more than one OUTDIR; $usage" >&2; exit 1; }
       outdir=$1; shift ;;
  esac
done
case "$browser" in
  chromium) browser_package=chromium ;;
  firefox) browser_package=firefox-esr ;;
  *) echo "browser-camera: unknown browser '$browser' (chromium or firefox)" >&2; exit 1 ;;
esac
out="$(realpath -m "${outdir:-out/browser}")"
bin=${AMBERLINE_BIN:-build/default/bin}

fail() {
  echo "browser-camera: $*" >&2
  exit 1
}
log_of() {  # a log on one line, for a failure's sentence
  local text
  text=$(tr '\n' ' ' <"$1" 2>/dev/null)
  echo "${text:-(it wrote nothing)}"
}

# The outer run installs what is missing and starts the private PipeWire and session bus;
# the inner run (marked by AMBERLINE_BROWSER_SESSION) is everything on that bus.
if [ -z "${AMBERLINE_BROWSER_SESSION:-}" ]; then
  packages=("$browser_package" xvfb xauth xdg-desktop-portal xdg-desktop-portal-gtk)
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
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
      fail "could not install ${missing[*]}"
  fi
  if [ ! -x "$bin/amberline-camera" ]; then
    { cmake --preset default >/dev/null && cmake --build --preset default; } ||
      fail "could not build amberline-camera"
  fi
  AMBERLINE_BROWSER_SESSION=1 scripts/with-pipewire.sh "$0" --browser "$browser" "$out"
  status=$?
  [ "$status" -eq 125 ] && fail "the private PipeWire could not be started"
  [ "$status" -eq 0 ] || exit 1
  exit 0
fi
unset AMBERLINE_BROWSER_SESSION

mkdir -p "$out" || fail "cannot create $out"
rm -f "$out/screenshot.png" "$out/page.log" "$out/chromium.log" "$out/firefox.log" \
  "$out/$browser-first-try.log" "$out/camera.log" "$out/portal.log" "$out/portal-gtk.log"
work=$(mktemp -d) || fail "cannot create a temporary folder"
export AMBERLINE_CHANNEL_NAMESPACE="AmberlineBrowser$$_"
# Settings, data and caches of everything started here (the portal's permission store
# included) stay in the temporary folder: the user's own are neither read nor changed.
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"
export XDG_CURRENT_DESKTOP=GNOME NO_AT_BRIDGE=1
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"

# Every process this run starts, itself or through the bus, carries this variable (the
# processes' own children inherit it): at the end they are found by it and stopped.
run_tag="AMBERLINE_BROWSER_RUN=$$.$RANDOM.$(date +%s%N)"
# Chromium writes its process titles over its environment, so the browsers' processes are
# found as the descendants of the browser started here instead.
browser_pids=()
descendants() {
  local child
  for child in $(pgrep -P "$1"); do
    echo "$child"
    descendants "$child"
  done
}
tagged_processes() {
  local pid
  for pid in "${browser_pids[@]}"; do
    running "$pid" || continue
    echo "$pid"
    descendants "$pid"
  done
  grep -l -z -x -F "$run_tag" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3
}
running() {  # a process that has ended but is not yet reaped counts as ended
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "${state%% *}" != Z ]
}
# Ends the given processes: SIGTERM, then SIGKILL for those still there after 5 s.
stop_processes() {
  [ $# -eq 0 ] && return
  kill -TERM "$@" 2>/dev/null
  local pid alive
  for _ in $(seq 50); do
    alive=""
    for pid in "$@"; do running "$pid" && alive=1; done
    [ -z "$alive" ] && return
    sleep 0.1
  done
  kill -KILL "$@" 2>/dev/null
}
# Process ids of the owners of the names the bus starts on demand (portals, permission
# store, settings, accessibility bus), when they are running.
bus_services() {
  local names name
  names=$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.ListActivatableNames 2>/dev/null | grep -o "'[^']*'" | tr -d "'")
  for name in $names; do
    [ "$name" = org.freedesktop.DBus ] && continue
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.GetConnectionUnixProcessID "$name" 2>/dev/null |
      sed -n 's/^(uint32 \([0-9]*\),)$/\1/p'
  done | sort -u
}

cleanup() {
  local left
  # Everything this run started, and every service on the private bus (one the bus started
  # before its environment was set included). A service that ends may have the bus start
  # another (the document portal): rounds until none is left.
  for _ in 1 2 3 4 5; do
    mapfile -t left < <({ tagged_processes; bus_services; } | sort -u)
    [ ${#left[@]} -eq 0 ] && break
    stop_processes "${left[@]}"
  done
  # The document portal's file system is unmounted when it ends; a copy that was killed
  # leaves it mounted in the runtime folder, which could then not be removed.
  if mountpoint -q "$XDG_RUNTIME_DIR/doc" 2>/dev/null; then
    fusermount3 -u -z "$XDG_RUNTIME_DIR/doc" 2>/dev/null || umount -l "$XDG_RUNTIME_DIR/doc" 2>/dev/null
  fi
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' TERM INT

# Xvfb picks a free display itself and writes its number once it accepts clients.
env "$run_tag" Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
for _ in $(seq 100); do grep -q '^[0-9]' "$work/display" 2>/dev/null && break; sleep 0.1; done
grep -q '^[0-9]' "$work/display" || fail "Xvfb did not start: $(log_of "$work/xvfb.log")"
display=":$(head -n1 "$work/display")"
export DISPLAY="$display"

# Services the bus starts on demand (the portal when a browser or gdbus asks for it, the
# permission store, the GTK backend) get this environment: the private PipeWire and
# runtime folder, the display and the private settings. It is in place before this
# script asks the bus for anything.
env "$run_tag" dbus-update-activation-environment AMBERLINE_BROWSER_RUN DISPLAY XDG_RUNTIME_DIR PIPEWIRE_RUNTIME_DIR \
  XDG_CURRENT_DESKTOP XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME NO_AT_BRIDGE ||
  fail "could not set the environment of the session bus's services"
# A service started before that (wireplumber asks for the permission store) has the bus's
# first environment: it is stopped, and the bus starts it again when it is next asked for.
mapfile -t early < <(bus_services)
stop_processes "${early[@]}"

env "$run_tag" "$bin/amberline-producer" --size 1280x720 >"$work/producer.log" 2>&1 &
env "$run_tag" "$bin/amberline-camera" >"$work/camera.log" 2>&1 &
for _ in $(seq 100); do grep -q "is PipeWire node" "$work/camera.log" && break; sleep 0.1; done
grep -q "is PipeWire node" "$work/camera.log" ||
  fail "amberline-camera did not publish its node: $(log_of "$work/camera.log")"

# The portal and its backend, each waited for on the bus before the next step, so that no
# request starts a second copy.
env "$run_tag" /usr/libexec/xdg-desktop-portal-gtk >"$work/portal-gtk.log" 2>&1 &
gdbus wait --session --timeout 10 org.freedesktop.impl.portal.desktop.gtk ||
  fail "the portal's GTK backend did not start: $(log_of "$work/portal-gtk.log")"
env "$run_tag" /usr/libexec/xdg-desktop-portal >"$work/portal.log" 2>&1 &
gdbus wait --session --timeout 10 org.freedesktop.portal.Desktop ||
  fail "the desktop portal did not start: $(log_of "$work/portal.log")"
camera_portal=""
for _ in $(seq 100); do
  if gdbus introspect --session --dest org.freedesktop.portal.Desktop --object-path /org/freedesktop/portal/desktop \
    2>/dev/null | grep -q "interface org.freedesktop.portal.Camera"; then
    camera_portal=1
    break
  fi
  sleep 0.1
done
[ -n "$camera_portal" ] || fail "the desktop portal offers no camera interface"
# The user's answer to "Turn on camera?", given beforehand for applications outside a sandbox.
gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore \
  --object-path /org/freedesktop/impl/portal/PermissionStore \
  --method org.freedesktop.impl.portal.PermissionStore.SetPermission devices true camera "" '["yes"]' >/dev/null ||
  fail "could not grant the camera permission in the portal's permission store"

page="file://$PWD/scripts/browser/camera-page.html"
start_browser() {  # $1: attempt number
  case "$browser" in
    chromium)
      env "$run_tag" chromium --no-sandbox --test-type --no-first-run --user-data-dir="$work/profile$1" \
        --enable-features=WebRtcPipeWireCamera --use-fake-ui-for-media-stream --enable-logging=stderr \
        --window-position=0,0 --window-size=1000,740 --app="$page" >"$work/$browser.log" 2>&1 &
      ;;
    firefox)
      # A fresh profile: cameras through PipeWire, no permission prompt (the portal's grant
      # above is the user's answer), real devices only, the page's console on standard
      # output, and none of a first start's pages and questions.
      local profile="$work/profile$1"
      mkdir -p "$profile" "$work/home"
      cat >"$profile/user.js" <<'EOF'
user_pref("media.webrtc.camera.allow-pipewire", true);
user_pref("media.navigator.permission.disabled", true);
user_pref("media.navigator.streams.fake", false);
user_pref("devtools.console.stdout.content", true);
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.aboutwelcome.enabled", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("browser.sessionstore.resume_from_crash", false);
user_pref("app.normandy.enabled", false);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
EOF
      env "$run_tag" HOME="$work/home" firefox-esr --no-remote --new-instance --profile "$profile" --kiosk "$page" \
        >"$work/$browser.log" 2>&1 &
      ;;
  esac
  browser_pid=$!
  browser_pids+=("$browser_pid")
}

# The portal may still be settling when the browser first asks it: one more try then.
for attempt in 1 2; do
  start_browser "$attempt"
  for _ in $(seq 600); do
    grep -q 'amberline-page: \(opened\|failed\)' "$work/$browser.log" && break
    sleep 0.1
  done
  grep -q 'amberline-page: opened' "$work/$browser.log" && break
  if [ "$attempt" -eq 1 ]; then
    mapfile -t tree < <(descendants "$browser_pid")
    stop_processes "$browser_pid" "${tree[@]}"
    wait "$browser_pid" 2>/dev/null
    cp "$work/$browser.log" "$out/$browser-first-try.log" 2>/dev/null
  fi
done
sleep 1
shot=""
ffmpeg -loglevel error -f x11grab -video_size 1024x768 -i "$display" -frames:v 1 -y "$out/screenshot.png" && shot=1
cp "$work/$browser.log" "$work/camera.log" "$work/portal.log" "$work/portal-gtk.log" "$out/" 2>/dev/null
# Chromium writes ...CONSOLE(..)] "amberline-page: TEXT", source: ... and Firefox
# console.log: "amberline-page: TEXT" with the quotes in TEXT escaped.
sed -n -e 's/.*"amberline-page: \(.*\)", source.*/\1/p' \
  -e '/^console\.log: "amberline-page: .*"$/{s/^console\.log: "amberline-page: \(.*\)"$/\1/;s/\\"/"/g;p;}' \
  "$work/$browser.log" >"$out/page.log"
cat "$out/page.log"
echo "screenshot: $out/screenshot.png"
if ! grep -q '^opened: ' "$out/page.log"; then
  said=$(grep '^failed: ' "$out/page.log" | tail -n1)
  fail "$browser did not open the camera: ${said:-the page reported nothing within 60 s (see $out/$browser.log)}"
fi
[ -n "$shot" ] || fail "the page opened the camera, but the screenshot could not be taken"
exit 0
