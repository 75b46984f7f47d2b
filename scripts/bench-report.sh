#!/usr/bin/env bash
# The performance report in one command: builds the bench preset, runs every benchmark
# program of bench/ (Google Benchmark JSON, repetitions, medians) and writes
# bench/report/report.md, bench/report/chart.png and bench/report/json/*.json, then
# replaces the table in README.md between its bench-report markers.
#
#   scripts/bench-report.sh            # REPETITIONS=5 MIN_TIME=0.2 by default
#   PROGRAMS="amberline_camera_node_bench" scripts/bench-report.sh
#                                      # runs only these; the others' kept results stay in
#                                      # the report
#
# amberline_camera_node_bench (Linux) runs against a private PipeWire (scripts/with-pipewire.sh).
#
# The benchmarks never run in scripts/test.sh. Absolute times depend on the machine and
# its load; the ratios compare with baselines measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

repetitions=${REPETITIONS:-5}
min_time=${MIN_TIME:-0.2}
out=bench/report
bin=build/bench/bench

export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
cmake --preset bench >/dev/null
cmake --build --preset bench -j"${JOBS:-2}"

# The chart is drawn with Debian's matplotlib, for the system's own python3 (a python3
# earlier on PATH may be another build without it).
if ! /usr/bin/python3 -c 'import matplotlib' 2>/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "bench-report: installing python3-matplotlib"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq >/dev/null
  $sudo apt-get install -y -qq --no-install-recommends python3-matplotlib >/dev/null
fi

all_programs="amberline_bench amberline_image_bench amberline_camera_bench amberline_producer_bench
  amberline_pipeline_bench amberline_latency_bench amberline_camera_node_bench amberline_sender_bench"
mkdir -p "$out/json"
[ -n "${PROGRAMS:-}" ] || rm -f "$out"/json/*.json
for program in ${PROGRAMS:-$all_programs}; do
  echo "=== $program ==="
  wrapper=()
  [ "$program" = amberline_camera_node_bench ] && wrapper=(scripts/with-pipewire.sh)
  "${wrapper[@]}" "$bin/$program" --benchmark_repetitions="$repetitions" --benchmark_min_time="$min_time" \
    --benchmark_report_aggregates_only=false --benchmark_display_aggregates_only=true \
    --benchmark_out="$out/json/$program.json" --benchmark_out_format=json
done
files=()
for program in $all_programs; do
  [ -f "$out/json/$program.json" ] && files+=("$out/json/$program.json")
done

echo "=== report ==="
/usr/bin/python3 bench/bench_report.py --out "$out" --readme README.md --repetitions "$repetitions" "${files[@]}"
echo "Report: $out/report.md, chart: $out/chart.png"
