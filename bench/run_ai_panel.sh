#!/usr/bin/env bash
# The AI panel's first streamed piece (bench/ai_panel_bench.cpp), offscreen, against a
# loopback provider that answers at once, with `kestrova ai ask` streaming to a pipe as the
# reference in the same run. Uses the configured build folder BUILD (default: build).
#
# Environment: BUILD (build), ROUNDS (30), JOBS (2).
set -euo pipefail
build=$(cd "${BUILD:-build}" && pwd)
cmake --build "$build" -j "${JOBS:-2}" --target kestrova kestrova-bench-ai-panel
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config XDG_STATE_HOME=$home/state
"$build/bench/kestrova-bench-ai-panel" --kestrova "$build/kestrova" --rounds "${ROUNDS:-30}"
