#!/usr/bin/env bash
# Rule application against direct SQL (bench/rule_apply_bench.cpp): builds
# kestrova-bench-rules and kestrova-generate-db (Release, in build-bench), writes the
# benchmark database once into bench/data/ (shared with run_all.sh), runs on a copy of it.
#
# Environment: BENCH_MESSAGES (100000), BENCH_SEED (42), BENCH_BUILD (build-bench),
# JOBS (build jobs, default: all cores), RULE_ROUNDS (9).
set -euo pipefail

# shellcheck source=bench/bench_database.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_database.sh"
build_bench kestrova-bench-rules
ensure_database

"$build/bench/kestrova-bench-rules" --db "$db" --rounds "${RULE_ROUNDS:-9}"
