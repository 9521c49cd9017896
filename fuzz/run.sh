#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan, in build-fuzz) and runs each in
# turn: by default 1,000,000 executions per target, one process each, 10 s per input.
#   mcp_line        one request line for the tool server (inputs up to 4096 bytes)
#   modified_utf7   IMAP modified UTF-7 both ways and the wire form of folder names (512)
#   imap_envelope   a server's UID FETCH answer parsed by libetpan and flattened (4096)
#   content_decoder a raw message or one header value through the MIME decoder (8192)
#   privacy_report  the privacy report of a message built from the input's fields (16384)
#   imap_response   all an IMAP server sends, through the transport's checks into libetpan (8192)
#   search_query    a `kestrova search` query, with and without the substring index (512)
#   html_text       an HTML body made readable for the terminal (16384)
#   html_sanitizer  an HTML body made safe for the window's reading pane (16384)
#   ai_stream       a streamed AI reply, whole and in small reads (8192)
#   ai_reply        a non-streamed AI reply body in every wire dialect (4096)
#   deep_link       a URL handed to the program as a deep link (1024)
#   oauth_callback  what reaches the OAuth sign-in's loopback listener (20000)
# Each seed corpus fuzz/corpus/<target> is copied into the git-ignored working corpus
# fuzz/corpus-work/<target>, which keeps what the fuzzer finds between runs; crash, leak
# and timeout inputs land in fuzz/corpus-work/artifacts/<target>-….
#
# Environment: FUZZ_TARGETS (all thirteen, space-separated), FUZZ_RUNS (1000000), FUZZ_BUILD
# (build-fuzz), JOBS (parallel build jobs, default: all cores), FUZZ_ARGS (extra libFuzzer
# flags for every target, e.g. "-max_total_time=600").
# Reproduce one input: build-fuzz/fuzz/fuzz_<target> fuzz/corpus-work/artifacts/<target>-crash-…
# (for imap_envelope with LSAN_OPTIONS=suppressions=fuzz/imap_envelope.lsan).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
runs=${FUZZ_RUNS:-1000000}
jobs=${JOBS:-$(nproc)}
targets=${FUZZ_TARGETS:-mcp_line modified_utf7 imap_envelope content_decoder privacy_report
  imap_response search_query html_text html_sanitizer ai_stream ai_reply deep_link oauth_callback}
work=$root/fuzz/corpus-work
artifacts=$work/artifacts

# Per target: the longest input and the dictionary (if any). A file fuzz/<target>.lsan holds
# LeakSanitizer suppressions for leaks inside a library the project cannot change.
declare -A max_len=([mcp_line]=4096 [modified_utf7]=512 [imap_envelope]=4096
  [content_decoder]=8192 [privacy_report]=16384 [imap_response]=8192 [search_query]=512
  [html_text]=16384 [html_sanitizer]=16384 [ai_stream]=8192 [ai_reply]=4096 [deep_link]=1024 [oauth_callback]=20000)
declare -A dict=([mcp_line]=mcp_line.dict [modified_utf7]=modified_utf7.dict
  [imap_envelope]=imap_envelope.dict [content_decoder]=content_decoder.dict
  [privacy_report]=privacy_report.dict [imap_response]=imap_response.dict
  [search_query]=search_query.dict [html_text]=html_text.dict
  [html_sanitizer]=html_sanitizer.dict [ai_stream]=ai_stream.dict
  [ai_reply]=ai_reply.dict [deep_link]=deep_link.dict [oauth_callback]=oauth_callback.dict)

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

build_targets=()
for t in $targets; do
  [[ -n ${max_len[$t]:-} ]] || { echo "unknown fuzz target: $t" >&2; exit 2; }
  build_targets+=("fuzz_$t")
done

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTROVA_FUZZ=ON >/dev/null
cmake --build "$build" -j "$jobs" --target "${build_targets[@]}"

# UBSan findings stop the run like ASan's do.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
# No allocation stacks recorded while fuzzing (a tenth of the time went there); replay a
# finding with ASAN_OPTIONS=detect_leaks=1 to see where its memory came from.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:malloc_context_size=0}

mkdir -p "$artifacts"
failed=()
for t in $targets; do
  corpus=$work/$t
  mkdir -p "$corpus"
  cp -n "$root"/fuzz/corpus/"$t"/* "$corpus"/
  echo "== fuzz_$t: $runs executions"
  lsan=${LSAN_OPTIONS:-}
  if [[ -z $lsan && -f $root/fuzz/$t.lsan ]]; then lsan=suppressions=$root/fuzz/$t.lsan; fi
  asan=$ASAN_OPTIONS
  # libetpan reserves the size a literal announces (up to 4 GiB) as soon as it parses
  # "{n}", also where the transport's checks see no literal (inside lines it has misread).
  # It is address space that only the bytes that arrive fill, but under ASan it takes
  # seconds: here, as on a machine that refuses such reservations, the allocation fails
  # and libetpan reports its out-of-memory error.
  if [[ $t == imap_response ]]; then asan+=:max_allocation_size_mb=2048:allocator_may_return_null=1; fi
  start=$SECONDS
  # shellcheck disable=SC2086
  if ASAN_OPTIONS=$asan LSAN_OPTIONS=$lsan "$build/fuzz/fuzz_$t" -runs="$runs" -max_len="${max_len[$t]}" -timeout=10 \
      -dict="$root/fuzz/${dict[$t]}" -artifact_prefix="$artifacts/$t-" -print_final_stats=1 \
      ${FUZZ_ARGS:-} "$corpus"; then
    echo "== fuzz_$t: done in $((SECONDS - start)) s"
  else
    echo "== fuzz_$t: FAILED after $((SECONDS - start)) s (see $artifacts/$t-*)"
    failed+=("$t")
  fi
done

if ((${#failed[@]})); then
  echo "fuzz targets with findings: ${failed[*]}" >&2
  exit 1
fi
