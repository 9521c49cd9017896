# shellcheck shell=bash
# Sourced by the benchmarks that run on the generated database (run_all.sh, run_search.sh,
# run_rules.sh, run_safety.sh, run_notmuch.sh): their shared settings, a Release build of
# the targets they need, and the database written once into bench/data/ (git-ignored, reused
# while it exists).
#
# Environment: BENCH_MESSAGES (100000), BENCH_SEED (42), BENCH_BUILD (build-bench),
# JOBS (build jobs, default: all cores), BENCH_NO_BUILD (set: use BENCH_BUILD as it is).

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
messages=${BENCH_MESSAGES:-100000}
seed=${BENCH_SEED:-42}
jobs=${JOBS:-$(nproc)}
data=$root/bench/data
mail_home=$data/mail-$messages-seed$seed
db=$mail_home/tivra/Email/email.db

# Configures build-bench in Release (tests off) and builds the generator and the given targets.
build_bench() {
  [[ -n ${BENCH_NO_BUILD:-} ]] && return
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROVA_TESTS=OFF \
    -DKESTROVA_BENCH=ON >/dev/null
  cmake --build "$build" -j "$jobs" --target kestrova-generate-db "$@"
}

# Writes the database unless it is there. Written under another name first, so an
# interrupted run never leaves a half database that a later run would take as finished.
ensure_database() {
  [[ -f $db ]] && return
  mkdir -p "$(dirname "$db")"
  "$build/tools/kestrova-generate-db" --out "$db.partial" --messages "$messages" --seed "$seed" --force
  mv "$db.partial" "$db"
}
