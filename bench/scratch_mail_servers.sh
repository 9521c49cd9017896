# Sourced by the benchmark scripts that talk to the loopback mail servers:
#   build_mail_bench TARGET...
# installs the build's packages and builds the targets in $build (Release, with the tests'
# tools such as kestrova-mailgen), unless BENCH_NO_BUILD is set (then $build is used as it is);
#   scratch_home_with_mail_servers NAME SERVERS_DIR [PYTHON]
# points XDG_DATA_HOME, XDG_CONFIG_HOME and HOME at a new scratch directory ($scratch),
# starts the tests' Dovecot and SMTP server in SERVERS_DIR, and stops them and removes the
# scratch directory when the script exits.
build_mail_bench() {
  [ -n "${BENCH_NO_BUILD:-}" ] && return
  local source_root
  source_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  bash "$source_root/tools/install-deps.sh"
  cmake -S "$source_root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROVA_TESTS=ON \
    -DKESTROVA_BENCH=ON >/dev/null
  cmake --build "$build" -j "${JOBS:-$(nproc)}" --target "$@"
}

scratch_home_with_mail_servers() {
  bench_name=$1
  bench_servers=$2
  bench_python=${3:-python3}
  bench_mail_servers=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/support/mail_servers/mail_servers.py
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/kestrova-bench-$bench_name.XXXXXX")
  mkdir -p "$scratch/data" "$scratch/config" "$scratch/home"
  export XDG_DATA_HOME=$scratch/data XDG_CONFIG_HOME=$scratch/config HOME=$scratch/home
  trap '"$bench_python" "$bench_mail_servers" stop "$bench_servers" >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  "$bench_python" "$bench_mail_servers" start "$bench_servers" >/dev/null
}

# generated_inbox USER COUNT MAILGEN: makes Dovecot create USER's home at a first login, then
# writes COUNT generated messages (seed 7) straight into its INBOX Maildir, faster than as
# many APPENDs. Needs $bench_servers from scratch_home_with_mail_servers.
generated_inbox() {
  "$bench_python" - "$bench_servers/servers.json" "$1" <<'PY'
import imaplib, json, sys
s = json.load(open(sys.argv[1]))
imap = imaplib.IMAP4(s["host"], s["imap_plain"])
imap.login(sys.argv[2], s["password"])
imap.select("INBOX")
imap.logout()
PY
  "$3" --maildir "$bench_servers/home/$1/Maildir" --folder INBOX --count "$2" --seed 7 >/dev/null
}
