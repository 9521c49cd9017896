// ChatAIService against a plain libcurl request to the same loopback server with the same
// body: the per-request overhead of the adapter (URL, headers, body building, reply
// parsing) and the service, and the time to the first streamed delta against the first
// bytes of the raw stream. Rounds alternate between the two sides.
//
//   kestrova-bench-ai [--rounds N]

#include <curl/curl.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ai/chat_ai_service.h"
#include "loopback_http_server.h"
#include "util/log.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrova::Json;
namespace ai = kestrova::ai;

const std::string kReply =
    R"({"id":"c1","object":"chat.completion","choices":[{"index":0,"message":{"role":"assistant","content":"Hello from the loopback model, with a reply of ordinary length."},"finish_reason":"stop"}]})";

// Paths containing "stream" get a server-sent-event reply whose first event is sent at once
// and the rest 2 ms later; every other request gets kReply.
void answer(int fd, const std::string& request) {
  if (request.find(" /stream") == std::string::npos)
    return LoopbackHttpServer::send_json(fd, kReply);
  LoopbackHttpServer::send_all(fd,
                               "HTTP/1.0 200 OK\r\nContent-Type: text/event-stream\r\n\r\n"
                               "data: {\"choices\":[{\"delta\":{\"content\":\"Hello\"}}]}\n\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  LoopbackHttpServer::send_all(
      fd, "data: {\"choices\":[{\"delta\":{\"content\":\" there\"}}]}\n\ndata: [DONE]\n\n");
}

size_t collect(char* data, size_t size, size_t count, void* context) {
  static_cast<std::string*>(context)->append(data, size * count);
  return size * count;
}

struct FirstBytes {
  Clock::time_point start, first;
  bool seen = false;
};

size_t note_first(char* data, size_t size, size_t count, void* context) {
  auto* f = static_cast<FirstBytes*>(context);
  if (!f->seen) {
    f->seen = true;
    f->first = Clock::now();
  }
  return size * count;
}

// A plain libcurl POST with a reused handle, as a hand-written client would do it.
double raw_request(CURL* curl, const std::string& url, curl_slist* headers, const std::string& body,
                   curl_write_callback write, void* context, FirstBytes* first) {
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, context);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
  const auto start = Clock::now();
  if (first) first->start = start;
  curl_easy_perform(curl);
  const auto end = first ? first->first : Clock::now();
  return std::chrono::duration<double, std::milli>(end - start).count();
}

struct Figures {
  double median, p99;
};

Figures figures(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times[std::min(times.size() - 1, times.size() * 99 / 100)]};
}

void report(const char* what, const std::vector<double>& service, const std::vector<double>& raw) {
  const Figures s = figures(service), r = figures(raw);
  std::printf("| %s | %.3f | %.3f | %.3f | %.3f | %+.3f | %+.3f |\n", what, s.median, s.p99,
              r.median, r.p99, s.median - r.median, s.p99 - r.p99);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"ChatAIService against plain libcurl on a loopback server"};
  int rounds = 2000;
  app.add_option("--rounds", rounds, "Requests per side and measurement")
      ->check(CLI::PositiveNumber);
  CLI11_PARSE(app, argc, argv);
  kestrova::set_log_target(kestrova::LogTarget::Silent);

  LoopbackHttpServer server(answer);
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  ai::AIServiceProfile profile = ai::AIServiceProfile::forProtocol(ai::AIProtocolType::openAI);
  profile.apiKey = "sk-bench";
  const Json messages =
      Json::array({{{"role", "user"}, {"content", "Say hello in one sentence."}}});
  const ai::ChatAIService service;
  const ai::AIServiceAdapter adapter;

  // The raw side sends exactly what the service sends.
  const std::string body = kestrova::dump_compact(
      adapter.buildRequestBody(profile, messages, std::nullopt, std::nullopt, std::nullopt,
                               std::nullopt, std::nullopt, Json()));
  const std::string streamBody =
      kestrova::dump_compact(adapter.streamingBody(profile, Json::parse(body)));
  curl_slist* headers = nullptr;
  for (const char* h : {"Content-Type: application/json", "Authorization: Bearer sk-bench"})
    headers = curl_slist_append(headers, h);
  curl_slist* streamHeaders = curl_slist_append(nullptr, "Accept: text/event-stream");
  for (const char* h : {"Content-Type: application/json", "Authorization: Bearer sk-bench"})
    streamHeaders = curl_slist_append(streamHeaders, h);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* curl = curl_easy_init();

  std::vector<double> servicePlain, rawPlain, serviceFirst, rawFirst;
  for (int i = 0; i < rounds + 50; ++i) {
    const bool warmUp = i < 50;
    profile.endpoint = base + "/plain/v1";
    auto start = Clock::now();
    service.send(profile, messages, {}, 10);
    const double s = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::string reply;
    const double r = raw_request(curl, base + "/plain/v1/chat/completions", headers, body, collect,
                                 &reply, nullptr);

    profile.endpoint = base + "/stream/v1";
    Clock::time_point first;
    bool seen = false;
    start = Clock::now();
    service.stream(profile, messages, {}, 10, [&](std::string_view) {
      if (!seen) first = Clock::now();
      seen = true;
    });
    const double sf = std::chrono::duration<double, std::milli>(first - start).count();
    FirstBytes firstBytes;
    const double rf = raw_request(curl, base + "/stream/v1/chat/completions", streamHeaders,
                                  streamBody, note_first, &firstBytes, &firstBytes);
    if (warmUp) continue;
    servicePlain.push_back(s);
    rawPlain.push_back(r);
    serviceFirst.push_back(sf);
    rawFirst.push_back(rf);
  }
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  curl_slist_free_all(streamHeaders);

  std::printf("%d rounds, milliseconds\n\n", rounds);
  std::printf(
      "| measurement | ChatAIService median | p99 | plain libcurl median | p99 | added median | "
      "added p99 |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  report("whole request (non-streaming)", servicePlain, rawPlain);
  report("first streamed delta", serviceFirst, rawFirst);
  return 0;
}
