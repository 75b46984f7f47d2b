#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target (or the ones named) for a bounded
# time: first every kept regression input once (fuzz/regressions/<target>/), then
# libFuzzer on a scratch copy of the seed corpus (fuzz/corpus/<target>/), so that runs
# never grow the repository. The total time is split evenly over the targets.
#
#   scripts/fuzz.sh                      60 s in all
#   scripts/fuzz.sh 3600                 an hour in all
#   scripts/fuzz.sh 600 region_consumer  ten minutes on one target
#   JOBS=2 scripts/fuzz.sh               build with two jobs (default: one per CPU)
#
# A crash, leak, hang (10 s per input) or undefined behaviour fails the run; libFuzzer's
# reproducer is left in the scratch folder ($AMBERLINE_FUZZ_WORK, default a fresh folder
# under /tmp, kept on failure), named in the output. Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

total=${1:-60}
shift || true
all=(region_consumer region_producer media_type sample_properties registry_hive picture y4m_stream bridge_reply)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")
if ! [[ $total =~ ^[0-9]+$ ]] || [ "$total" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh [total-seconds] [target...]" >&2
  exit 2
fi

export CCACHE_BASEDIR=$repo CCACHE_NOHASHDIR=1
if ! cmake --preset fuzz >/dev/null || ! cmake --build --preset fuzz -j "${JOBS:-$(nproc)}"; then
  echo "fuzz: build failed" >&2
  exit 1
fi
bin=$repo/build/fuzz/fuzz

work=${AMBERLINE_FUZZ_WORK:-$(mktemp -d /tmp/amberline-fuzz.XXXXXX)}
mkdir -p "$work"
per=$(( total / ${#targets[@]} ))
[ "$per" -lt 1 ] && per=1

failed=()
for target in "${targets[@]}"; do
  if [ ! -x "$bin/$target" ]; then
    echo "fuzz: no target $target" >&2
    failed+=("$target(missing)")
    continue
  fi
  # Every input that once failed runs again first, once each.
  regressions=$repo/fuzz/regressions/$target
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    if ! "$bin/$target" -timeout=10 "$regressions"/* >"$work/$target.regressions.log" 2>&1; then
      echo "fuzz: $target fails a kept regression input (log: $work/$target.regressions.log)"
      failed+=("$target(regression)")
      continue
    fi
  fi
  corpus=$work/corpus/$target
  artifacts=$work/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  cp -r "$repo/fuzz/corpus/$target/." "$corpus/"
  echo "=== fuzz $target: ${per}s"
  if ! "$bin/$target" -max_total_time="$per" -timeout=10 -max_len=8192 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$corpus" >"$work/$target.log" 2>&1; then
    echo "fuzz: $target failed (log: $work/$target.log, input: $(ls -d "$artifacts"/* 2>/dev/null | head -1))"
    failed+=("$target")
    continue
  fi
  grep -E '^stat::number_of_executed_units|^Done' "$work/$target.log" | tr '\n' ' '
  echo
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "FUZZ FAILED: ${failed[*]} (scratch: $work)"
  exit 1
fi
[ -z "${AMBERLINE_FUZZ_WORK:-}" ] && rm -rf "$work"
echo "Fuzzing passed: ${targets[*]}"
