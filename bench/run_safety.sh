#!/usr/bin/env bash
# Junk scoring and sender profiles (bench/sender_profile_bench.cpp): builds
# kestrova-bench-safety in the shared build directory (it needs the test message generator)
# and kestrova-generate-db, writes the benchmark database once into bench/data/ (shared with
# run_all.sh and run_rules.sh) and runs on a copy of it.
#
# Environment: BENCH_MESSAGES (100000), BENCH_SEED (42), BUILD (build), SAFETY_ROUNDS (9).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD:-$root/build}
messages=${BENCH_MESSAGES:-100000}
seed=${BENCH_SEED:-42}
db=$root/bench/data/mail-$messages-seed$seed/tivra/Email/email.db

flock /tmp/kestrova-build.lock cmake --build "$build" -j 2 --target kestrova-generate-db kestrova-bench-safety

if [[ ! -f $db ]]; then
  mkdir -p "$(dirname "$db")"
  "$build/tools/kestrova-generate-db" --out "$db.partial" --messages "$messages" --seed "$seed" --force
  mv "$db.partial" "$db"
fi

"$build/bench/kestrova-bench-safety" --db "$db" --rounds "${SAFETY_ROUNDS:-9}" "$@"
