#!/usr/bin/env bash
# New-mail latency and idle cost of `kestrova run` against `kestrova sync` on a 60 s timer,
# in one run (bench/service_latency.py).
#
#   1. builds kestrova (Release, in build-bench) unless KESTROVA names a binary;
#   2. starts the tests' loopback Dovecot in bench/data/service-servers (stopped on exit);
#   3. runs the measurement in a scratch home; the table is printed and kept in
#      bench/data/service-results-*.md.
#
# Environment: KESTROVA (a kestrova binary to use), SERVICE_MESSAGES (50), SERVICE_GAP_MIN
# (0.2), SERVICE_GAP_MAX (2.0), SERVICE_IDLE_ACCOUNTS (5), SERVICE_IDLE_SECONDS (120),
# BENCH_BUILD (build-bench), JOBS (build jobs, default: all cores).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
jobs=${JOBS:-$(nproc)}
data=$root/bench/data
servers=$data/service-servers

kestrova=${KESTROVA:-}
if [ -z "$kestrova" ]; then
  bash "$root/tools/install-deps.sh"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j "$jobs" --target kestrova
  kestrova=$build/kestrova
fi

mkdir -p "$data"
source "$root/bench/scratch_mail_servers.sh"
scratch_home_with_mail_servers service "$servers"
export KESTROVA_CREDENTIAL_STORE=file
python3 "$root/bench/service_latency.py" "$kestrova" "$servers/servers.json" \
  "$data/service-results-$(date +%Y%m%d-%H%M%S).md"
