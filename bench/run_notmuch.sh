#!/usr/bin/env bash
# Kestrova against notmuch on the same messages (bench/notmuch_compare.py): the benchmark
# database written as a Maildir (bench/export_maildir.py, once, kept in bench/data), indexed
# by `notmuch new` and by `kestrova import --maildir`, then the search benchmark's fifty
# queries through `notmuch search` and `kestrova search`. Installs notmuch when it is missing
# (for this benchmark only). The table is printed and kept in bench/data/notmuch-results-*.md.
#
# Environment: BENCH_MESSAGES (100000), BENCH_SEED (42), NOTMUCH_ROUNDS (5), BENCH_BUILD
# (build-bench), BENCH_NO_BUILD, JOBS (build jobs, default: all cores); KESTROVA_REFERENCE (an
# earlier build's kestrova, timed beside and checked for the same output) and NOTMUCH_REUSE
# (keep the indexes of the last run), see bench/notmuch_compare.py.
set -euo pipefail

# shellcheck source=bench/bench_database.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_database.sh"
maildir=$data/maildir-$messages-seed$seed

command -v notmuch >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q notmuch >/dev/null
build_bench kestrova
ensure_database
if [[ ! -d $maildir ]]; then
  rm -rf "$maildir.partial"
  python3 "$root/bench/export_maildir.py" "$db" "$maildir.partial"
  mv "$maildir.partial" "$maildir"
fi

python3 "$root/bench/notmuch_compare.py" "$build/kestrova" "$maildir" "$data/notmuch-work" \
  "$data/notmuch-results-$(date +%Y%m%d-%H%M%S).md" "${NOTMUCH_ROUNDS:-5}"
