#!/usr/bin/env bash
# Rule application against direct SQL (bench/rule_apply_bench.cpp): builds
# kestrova-bench-rules and kestrova-generate-db (Release, in build-bench), writes the
# benchmark database once into bench/data/ (shared with run_all.sh), runs on a copy of it.
#
# Environment: BENCH_MESSAGES (100000), BENCH_SEED (42), BENCH_BUILD (build-bench),
# JOBS (build jobs, default: all cores), RULE_ROUNDS (9).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
messages=${BENCH_MESSAGES:-100000}
seed=${BENCH_SEED:-42}
jobs=${JOBS:-$(nproc)}
db=$root/bench/data/mail-$messages-seed$seed/tivra/Email/email.db

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROVA_TESTS=OFF \
  -DKESTROVA_BENCH=ON >/dev/null
cmake --build "$build" -j "$jobs" --target kestrova-generate-db kestrova-bench-rules

if [[ ! -f $db ]]; then
  mkdir -p "$(dirname "$db")"
  "$build/tools/kestrova-generate-db" --out "$db.partial" --messages "$messages" --seed "$seed" --force
  mv "$db.partial" "$db"
fi

"$build/bench/kestrova-bench-rules" --db "$db" --rounds "${RULE_ROUNDS:-9}"
