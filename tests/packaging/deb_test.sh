#!/usr/bin/env bash
# deb_test.sh DEB: checks the Debian package as a user gets it.
#  - lintian finds no error in it;
#  - it holds exactly the files listed below, with their modes;
#  - Depends names the shared libraries the programs load, and python3;
#  - unpacked into a scratch root (dpkg -x), every program there prints "<program> <version>"
#    for --version, with the package's version; the development files build a C program
#    against the unpacked library (pkg-config and CMake);
#  - under a private PipeWire (scripts/with-pipewire.sh), the unpacked amberline-camera
#    publishes its node and GStreamer reads from it the placeholder picture (found under
#    the unpacked /usr/lib/amberline), then the unpacked producer's picture (solid green), then
#    the frames the unpacked Python package sends through the unpacked library (solid blue).
# Prints one sentence for every check that fails; exits 0 when all pass, 1 otherwise.
# Every wait is bounded; everything it starts is stopped and the scratch root removed at exit.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)

# The camera part, run by with-pipewire.sh (below): ROOT SCRATCH.
if [ "${1:-}" = --camera-part ]; then
  root=$2
  scratch=$3
  bin="$root/usr/bin"
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  failures=0
  fail() { echo "deb_test: $*" >&2; failures=$((failures + 1)); }
  pids=()
  stop_all() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -KILL "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
    done
    pids=()
  }
  trap stop_all EXIT
  trap 'exit 143' TERM INT
  # Stops PID with SIGTERM (a user's stop), waits at most 10 s, and counts a failure naming
  # WHAT with LOG's lines unless it ended with status 0.
  stop_cleanly() {
    local pid=$1 what=$2 log=$3 status
    kill -TERM "$pid" 2>/dev/null
    timeout 10 tail --pid="$pid" -f /dev/null
    wait "$pid"
    status=$?
    [ "$status" -eq 0 ] || {
      fail "$what should end with status 0 after SIGTERM, not $status; it said:"
      sed 's/^/  /' "$log" >&2
    }
  }
  # A channel of this test's own: a producer the machine runs is neither seen nor disturbed.
  export AMBERLINE_CHANNEL_NAMESPACE="DebTest$$_"
  export XDG_STATE_HOME="$scratch/state" AMBERLINE_REGISTRY_ROOT="$scratch/registry"
  unset AMBERLINE_SENDER_LIBRARY

  # The id of the node the camera announced last.
  announced_node() { sed -n 's/^amberline-camera: ".*" is PipeWire node \([0-9]*\) .*/\1/p' "$scratch/camera.log" | tail -n 1; }

  "$bin/amberline-camera" >"$scratch/camera.log" 2>&1 &
  camera=$!
  pids+=("$camera")
  node=""
  for _ in $(seq 100); do
    node=$(announced_node)
    [ -n "$node" ] && break
    kill -0 "$camera" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$node" ]; then
    fail "the unpacked amberline-camera did not publish its node within 10 s; its output:"
    sed 's/^/  /' "$scratch/camera.log" >&2
    exit 1
  fi

  # Records COUNT frames (640x480, 4:2:0) from the node and prints what the last one is:
  # "black", "green", "blue" or "picture" (anything else with detail in it), then the mean
  # of Y, Cb and Cr at its centre and the spread of Y over the frame.
  last_frame() {
    local file="$scratch/frames.i420"
    rm -f "$file"
    # An unused node is published anew after a while; the camera names its id each time.
    node=$(announced_node)
    timeout 20 gst-launch-1.0 -q pipewiresrc path="$node" num-buffers="$1" \
      ! video/x-raw,format=I420,width=640,height=480,framerate=30/1 ! filesink location="$file" \
      >"$scratch/gst.log" 2>&1 || { echo "none (GStreamer: $(tr '\n' ' ' <"$scratch/gst.log"))"; return; }
    /usr/bin/python3 - "$file" <<'PY'
import statistics, sys
w, h = 640, 480
size = w * h * 3 // 2
data = open(sys.argv[1], "rb").read()
if len(data) < size:
    print("none (%d bytes recorded)" % len(data)); sys.exit()
frame = data[len(data) // size * size - size:][:size]
y, u, v = frame[:w * h], frame[w * h:w * h * 5 // 4], frame[w * h * 5 // 4:]
def centre(plane, pw, ph):
    return statistics.mean(plane[r * pw + c] for r in range(ph // 2 - 8, ph // 2 + 8) for c in range(pw // 2 - 8, pw // 2 + 8))
cy, cu, cv = centre(y, w, h), centre(u, w // 2, h // 2), centre(v, w // 2, h // 2)
spread = statistics.pstdev(y[::97])
kind = "picture" if spread > 10 else "black" if cy < 24 else "other"
if spread < 4 and 120 < cy < 170 and cu < 80 and cv < 80: kind = "green"
if spread < 4 and cy < 70 and cu > 200 and 90 < cv < 140: kind = "blue"
print("%s (centre Y %.0f Cb %.0f Cr %.0f, spread of Y %.1f)" % (kind, cy, cu, cv, spread))
PY
  }
  # Waits (at most about 15 s) until the last recorded frame is KIND; prints the last result.
  wait_for_frame() {
    local result=""
    for _ in $(seq 5); do
      result=$(last_frame 20)
      [ "${result%% *}" = "$1" ] && break
    done
    echo "$result"
  }

  seen=$(last_frame 10)
  [ "${seen%% *}" = picture ] ||
    fail "with no producer, the camera should show its placeholder picture (from $root/usr/lib/amberline); GStreamer got: $seen"

  ffmpeg -loglevel error -f lavfi -i color=c=0x00FF00:s=640x480 -frames:v 1 -y "$scratch/green.png" ||
    fail "ffmpeg could not draw the test picture"
  "$bin/amberline-producer" --image "$scratch/green.png" >"$scratch/producer.log" 2>&1 &
  producer=$!
  pids+=("$producer")
  seen=$(wait_for_frame green)
  [ "${seen%% *}" = green ] || {
    fail "the camera should show the unpacked producer's green picture; GStreamer got: $seen; the producer said:"
    sed 's/^/  /' "$scratch/producer.log" >&2
  }
  stop_cleanly "$producer" "the unpacked producer" "$scratch/producer.log"

  PYTHONPATH="$root/usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 - "$root" \
    >"$scratch/python.log" 2>&1 <<'PY' &
import os, signal, sys
import amberline
# SIGTERM ends the sending cleanly: the sender leaves the channel as a stopping producer does.
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
root = os.path.realpath(sys.argv[1])
if not os.path.realpath(amberline.library_path).startswith(root + os.sep):
    sys.exit("the package loaded %s, not the library unpacked in %s" % (amberline.library_path, root))
blue = bytes([0, 0, 255]) * (640 * 480)
with amberline.Sender(640, 480, fps=30, fmt="RGB") as cam:
    print("sending", flush=True)
    for _ in range(30 * 30):
        cam.send(blue)
        cam.sleep_until_next_frame()
PY
  sender=$!
  pids+=("$sender")
  for _ in $(seq 100); do
    grep -q '^sending' "$scratch/python.log" && break
    kill -0 "$sender" 2>/dev/null || break
    sleep 0.1
  done
  if grep -q '^sending' "$scratch/python.log"; then
    seen=$(wait_for_frame blue)
    [ "${seen%% *}" = blue ] ||
      fail "the camera should show the blue frames the unpacked Python package sends; GStreamer got: $seen"
  else
    fail "the unpacked Python package could not send with the unpacked library; it said:"
    sed 's/^/  /' "$scratch/python.log" >&2
  fi

  stop_cleanly "$sender" "the Python sender" "$scratch/python.log"
  stop_cleanly "$camera" "the unpacked amberline-camera" "$scratch/camera.log"
  stop_all
  [ "$failures" -eq 0 ]
  exit $?
fi

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: deb_test.sh DEB" >&2
  exit 2
fi
deb=$(realpath "$1")
failures=0
fail() { echo "deb_test: $*" >&2; failures=$((failures + 1)); }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/amberline-deb-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 143' TERM INT
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
version=$(dpkg-deb -f "$deb" Version)
tools="amberline-camera amberline-capture amberline-producer amberline-regsvr"

# lintian: errors fail, everything else is shown.
timeout 600 lintian "$deb" >"$scratch/lintian.txt" 2>&1
grep -v 'running with root privileges' "$scratch/lintian.txt" | sed 's/^/lintian: /'
if grep -q '^E:' "$scratch/lintian.txt"; then
  fail "lintian reports errors in the package (the lines starting with E: above)"
fi

# The files (not folders), each with its mode; a link with its target.
expected=$(sed "s|@MULTIARCH@|$multiarch|" <<'EOF'
-rw-r--r-- ./usr/include/amberline/sender.h
-rw-r--r-- ./usr/lib/@MULTIARCH@/cmake/AmberlineSender/AmberlineSenderConfig.cmake
lrwxrwxrwx ./usr/lib/@MULTIARCH@/libamberline_sender.so -> libamberline_sender.so.1
-rw-r--r-- ./usr/lib/@MULTIARCH@/libamberline_sender.so.1
-rw-r--r-- ./usr/lib/@MULTIARCH@/pkgconfig/amberline-sender.pc
-rw-r--r-- ./usr/lib/amberline/Bin/amberline.so
-rw-r--r-- ./usr/lib/amberline/Data/Images/VideoSrc/PleaseStart.png
-rw-r--r-- ./usr/lib/amberline/data/effect_data/logo/logo.png
-rw-r--r-- ./usr/lib/python3/dist-packages/amberline/__init__.py
-rw-r--r-- ./usr/lib/systemd/user/amberline-camera.service
-rw-r--r-- ./usr/share/doc/amberline/changelog.gz
-rw-r--r-- ./usr/share/doc/amberline/copyright
-rw-r--r-- ./usr/share/lintian/overrides/amberline
-rwxr-xr-x ./usr/bin/amberline-camera
-rwxr-xr-x ./usr/bin/amberline-capture
-rwxr-xr-x ./usr/bin/amberline-producer
-rwxr-xr-x ./usr/bin/amberline-regsvr
EOF
)
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { $2 = $3 = $4 = $5 = ""; print }' | tr -s ' ' | LC_ALL=C sort)
if [ "$actual" != "$(LC_ALL=C sort <<<"$expected")" ]; then
  fail "the package's files differ from the expected list (< expected, > in the package):"
  diff <(LC_ALL=C sort <<<"$expected") <(echo "$actual") | grep '^[<>]' >&2
fi

depends=$(dpkg-deb -f "$deb" Depends)
for needed in libc6 libstdc++6 libpipewire-0.3-0 libopencv-core libopencv-imgproc libyuv0 python3; do
  grep -q "\(^\|, \)$needed" <<<"$depends" || fail "Depends should name $needed; it is: ${depends:-(empty)}"
done

root="$scratch/root"
dpkg -x "$deb" "$root" || { fail "dpkg -x could not unpack the package"; exit 1; }
export LD_LIBRARY_PATH="$root/usr/lib/$multiarch"
for tool in $tools; do
  said=$(timeout 10 "$root/usr/bin/$tool" --version 2>&1)
  [ "$said" = "$tool $version" ] || fail "$tool --version should print \"$tool $version\", not \"$said\""
  missing=$(ldd "$root/usr/bin/$tool" | grep 'not found')
  [ -z "$missing" ] || fail "$tool needs libraries that are not there: $missing"
done
unit="$root/usr/lib/systemd/user/amberline-camera.service"
grep -qx 'ExecStart="/usr/bin/amberline-camera"' "$unit" ||
  fail "the user service should run /usr/bin/amberline-camera; its ExecStart is: $(grep ExecStart "$unit")"

# A C program built against the unpacked development files, as the README shows.
if flags=$(PKG_CONFIG_LIBDIR="$root/usr/lib/$multiarch/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root" \
    pkg-config --cflags --libs amberline-sender); then
  # shellcheck disable=SC2086
  cc "$repo/examples/send_pattern.c" $flags -o "$scratch/send_pattern" 2>"$scratch/cc.log" ||
    { fail "send_pattern.c does not build with pkg-config's flags ($flags):"; sed 's/^/  /' "$scratch/cc.log" >&2; }
else
  fail "pkg-config does not read the unpacked amberline-sender.pc"
fi
mkdir -p "$scratch/cmake-src"
cat >"$scratch/cmake-src/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(send_pattern C)
find_package(AmberlineSender REQUIRED)
add_executable(send_pattern "$repo/examples/send_pattern.c")
target_link_libraries(send_pattern PRIVATE AmberlineSender::amberline_sender)
EOF
if ! { timeout 120 cmake -S "$scratch/cmake-src" -B "$scratch/cmake-build" \
         -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_LIBRARY_ARCHITECTURE="$multiarch" &&
       timeout 120 cmake --build "$scratch/cmake-build"; } >"$scratch/cmake.log" 2>&1; then
  fail "send_pattern.c does not build with find_package(AmberlineSender) from the unpacked package:"
  tail -n 20 "$scratch/cmake.log" | sed 's/^/  /' >&2
fi

timeout 180 "$repo/scripts/with-pipewire.sh" "$0" --camera-part "$root" "$scratch" || fail "the camera run failed (above)"

if [ "$failures" -ne 0 ]; then
  echo "deb_test: $failures check(s) failed for $deb"
  exit 1
fi
echo "deb_test: $deb passed (lintian without errors, its files, Depends, --version $version, development files, camera, producer and Python sender from the unpacked package)"
