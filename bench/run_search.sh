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

# shellcheck source=bench/bench_database.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_database.sh"
copy=$data/search-$messages-seed$seed.db
build_bench kestrova-bench-search
ensure_database

cp "$db" "$copy"
"$build/bench/kestrova-bench-search" --db "$copy" --rounds "${SEARCH_ROUNDS:-9}" | grep -E '^(\||open|median|results|$)'
"$build/bench/kestrova-bench-search" --db "$copy" --rounds "${SEARCH_ROUNDS:-9}" --account | grep -E '^(\||open|median|results|$)'
