#!/usr/bin/env bash
# Kestrova against notmuch on the same messages (bench/notmuch_compare.py): the benchmark
# database written as a Maildir (bench/export_maildir.py, once, kept in bench/data), indexed
# by `notmuch new` and by `kestrova import --maildir`, then the search benchmark's fifty
# queries through `notmuch search` and `kestrova search`. Installs notmuch when it is missing
# (for this benchmark only). The table is printed and kept in bench/data/notmuch-results-*.md.
#
# Environment: BENCH_MESSAGES (100000), BENCH_SEED (42), NOTMUCH_ROUNDS (5), BENCH_BUILD
# (build-bench), JOBS (build jobs, default: all cores).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
messages=${BENCH_MESSAGES:-100000}
seed=${BENCH_SEED:-42}
jobs=${JOBS:-$(nproc)}
data=$root/bench/data
db=$data/mail-$messages-seed$seed/tivra/Email/email.db
maildir=$data/maildir-$messages-seed$seed

command -v notmuch >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q notmuch >/dev/null
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROVA_TESTS=OFF \
  -DKESTROVA_BENCH=ON >/dev/null
cmake --build "$build" -j "$jobs" --target kestrova kestrova-generate-db

if [[ ! -f $db ]]; then
  mkdir -p "$(dirname "$db")"
  "$build/tools/kestrova-generate-db" --out "$db.partial" --messages "$messages" --seed "$seed" --force
  mv "$db.partial" "$db"
fi
if [[ ! -d $maildir ]]; then
  rm -rf "$maildir.partial"
  python3 "$root/bench/export_maildir.py" "$db" "$maildir.partial"
  mv "$maildir.partial" "$maildir"
fi

python3 "$root/bench/notmuch_compare.py" "$build/kestrova" "$maildir" "$data/notmuch-work" \
  "$data/notmuch-results-$(date +%Y%m%d-%H%M%S).md" "${NOTMUCH_ROUNDS:-5}"
