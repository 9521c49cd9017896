// kestrova-bench-mime-decode (Google Benchmark): decoding throughput of EmailContentDecoder
// against GMime 3 on the same messages. One iteration decodes every message of a corpus
// directory once; both sides do the whole job: parse, text and HTML bodies converted to
// UTF-8, every attachment decoded to learn its size (GMime through the differential
// check's reference walk, tests/differential/gmime_reference.h).
//
//   kestrova-bench-mime-decode --corpus DIR [--corpus DIR ...] [Google Benchmark flags]
//
// Reported per benchmark: bytes_per_second (binary units, of raw message bytes) and the
// counters MB/s (decimal) and msgs/s. bench/run_mime.sh builds it in Release and runs it on
// the differential samples and a generated corpus.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gmime_reference.h"
#include "mail/email_content_decoder.h"

namespace {

namespace fs = std::filesystem;

struct Corpus {
  std::string name;
  std::vector<std::string> messages;
  size_t bytes = 0;
};

Corpus load_corpus(const fs::path& dir) {
  Corpus corpus;
  corpus.name = fs::absolute(dir).lexically_normal().filename().string();
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir))
    if (entry.is_regular_file() && entry.path().extension() == ".eml")
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    corpus.messages.emplace_back(std::istreambuf_iterator<char>(in),
                                 std::istreambuf_iterator<char>());
    corpus.bytes += corpus.messages.back().size();
  }
  return corpus;
}

void set_rates(benchmark::State& state, const Corpus& corpus) {
  const auto runs = static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(corpus.bytes));
  state.counters["MB/s"] = benchmark::Counter(runs * static_cast<double>(corpus.bytes) / 1e6,
                                              benchmark::Counter::kIsRate);
  state.counters["msgs/s"] = benchmark::Counter(runs * static_cast<double>(corpus.messages.size()),
                                                benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
  // --corpus DIR options are taken out before Google Benchmark reads its own flags.
  std::vector<Corpus> corpora;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--corpus") == 0 && i + 1 < argc) {
      const fs::path dir = argv[++i];
      if (!fs::is_directory(dir)) {
        std::fprintf(stderr, "not a directory: %s\n", dir.c_str());
        return 2;
      }
      corpora.push_back(load_corpus(dir));
      if (corpora.back().messages.empty()) {
        std::fprintf(stderr, "no .eml files in %s\n", dir.c_str());
        return 2;
      }
      continue;
    }
    argv[kept++] = argv[i];
  }
  argc = kept;
  if (corpora.empty()) {
    std::fprintf(stderr, "usage: kestrova-bench-mime-decode --corpus DIR [--corpus DIR ...]\n");
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  for (const Corpus& c : corpora)
    std::fprintf(stderr, "corpus %s: %zu messages, %.2f MB\n", c.name.c_str(), c.messages.size(),
                 static_cast<double>(c.bytes) / 1e6);

  for (const Corpus& corpus : corpora) {
    benchmark::RegisterBenchmark(
        ("decode/kestrova/" + corpus.name).c_str(),
        [&corpus](benchmark::State& state) {
          for (auto _ : state)
            for (const std::string& raw : corpus.messages)
              benchmark::DoNotOptimize(kestrova::mail::EmailContentDecoder::decode(raw));
          set_rates(state, corpus);
        })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(
        ("decode/gmime/" + corpus.name).c_str(),
        [&corpus](benchmark::State& state) {
          for (auto _ : state)
            for (const std::string& raw : corpus.messages)
              benchmark::DoNotOptimize(kestrova::differential::decode_with_gmime(raw));
          set_rates(state, corpus);
        })
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
