#!/usr/bin/env bash
# Body prefetch of the newest 1,000 messages of a generated 10,000-message INBOX (56 MB):
# Kestrova (BODY.PEEK in batches, decoded and stored in SQLite) against mbsync (isync)
# pulling the newest 1,000 whole messages into a Maildir, rounds interleaved in one run
# (bench/body_prefetch.py).
#
#   1. builds kestrova-bench-sync-round and kestrova-mailgen (Release, in build-bench);
#      installs isync when mbsync is missing (for this benchmark only);
#   2. starts the tests' loopback Dovecot in bench/data/body-servers (stopped on exit);
#   3. writes BODY_MESSAGES generated messages straight into a fresh user's INBOX Maildir;
#   4. runs the rounds; the table is printed and kept in bench/data/body-results-*.md.
#
# Environment: BODY_MESSAGES (10000), BODY_LIMIT (1000), BODY_ROUNDS (5), BODY_WARMUP (1),
# BENCH_BUILD (build-bench), JOBS (build jobs, default: all cores), BENCH_NO_BUILD (set: use
# BENCH_BUILD as it is).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
messages=${BODY_MESSAGES:-10000}
limit=${BODY_LIMIT:-1000}
data=$root/bench/data
servers=$data/body-servers

source "$root/bench/scratch_mail_servers.sh"
command -v mbsync >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q isync >/dev/null
build_mail_bench kestrova-bench-sync-round kestrova-mailgen

mkdir -p "$data"
scratch_home_with_mail_servers bodies "$servers"
user="bench-bodies-$(date +%s)-$$@kestrova.test"
generated_inbox "$user" "$messages" "$build/tests/kestrova-mailgen"
corpus=$(du -sb "$servers/home/$user/Maildir/cur" "$servers/home/$user/Maildir/new" 2>/dev/null |
  awk '{s += $1} END {printf "%.1f", s / 1048576}')

stamp=$(date +%Y%m%d-%H%M%S)
echo "== $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1);" \
  "$(dovecot --version 2>/dev/null | cut -d' ' -f1 | sed 's/^/Dovecot /'), $(mbsync --version)"
echo "== $messages messages in INBOX ($corpus MB on disk), newest $limit, ${BODY_ROUNDS:-5} rounds after ${BODY_WARMUP:-1} warm-up"
python3 "$root/bench/body_prefetch.py" --servers "$servers/servers.json" --user "$user" \
  --bench-round "$build/bench/kestrova-bench-sync-round" --count "$limit" \
  --rounds "${BODY_ROUNDS:-5}" --warmup "${BODY_WARMUP:-1}" --markdown "$data/body-results-$stamp.md"
echo "Table kept in $data/body-results-$stamp.md"
