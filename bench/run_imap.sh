#!/usr/bin/env bash
# The IMAP header load benchmark: Kestrova's IMAP session against Python's imaplib, side by
# side in one run, over plain text and over TLS.
#
#   1. builds kestrova-bench-imap (Release, in build-bench);
#   2. starts the tests' loopback Dovecot (tests/support/mail_servers/mail_servers.py) in
#      bench/data/imap-servers, and always stops it again on exit;
#   3. fills a fresh user's INBOX with IMAP_MESSAGES messages (bench/imap_bench_mail.py);
#   4. runs kestrova-bench-imap on the plain and on the TLS port.
# The table is printed and kept in bench/data/imap-results-*.md; the session's log lines go
# to bench/data/imap-session-*.log.
#
# Environment: IMAP_MESSAGES (1000), IMAP_ROUNDS (15 measured rounds per side and
# connection), IMAP_WARMUP (2), IMAP_CONNECTIONS (plain,tls), BENCH_BUILD (build-bench),
# JOBS (parallel build jobs, default: all cores), PYTHON (/usr/bin/python3, Debian's).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
jobs=${JOBS:-$(nproc)}
messages=${IMAP_MESSAGES:-1000}
rounds=${IMAP_ROUNDS:-15}
warmup=${IMAP_WARMUP:-2}
connections=${IMAP_CONNECTIONS:-plain,tls}
python=${PYTHON:-/usr/bin/python3}
data=$root/bench/data
servers=$data/imap-servers

for tool in dovecot openssl; do
  if ! command -v "$tool" >/dev/null && [[ ! -x /usr/sbin/$tool ]]; then
    echo "$tool is missing: run 'bash tools/install-deps.sh' (or 'make bench-imap')" >&2
    exit 1
  fi
done

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROVA_TESTS=OFF \
  -DKESTROVA_BENCH=ON >/dev/null
cmake --build "$build" -j "$jobs" --target kestrova-bench-imap

mkdir -p "$data"
# The session reads the settings file at every connect: never the real one.
source "$root/bench/scratch_mail_servers.sh"
scratch_home_with_mail_servers imap "$servers" "$python"
read -r host plain_port password < <("$python" -c '
import json, sys
s = json.load(open(sys.argv[1]))
print(s["host"], s["imap_plain"], s["password"])' "$servers/servers.json")

# A user nobody has used: the server directory is wiped at every start, the name makes sure.
user="bench-$(date +%s)-$$@kestrova.test"
"$python" "$root/bench/imap_bench_mail.py" "$host" "$plain_port" "$user" "$password" --count "$messages"

stamp=$(date +%Y%m%d-%H%M%S)
echo "== $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), $(free -g | awk '/^Mem:/ {print $2}') GB;" \
  "$(dovecot --version 2>/dev/null | cut -d' ' -f1 | sed 's/^/Dovecot /')," \
  "libetpan $(dpkg-query -W -f='${Version}' libetpan20 2>/dev/null || echo '?')," \
  "$("$python" -c 'import platform, ssl; print("Python", platform.python_version() + ",", ssl.OPENSSL_VERSION)')"
echo "== $messages messages, $rounds measured rounds per side after $warmup warm-up rounds, connections: $connections"
"$build/bench/kestrova-bench-imap" --servers "$servers/servers.json" --user "$user" \
  --connections "$connections" --rounds "$rounds" --warmup "$warmup" --expect "$messages" \
  --python "$python" --script "$root/bench/imaplib_headers.py" \
  --markdown "$data/imap-results-$stamp.md" --session-log "$data/imap-session-$stamp.log"
echo
echo "Table kept in $data/imap-results-$stamp.md; session log in $data/imap-session-$stamp.log"
