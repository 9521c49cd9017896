#!/usr/bin/env bash
# Replay of REPLAY_ENTRIES journalled changes (half \Seen/\Flagged, half moves to five
# folders) in one round, against REPLAY_BASELINE of the same changes sent one session each,
# on the tests' loopback Dovecot (bench/replay_bench.cpp). The replay counts the IMAP
# commands it sends.
#
# Environment: REPLAY_ENTRIES (1000), REPLAY_BASELINE (100), BENCH_BUILD (build-bench),
# JOBS (build jobs, default: all cores), BENCH_NO_BUILD (set: use BENCH_BUILD as it is).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
entries=${REPLAY_ENTRIES:-1000}
baseline=${REPLAY_BASELINE:-100}
data=$root/bench/data
servers=$data/replay-servers

source "$root/bench/scratch_mail_servers.sh"
build_mail_bench kestrova-bench-replay kestrova-mailgen

mkdir -p "$data"
scratch_home_with_mail_servers replay "$servers"
user="bench-replay-$(date +%s)-$$@kestrova.test"
python3 - "$servers/servers.json" "$user" <<'PY'
import imaplib, json, sys
s = json.load(open(sys.argv[1]))
imap = imaplib.IMAP4(s["host"], s["imap_plain"])
imap.login(sys.argv[2], s["password"])
for i in range(5):
    imap.create("R%d" % i)
imap.logout()
PY
home=$servers/home/$user
"$build/tests/kestrova-mailgen" --maildir "$home/Maildir" --folder INBOX \
  --count $((entries + baseline)) --seed 11 >/dev/null

port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["imap_plain"])' "$servers/servers.json")
echo "== $(nproc) cores, $(dovecot --version 2>/dev/null | cut -d' ' -f1 | sed 's/^/Dovecot /');" \
  "$entries entries replayed, $baseline changes one session each"
"$build/bench/kestrova-bench-replay" --host 127.0.0.1 --port "$port" --user "$user" \
  --password "$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["password"])' "$servers/servers.json")" \
  --db "$scratch/replay.db" --entries "$entries" --baseline "$baseline"
