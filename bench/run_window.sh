#!/usr/bin/env bash
# The desktop window on the generated database (bench/window_bench.cpp), offscreen: a minimal
# Qt window's start (the floor) and the window's own figures, each in a fresh process, in one
# run. Builds kestrova-bench-window in build-bench (Release) unless WINDOW_BUILD names a
# configured build folder to use as it is. BASELINE_BUILD names another build folder whose
# kestrova-bench-window (an earlier version, built already) runs beside it, round by round,
# on its own copy of the database: before and after figures from one run.
#
# Environment: BENCH_MESSAGES (100000), BENCH_SEED (42), BENCH_BUILD (build-bench),
# WINDOW_BUILD, BASELINE_BUILD, JOBS (build jobs, default: all cores), ROUNDS (3 starts of
# each).
set -euo pipefail

# shellcheck source=bench/bench_database.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_database.sh"
if [[ -n ${WINDOW_BUILD:-} ]]; then
  build=$(cd "$WINDOW_BUILD" && pwd)
  cmake --build "$build" -j "$jobs" --target kestrova-generate-db kestrova-bench-window
else
  build_bench kestrova-bench-window
fi
ensure_database

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config XDG_STATE_HOME=$home/state
mkdir -p "$XDG_CONFIG_HOME"
cp "$db" "$home/email.db"
# A database written by an older generator gets its missing indexes here, not in a timed start.
"$build/bench/kestrova-bench-window" --mode prepare --db "$home/email.db"
if [[ -n ${BASELINE_BUILD:-} ]]; then
  baseline=$(cd "$BASELINE_BUILD" && pwd)/bench/kestrova-bench-window
  cp "$db" "$home/baseline.db"
fi
for round in $(seq "${ROUNDS:-3}"); do
  echo "-- round $round"
  echo "minimal:"
  "$build/bench/kestrova-bench-window" --mode minimal
  if [[ -n ${baseline:-} ]]; then
    echo "baseline ($BASELINE_BUILD):"
    "$baseline" --db "$home/baseline.db"
  fi
  echo "window:"
  "$build/bench/kestrova-bench-window" --db "$home/email.db"
done
