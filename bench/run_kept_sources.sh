#!/usr/bin/env bash
# Storage cost of the original bytes kept for imported mail: a generated Maildir imported
# into a fresh local account by this build's kestrova and by a reference build that keeps no
# originals, each in a scratch home; prints the Maildir's bytes, each database's size, the
# bytes kept and the import times, and the ratios.
#
# Usage: bench/run_kept_sources.sh KESTROVA REFERENCE_KESTROVA MAILGEN [COUNT] [SEED]
set -euo pipefail

kestrova=$1 reference=$2 mailgen=$3 count=${4:-10000} seed=${5:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$mailgen" --maildir "$work/Maildir" --count "$count" --seed "$seed" >/dev/null
maildir_bytes=$(find "$work/Maildir" -type f -printf '%s\n' | awk '{s += $1} END {print s}')

run() {  # NAME BINARY: import into a fresh home; prints "seconds database_bytes kept_bytes"
  local home=$work/home-$1
  mkdir -p "$home"
  export HOME=$home XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config \
    XDG_STATE_HOME=$home/state KESTROVA_CREDENTIAL_STORE=file
  "$2" account add --local --email me@example.org --name Me >/dev/null
  "$2" folder create Archive --account me@example.org >/dev/null
  local start end
  start=$(date +%s.%N)
  "$2" import --maildir "$work/Maildir" --account me@example.org --folder Archive >/dev/null
  end=$(date +%s.%N)
  local db=$home/data/tivra/Email/email.db
  sqlite3 "$db" "PRAGMA wal_checkpoint(TRUNCATE);" >/dev/null
  local kept
  kept=$(sqlite3 "$db" "SELECT COALESCE(SUM(LENGTH(raw)), 0) FROM message_sources" 2>/dev/null || echo 0)
  echo "$(echo "$end - $start" | bc) $(stat -c %s "$db") $kept"
}

read -r ref_s ref_db _ < <(run reference "$reference")
read -r new_s new_db new_kept < <(run kept "$kestrova")
ratio() { echo "scale=3; $1 / $2" | bc; }
echo "messages: $count (seed $seed); Maildir: $maildir_bytes bytes"
echo "reference: database $ref_db bytes, import ${ref_s} s"
echo "kept:      database $new_db bytes (originals $new_kept bytes), import ${new_s} s"
echo "database growth / Maildir: $(ratio $((new_db - ref_db)) "$maildir_bytes")"
echo "originals / Maildir: $(ratio "$new_kept" "$maildir_bytes")"
echo "database kept / reference: $(ratio "$new_db" "$ref_db"); import time kept / reference: $(ratio "$new_s" "$ref_s")"
