#!/usr/bin/env bash
# Start-up of kestrova against `notmuch --version`, medians of STARTUP_RUNS processes each,
# side by side in one run (bench/startup_compare.py): `kestrova --version`,
# `kestrova account list` and the tool server's start to its `initialize` answer. Installs
# notmuch when it is missing (for this benchmark only). The table is printed and kept in
# bench/data/startup-results-*.md.
#
# Environment: STARTUP_RUNS (20), STARTUP_BASELINE (a kestrova built from another revision:
# its three rows are added, for before/after figures in one run), BENCH_BUILD (build),
# BENCH_NO_BUILD (set: use BENCH_BUILD as it is), JOBS (build jobs, default: all cores).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build}
data=$root/bench/data

command -v notmuch >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q notmuch >/dev/null
if [ -z "${BENCH_NO_BUILD:-}" ]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" -j "${JOBS:-$(nproc)}" --target kestrova
fi
mkdir -p "$data"
python3 "$root/bench/startup_compare.py" --runs "${STARTUP_RUNS:-20}" \
  --markdown "$data/startup-results-$(date +%Y%m%d-%H%M%S).md" \
  "$build/kestrova" ${STARTUP_BASELINE:+"$STARTUP_BASELINE"}
