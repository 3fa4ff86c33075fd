#!/usr/bin/env bash
# Builds the benchmarks (Release) in build/bench, runs the DSD to PCM
# converter's benchmark and prints its DSD64 stereo throughput as a multiple
# of real time (seconds of audio converted per second of one core).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPIPD_BENCH=ON -DPIPD_TESTS=OFF \
      >/dev/null
cmake --build "$build" --target dsd2pcm_bench
json=$(mktemp)
trap 'rm -f "$json"' EXIT
"$build/dsd2pcm_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_out="$json" --benchmark_out_format=json
python3 - "$json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
print()
print("DSD64 stereo (2 x 2,822,400 bit/s -> 2 x 176,400 samples/s), one core:")
for r in runs:
    if r.get("aggregate_name") == "median":
        name = r["run_name"].removeprefix("BM_Dsd64Stereo")
        print(f"  {name:<14} {r['x_realtime']:8.1f} x real time")
PY
