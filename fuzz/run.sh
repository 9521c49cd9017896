#!/usr/bin/env bash
# Builds the libFuzzer target fuzz_mcp_line with clang (ASan + UBSan, in build-fuzz) and
# runs it: by default 1,000,000 executions, inputs up to 4096 bytes, 10 s per input. The
# seed corpus is copied into the git-ignored working corpus fuzz/corpus-work/mcp_line,
# which keeps what the fuzzer finds between runs; crash, leak and timeout inputs land in
# fuzz/corpus-work/artifacts/.
#
# Environment: FUZZ_RUNS (1000000), FUZZ_BUILD (build-fuzz), JOBS (parallel build jobs,
# default: all cores), FUZZ_ARGS (extra libFuzzer flags, e.g. "-max_total_time=600").
# Reproduce one input: build-fuzz/fuzz/fuzz_mcp_line fuzz/corpus-work/artifacts/crash-…
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
runs=${FUZZ_RUNS:-1000000}
jobs=${JOBS:-$(nproc)}
work=$root/fuzz/corpus-work
corpus=$work/mcp_line
artifacts=$work/artifacts

# libFuzzer ships with clang's runtime libraries.
missing=()
for p in clang libclang-rt-dev; do
  [[ $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true) == "install ok installed" ]] || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTROVA_FUZZ=ON >/dev/null
cmake --build "$build" -j "$jobs" --target fuzz_mcp_line

mkdir -p "$corpus" "$artifacts"
cp -n "$root"/fuzz/corpus/mcp_line/* "$corpus"/

# UBSan findings stop the run like ASan's do.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
# shellcheck disable=SC2086
exec "$build/fuzz/fuzz_mcp_line" -runs="$runs" -max_len=4096 -timeout=10 \
  -dict="$root/fuzz/mcp_line.dict" -artifact_prefix="$artifacts/" -print_final_stats=1 \
  ${FUZZ_ARGS:-} "$corpus"
