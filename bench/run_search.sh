#!/usr/bin/env bash
# Search through the substring index against the plain LIKE statements
# (bench/search_bench.cpp): builds kestrova-bench-search and kestrova-generate-db (Release,
# in build-bench), writes the benchmark database once into bench/data/ (shared with
# run_all.sh), copies it as it was written and runs on the copy, whose first open builds
# the index (that time is printed first), then once more limited to the largest account.
#
# Environment: BENCH_MESSAGES (100000), BENCH_SEED (42), BENCH_BUILD (build-bench),
# JOBS (build jobs, default: all cores), SEARCH_ROUNDS (9).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
messages=${BENCH_MESSAGES:-100000}
seed=${BENCH_SEED:-42}
jobs=${JOBS:-$(nproc)}
db=$root/bench/data/mail-$messages-seed$seed/tivra/Email/email.db
copy=$root/bench/data/search-$messages-seed$seed.db

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROVA_TESTS=OFF \
  -DKESTROVA_BENCH=ON >/dev/null
cmake --build "$build" -j "$jobs" --target kestrova-generate-db kestrova-bench-search

if [[ ! -f $db ]]; then
  mkdir -p "$(dirname "$db")"
  "$build/tools/kestrova-generate-db" --out "$db.partial" --messages "$messages" --seed "$seed" --force
  mv "$db.partial" "$db"
fi

cp "$db" "$copy"
"$build/bench/kestrova-bench-search" --db "$copy" --rounds "${SEARCH_ROUNDS:-9}" | grep -E '^(\||open|median|results|$)'
"$build/bench/kestrova-bench-search" --db "$copy" --rounds "${SEARCH_ROUNDS:-9}" --account | grep -E '^(\||open|median|results|$)'
