# Sourced by the benchmark scripts that talk to the loopback mail servers:
#   scratch_home_with_mail_servers NAME SERVERS_DIR [PYTHON]
# points XDG_DATA_HOME, XDG_CONFIG_HOME and HOME at a new scratch directory ($scratch),
# starts the tests' Dovecot and SMTP server in SERVERS_DIR, and stops them and removes the
# scratch directory when the script exits.
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
