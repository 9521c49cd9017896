#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench), writes the benchmark database once into
# bench/data/ (git-ignored; reused while it exists), then runs
#   1. kestrova-bench-tools: every read tool through the real `kestrova --mcp-stdio` over
#      pipes next to the same SQL on SQLite, and process start to the initialize answer;
#   2. kestrova-bench-handle-line: the request handler in-process (Google Benchmark).
# Results are printed and kept in bench/data/results-*.md and *.json.
#
# Environment: BENCH_MESSAGES (100000), BENCH_SEED (42), BENCH_BUILD (build-bench),
# JOBS (parallel build jobs, default: all cores), BENCH_ARGS (extra kestrova-bench-tools
# flags, e.g. "--only list_messages").
set -euo pipefail

# shellcheck source=bench/bench_database.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_database.sh"
build_bench kestrova kestrova-bench-tools kestrova-bench-handle-line
ensure_database

# The tool server reads its database and settings from here, never from the real home.
mkdir -p "$data/config" "$data/home"
export XDG_DATA_HOME=$mail_home XDG_CONFIG_HOME=$data/config HOME=$data/home

stamp=$(date +%Y%m%d-%H%M%S)
echo "== $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1); database: $messages messages, $(du -m "$db" | cut -f1) MB"
echo "== tool server over pipes vs raw SQLite, and start-up"
# shellcheck disable=SC2086
"$build/bench/kestrova-bench-tools" --binary "$build/kestrova" --markdown "$data/results-$stamp.md" \
  --server-log "$data/server-$stamp.log" ${BENCH_ARGS:-}
echo
echo "== request handler in-process (Google Benchmark)"
"$build/bench/kestrova-bench-handle-line" --benchmark_min_time=0.3 \
  --benchmark_out="$data/handle-line-$stamp.json" --benchmark_out_format=json
echo
echo "Tables kept in $data/results-$stamp.md and $data/handle-line-$stamp.json"
