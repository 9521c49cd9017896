#!/usr/bin/env bash
# A folder sync after messages were expunged by another client: today's sync (which keeps
# the ghosts) against the sync that removes them, by UID sets and by QRESYNC, side by side
# in one run (bench/resync_bench.cpp).
#
#   1. builds kestrova-bench-resync and kestrova-mailgen (Release, in build-bench);
#   2. starts the tests' loopback Dovecot in bench/data/resync-servers (stopped on exit);
#   3. writes RESYNC_MESSAGES + RESYNC_ROUNDS x RESYNC_EXPUNGES generated messages into a
#      fresh user's INBOX, so that the folder holds RESYNC_MESSAGES after the last round;
#   4. runs the rounds for the whole folder (as `kestrova sync` does) and for the newest 50
#      (as the service's receive does); the tables are printed.
#
# Environment: RESYNC_MESSAGES (10000), RESYNC_EXPUNGES (100), RESYNC_ROUNDS (5),
# RESYNC_LIMITS ("0 50": the listing sizes to run),
# BENCH_BUILD (build-bench), BENCH_NO_BUILD (set: use BENCH_BUILD as it is), JOBS.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
messages=${RESYNC_MESSAGES:-10000}
expunges=${RESYNC_EXPUNGES:-100}
rounds=${RESYNC_ROUNDS:-5}
data=$root/bench/data
servers=$data/resync-servers

source "$root/bench/scratch_mail_servers.sh"
build_mail_bench kestrova-bench-resync kestrova-mailgen

mkdir -p "$data"
scratch_home_with_mail_servers resync "$servers"
user="bench-resync-$(date +%s)-$$@kestrova.test"
generated_inbox "$user" "$((messages + rounds * expunges))" "$build/tests/kestrova-mailgen"
read -r host port password < <(python3 -c 'import json,sys; s=json.load(open(sys.argv[1]));
print(s["host"], s["imap_plain"], s["password"])' "$servers/servers.json")

echo "== $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1);" \
  "$(dovecot --version 2>/dev/null | cut -d' ' -f1 | sed 's/^/Dovecot /')"
first=1
for limit in ${RESYNC_LIMITS:-0 50}; do
  mkdir -p "$scratch/resync-$limit"
  # Each run starts from a folder of the same size: the first one's expunges are delivered
  # again as new mail.
  if [ -z "$first" ]; then
    "$build/tests/kestrova-mailgen" --maildir "$servers/home/$user/Maildir" --folder INBOX \
      --count "$((rounds * expunges))" --seed 7 --start "$((messages + rounds * expunges))" >/dev/null
  fi
  first=
  "$build/bench/kestrova-bench-resync" --host "$host" --port "$port" --user "$user" \
    --password "$password" --dir "$scratch/resync-$limit" --rounds "$rounds" \
    --expunges "$expunges" --limit "$limit"
  echo
done
