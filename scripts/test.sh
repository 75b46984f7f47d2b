#!/usr/bin/env bash
# Every test: the Linux suites in the default, asan (AddressSanitizer + UBSan) and tsan
# presets, a minute of every fuzz target (fuzz preset), then the same suites built for
# Windows (mingw preset) and run under Wine, clang's lock analysis over the Windows-only
# sources, then the 32-bit Windows build (mingw32
# preset): built completely, its binaries inspected, its programs not run (this machine
# cannot execute 32-bit x86 code).
# Exits non-zero when any build or test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh || exit 1
# Compiler cache entries are keyed by paths relative to the checkout, so a clone in any
# folder reuses what an earlier build of the same sources compiled.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1

failed=()
failed_tests=()

# Tests must leave shared memory as they found it: every step is followed by a look into
# /dev/shm and the user's object folder (/run/user/<uid>/amberline when the login manager
# made /run/user/<uid>, else /dev/shm/amberline-<uid>), and whatever appeared during the
# step and is still there is named (and fails the run). Objects that were there before the
# run are not this run's business; the folders themselves stay.
shm_objects() { find /dev/shm "/run/user/$(id -u)/amberline" -mindepth 1 ! -type d 2>/dev/null | sort; }
shm_before=$(shm_objects)
check_shm() {
  local step=$1 now left
  now=$(shm_objects)
  left=$(comm -13 <(printf '%s\n' "$shm_before") <(printf '%s\n' "$now") | sed '/^$/d')
  if [ -n "$left" ]; then
    echo "$step left $(printf '%s\n' "$left" | wc -l) shared object(s):"
    printf '%s\n' "$left" | sed 's/^/  /' | head -n 20
    failed+=("$step(/dev/shm)")
    shm_before=$now
  fi
}

run_preset() {
  local preset=$1
  echo "=== ${preset} ==="
  if ! cmake --preset "$preset" >/dev/null; then failed+=("$preset(configure)"); return; fi
  if ! cmake --build --preset "$preset"; then failed+=("$preset(build)"); return; fi
  if ! ctest --preset "$preset"; then
    failed+=("$preset(test)")
    # Named again at the very end, where a shortened log still shows them.
    # Each failed test with what it said (its lines from RUN to FAILED, at most 25).
    failed_tests+=("$(tr -d '\r' <"build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null | awk '
      /^\[ RUN      \]/ { n = 0 }
      { block[n++ % 25] = $0 }
      /^\[  FAILED  \] [^ ]+\..* \([0-9]+ ms\)$/ && shown++ < 8 {
        for (i = n > 25 ? n - 25 : 0; i < n; i++) print block[i % 25]
      }
      /^\[ DEADLINE \]|\*\*\*(Failed|Timeout)/ { print }' | sed "s/^/  $preset: /" | head -n 220)")
  fi
  check_shm "$preset"
}

for preset in default asan tsan; do run_preset "$preset"; done

# Every fuzz target for a minute in all, after its kept regression inputs.
echo "=== fuzz ==="
scripts/fuzz.sh 60 || failed+=("fuzz")
check_shm fuzz

# Windows dependencies are cross-built once into a cache outside the repository.
if scripts/build-opencv-mingw.sh && scripts/build-gtest-mingw.sh && scripts/build-libyuv-mingw.sh; then
  run_preset mingw
  # The lock annotations of the Windows-only code, checked by clang against the MinGW headers.
  echo "=== mingw thread-safety ==="
  scripts/thread-safety-windows.sh build/mingw || failed+=("mingw(thread-safety)")
else
  failed+=("mingw(dependencies)")
fi
if scripts/build-opencv-mingw.sh i686 && scripts/build-gtest-mingw.sh i686 && scripts/build-libyuv-mingw.sh i686; then
  run_preset mingw32
else
  failed+=("mingw32(dependencies)")
fi

# The installers, built from the stages above and each tried on a scratch system: the .deb
# in a scratch root with a private PipeWire, the MSI in a fresh Wine prefix.
echo "=== packages ==="
scripts/test-packages.sh || failed+=("packages")
check_shm packages

if [ ${#failed[@]} -ne 0 ]; then
  if [ ${#failed_tests[@]} -ne 0 ]; then
    echo "Failed tests:"
    printf '%s\n' "${failed_tests[@]}"
  fi
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All presets passed: default asan tsan mingw mingw32, fuzzing and both packages; /dev/shm is as it was"
