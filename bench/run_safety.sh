#!/usr/bin/env bash
# Junk scoring and sender profiles (bench/sender_profile_bench.cpp): builds
# kestrova-bench-safety in the shared build directory (it needs the test message generator)
# and kestrova-generate-db, writes the benchmark database once into bench/data/ (shared with
# run_all.sh and run_rules.sh) and runs on a copy of it.
#
# Environment: BENCH_MESSAGES (100000), BENCH_SEED (42), BUILD (build), SAFETY_ROUNDS (9).
set -euo pipefail

# shellcheck source=bench/bench_database.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_database.sh"
build=${BUILD:-$root/build}  # the shared build: the bench needs the test message generator

flock /tmp/kestrova-build.lock cmake --build "$build" -j 2 --target kestrova-generate-db kestrova-bench-safety
ensure_database

"$build/bench/kestrova-bench-safety" --db "$db" --rounds "${SAFETY_ROUNDS:-9}" "$@"
