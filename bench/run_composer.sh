#!/usr/bin/env bash
# The composer (bench/composer_bench.cpp), offscreen, on the demo mailbox in a temporary
# home: the reply key and Ctrl+N to a painted composer, and keys typed above a 200 KB quote,
# each beside its floor (a bare window with an editor, a bare QTextEdit) measured in the same
# run. Usage: bench/run_composer.sh [BUILD_DIR] (default: build). ROUNDS (30) opens of each.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
cmake --build "$build" -j "${JOBS:-2}" --target kestrova-generate-db kestrova-bench-composer >/dev/null
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config XDG_STATE_HOME=$home/state
mkdir -p "$XDG_DATA_HOME/tivra/Email" "$XDG_CONFIG_HOME/kestrova"
"$build/tools/kestrova-generate-db" --out "$XDG_DATA_HOME/tivra/Email/email.db" \
  --messages 3000 --accounts 3 --folders 24 --seed 7 --demo >/dev/null
echo '{"defaultLanguage": "en"}' >"$XDG_CONFIG_HOME/kestrova/settings.json"
"$build/bench/kestrova-bench-composer" --rounds "${ROUNDS:-30}"
