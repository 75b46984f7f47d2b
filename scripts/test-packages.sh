#!/usr/bin/env bash
# Builds the Debian package (default preset) and the Windows installer (mingw preset, with
# the mingw32 stage) and tries each: scripts/test.sh calls this after every preset is built.
# Either part alone: scripts/test-packages.sh deb|msi. Exits non-zero when any part fails.
set -uo pipefail
cd "$(dirname "$0")/.."
parts=("${@:-deb msi}")
failed=()
for part in ${parts[*]}; do
  case "$part" in
    deb)
      deb="build/default/amberline_$(sed -n 's/^project([^)]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)_$(dpkg --print-architecture).deb"
      if ! cmake --build --preset default --target deb; then
        echo "test-packages: the Debian package did not build" >&2
        failed+=(deb)
      elif ! tests/packaging/deb_test.sh "$deb"; then
        failed+=(deb)
      fi
      ;;
    msi)
      # The installer and the same one a version later (to try the upgrade), tried in a fresh
      # Wine prefix. Needs both Windows builds (mingw and mingw32 presets).
      if cmake --build --preset mingw --target msi msi_next; then
        msi=$(ls build/mingw/Amberline-*-x64.msi | head -n 1)
        next=$(ls build/mingw/packaging/msi_next/Amberline-*-x64.msi | head -n 1)
        tests/packaging/msi_test.py "$msi" "$next" || failed+=(msi)
      else
        failed+=("msi(build)")
      fi ;;
    *) echo "test-packages: unknown part '$part' (deb or msi)" >&2; exit 2 ;;
  esac
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "Packages FAILED: ${failed[*]}"
  exit 1
fi
echo "Packages passed: ${parts[*]}"
