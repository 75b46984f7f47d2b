#!/usr/bin/env bash
# Every test: the suites in the default, asan (AddressSanitizer + UBSan) and tsan
# presets. Exits non-zero when any build or test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh || exit 1

presets=(default asan tsan)
failed=()
for preset in "${presets[@]}"; do
  echo "=== ${preset} ==="
  if ! cmake --preset "$preset" >/dev/null; then failed+=("$preset(configure)"); continue; fi
  if ! cmake --build --preset "$preset"; then failed+=("$preset(build)"); continue; fi
  if ! ctest --preset "$preset"; then failed+=("$preset(test)"); fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All presets passed: ${presets[*]}"
