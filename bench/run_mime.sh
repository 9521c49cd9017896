#!/usr/bin/env bash
# Content decoder throughput: EmailContentDecoder against GMime 3 on the same messages.
#
#   1. builds kestrova-bench-mime-decode and kestrova-mailgen (Release, in build-bench; the
#      generator lives with the tests, so the tests are configured in);
#   2. writes MIME_MESSAGES generated messages (seed MIME_SEED) into
#      bench/data/mime-corpus/generated, afresh on every run;
#   3. runs the benchmark on tests/differential/samples and on that corpus.
# The table is printed and kept in bench/data/mime-decode-*.json.
#
# Environment: MIME_MESSAGES (2000), MIME_SEED (42), BENCH_BUILD (build-bench), JOBS
# (parallel build jobs, default: all cores), BENCH_ARGS (extra Google Benchmark flags, e.g.
# "--benchmark_repetitions=5").
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
jobs=${JOBS:-$(nproc)}
messages=${MIME_MESSAGES:-2000}
seed=${MIME_SEED:-42}
data=$root/bench/data
corpus=$data/mime-corpus/generated

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROVA_TESTS=ON \
  -DKESTROVA_BENCH=ON >/dev/null
cmake --build "$build" -j "$jobs" --target kestrova-bench-mime-decode kestrova-mailgen

rm -rf "$corpus"
mkdir -p "$corpus"
"$build/tests/kestrova-mailgen" --eml-dir "$corpus" --count "$messages" --seed "$seed" >/dev/null

stamp=$(date +%Y%m%d-%H%M%S)
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
# shellcheck disable=SC2086  # BENCH_ARGS is a list of flags
"$build/bench/kestrova-bench-mime-decode" --corpus "$root/tests/differential/samples" \
  --corpus "$corpus" --benchmark_min_time=2 --benchmark_out="$data/mime-decode-$stamp.json" \
  --benchmark_out_format=json ${BENCH_ARGS:-}
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
