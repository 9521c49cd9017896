// kestrova-bench-privacy-report (Google Benchmark): the cost of one privacy report.
//
//   kestrova-bench-privacy-report [--corpus-messages N] [Google Benchmark flags]
//
// PrivacyReport/corpus: every message of a generated corpus (tests/support/message_generator,
// seed 42, decoded by the content decoder) once per iteration; each message is timed on its
// own and the counters median_us and p99_us are the per-message median and 99th percentile.
// PrivacyReport/newsletter/<bytes> and PrivacyReport/hostile/<bytes>: one message whose HTML
// is a realistic newsletter (repeated blocks with images, links and styled cells) or hostile
// markup (unterminated tags and attributes, unclosed anchors and CSS URLs) of 1 KB to 10 MB;
// the counter ns_per_byte shows whether the time grows linearly with the size.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mail/mail_import.h"
#include "safety/email_privacy_report_service.h"
#include "store/email_message.h"
#include "support/message_generator.h"

namespace {

using kestrova::safety::EmailPrivacyReportService;
using kestrova::store::EmailMessage;

int corpus_messages = 1000;

std::vector<EmailMessage> corpus() {
  std::vector<EmailMessage> messages;
  for (const auto& generated : kestrova::testing::generate_corpus(42, corpus_messages)) {
    kestrova::mail::ArchivedMessage archived;
    archived.raw = generated.raw;
    messages.push_back(kestrova::mail::message_from_archive(archived, "", "", 0));
  }
  return messages;
}

// One newsletter block: a tracked hero image, a headline link, a styled cell with a CSS
// background, a button with a tracking redirect over plain http and some prose.
std::string newsletter_block(size_t n) {
  const std::string i = std::to_string(n);
  return "<tr><td class=\"hero\"><a href=\"https://click.news.example.com/r?u=" + i +
         "\"><img src=\"https://img.news.example.com/hero/" + i +
         ".jpg\" width=\"600\" alt=\"Story " + i +
         "\" style=\"display:block;border:0\"></a></td></tr>\n"
         "<tr><td style=\"background-image:url('https://img.news.example.com/bg/" +
         i + ".png');padding:16px\"><h2><a href=\"https://www.news.example.com/story/" + i +
         "\">Weekly story " + i +
         ": what changed this week</a></h2>\n<p>Readers asked about the "
         "new release, the roadmap and the meetup; here is the summary with links to the "
         "details and the recording.</p>\n<p><a href=\"http://track.example.net/c/" +
         i + "\" class=\"button\">Read more on news.example.com</a></p></td></tr>\n";
}

// Hostile markup: each piece repeated, none ever closed.
std::string hostile_block(size_t n) {
  static const char* const pieces[] = {"<img ",
                                       "<a href=\"http://x\">",
                                       "<p style=\"display:none ",
                                       "background:url(http://",
                                       "<a href=\"",
                                       "style=\"color:white;background:white ",
                                       "<source srcset=\"",
                                       "aaaa@",
                                       "<img alt=\"x\" <input type=image "};
  std::string out;
  for (int k = 0; k < 40; ++k) out += pieces[n % std::size(pieces)];
  return out;
}

EmailMessage sized_message(size_t bytes, std::string (*block)(size_t)) {
  std::string html = "<html><body><table>\n";
  for (size_t n = 0; html.size() < bytes; ++n) html += block(n);
  html.resize(bytes);
  EmailMessage m;
  m.subject = "Weekly digest";
  m.from = {std::string("News"), "digest@news.example.com"};
  m.htmlBody = std::move(html);
  m.textBody = "Weekly digest, read it at https://www.news.example.com/digest\n";
  return m;
}

void report_sized(benchmark::State& state, std::string (*block)(size_t)) {
  const auto bytes = static_cast<size_t>(state.range(0));
  const EmailMessage m = sized_message(bytes, block);
  for (auto _ : state) benchmark::DoNotOptimize(EmailPrivacyReportService::report(m));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  // Seconds divided by (iterations x bytes / 1e9): nanoseconds per byte of HTML.
  state.counters["ns_per_byte"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(bytes) / 1e9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Corpus(benchmark::State& state) {
  static const std::vector<EmailMessage> messages = corpus();
  std::vector<double> micros;
  for (auto _ : state) {
    for (const EmailMessage& m : messages) {
      const auto start = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(EmailPrivacyReportService::report(m));
      micros.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
  }
  std::sort(micros.begin(), micros.end());
  state.counters["messages"] = static_cast<double>(messages.size());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  state.counters["max_us"] = micros.back();
}

void BM_Newsletter(benchmark::State& state) { report_sized(state, newsletter_block); }
void BM_Hostile(benchmark::State& state) { report_sized(state, hostile_block); }

void sizes(benchmark::internal::Benchmark* b) {
  for (int64_t bytes : {1'000, 10'000, 100'000, 1'000'000, 10'000'000}) b->Arg(bytes);
  b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Corpus)->Name("PrivacyReport/corpus")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Newsletter)->Name("PrivacyReport/newsletter")->Apply(sizes);
BENCHMARK(BM_Hostile)->Name("PrivacyReport/hostile")->Apply(sizes);

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--corpus-messages=", 18) == 0) {
      corpus_messages = std::max(1, std::atoi(argv[i] + 18));
      continue;
    }
    args.push_back(argv[i]);
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
