#!/usr/bin/env bash
# Peak memory and duration of `kestrova ai chat` against hostile streamed replies (the tests'
# loopback provider, tests/support/ai_servers/ai_servers.py): text without end, keep-alive
# comments only, one small event every 0.2 s, and a normal reply that lingers after [DONE].
# Each case runs with a profile time-out of STREAM_TIMEOUT seconds and is cut off after
# CUTOFF seconds (exit "cut"); the peak RSS is the child's ru_maxrss.
#
#   KESTROVA=build/kestrova [REFERENCE=/path/to/older/kestrova] bench/run_ai_stream_bounds.sh
#
# With REFERENCE the same cases run against both binaries, side by side.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kestrova=${KESTROVA:-$root/build/kestrova}
reference=${REFERENCE:-}
timeout_s=${STREAM_TIMEOUT:-5}
cutoff=${CUTOFF:-60}

scratch=$(mktemp -d)
servers=$scratch/servers
cleanup() {
  python3 "$root/tests/support/ai_servers/ai_servers.py" stop "$servers" || true
  rm -rf "$scratch"
}
trap cleanup EXIT
python3 "$root/tests/support/ai_servers/ai_servers.py" start "$servers"
port=$(python3 -c "import json,sys; print(json.load(open(sys.argv[1]))['http'])" "$servers/servers.json")

# One run: prints "peak-KiB seconds exit-status".
measure() {
  local binary=$1 behaviour=$2 home=$scratch/home-$RANDOM
  mkdir -p "$home"
  local env=(HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data"
             XDG_STATE_HOME="$home/state")
  echo k | env "${env[@]}" "$binary" ai profile add --protocol openai --name bench \
    --endpoint "http://127.0.0.1:$port/$behaviour/bench/v1" --timeout "$timeout_s" \
    --api-key-stdin --default >/dev/null
  env "${env[@]}" python3 - "$cutoff" "$binary" ai chat hello <<'PY'
import resource, subprocess, sys, time
start = time.monotonic()
try:
    status = subprocess.run(sys.argv[2:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            timeout=float(sys.argv[1])).returncode
except subprocess.TimeoutExpired:
    status = "cut"
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
print(peak, "%.1f" % (time.monotonic() - start), status)
PY
}

printf '| stream | this build: peak RSS (MiB), seconds, exit |'
[ -n "$reference" ] && printf ' reference: peak RSS (MiB), seconds, exit |'
printf '\n|---|---|'
[ -n "$reference" ] && printf -- '---|'
printf '\n'
for behaviour in endless keepalive trickle afterdone ok; do
  row="| $behaviour |"
  for binary in "$kestrova" ${reference:+"$reference"}; do
    read -r kib seconds status < <(measure "$binary" "$behaviour")
    row+=" $((kib / 1024)), $seconds, $status |"
  done
  echo "$row"
done
