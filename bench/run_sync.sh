#!/usr/bin/env bash
# First load of the newest 1,000 envelopes of a 10,000-message INBOX: Kestrova against
# Python's imaplib and mbsync (isync), side by side in one run (bench/sync_first_load.py).
#
#   1. builds kestrova-bench-sync-round and kestrova-mailgen (Release, in build-bench);
#   2. starts the tests' loopback Dovecot in bench/data/sync-servers (stopped on exit);
#   3. writes SYNC_MESSAGES generated messages straight into a fresh user's INBOX Maildir;
#   4. runs the rounds; the table is printed and kept in bench/data/sync-results-*.md.
#
# Environment: SYNC_MESSAGES (10000), SYNC_LIMIT (1000), SYNC_ROUNDS (7), SYNC_WARMUP (1),
# SYNC_WHOLE (0; 1 adds Kestrova and imaplib loading the whole folder), SYNC_MBSYNC (1; 0
# leaves the two mbsync rows out, for a Kestrova/imaplib run that ends sooner), SYNC_BASELINE (a
# kestrova-bench-sync-round built from another revision: one more row), BENCH_BUILD
# (build-bench), BENCH_NO_BUILD (set: use BENCH_BUILD as it is), JOBS (build jobs,
# default: all cores).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
messages=${SYNC_MESSAGES:-10000}
limit=${SYNC_LIMIT:-1000}
data=$root/bench/data
servers=$data/sync-servers

source "$root/bench/scratch_mail_servers.sh"
build_mail_bench kestrova-bench-sync-round kestrova-mailgen

mkdir -p "$data"
scratch_home_with_mail_servers sync "$servers"
user="bench-sync-$(date +%s)-$$@kestrova.test"
generated_inbox "$user" "$messages" "$build/tests/kestrova-mailgen"

stamp=$(date +%Y%m%d-%H%M%S)
echo "== $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1);" \
  "$(dovecot --version 2>/dev/null | cut -d' ' -f1 | sed 's/^/Dovecot /'), $(mbsync --version)," \
  "$(python3 -c 'import platform; print("Python", platform.python_version())')"
echo "== $messages messages in INBOX, newest $limit, ${SYNC_ROUNDS:-7} rounds after ${SYNC_WARMUP:-1} warm-up"
python3 "$root/bench/sync_first_load.py" --servers "$servers/servers.json" --user "$user" \
  --bench-round "$build/bench/kestrova-bench-sync-round" --limit "$limit" --expect "$messages" \
  --rounds "${SYNC_ROUNDS:-7}" --warmup "${SYNC_WARMUP:-1}" --markdown "$data/sync-results-$stamp.md" \
  $([ "${SYNC_WHOLE:-0}" = 1 ] && echo --whole) $([ "${SYNC_MBSYNC:-1}" = 0 ] && echo --without-mbsync) \
  ${SYNC_BASELINE:+--baseline-round "$SYNC_BASELINE"}
echo "Table kept in $data/sync-results-$stamp.md"
