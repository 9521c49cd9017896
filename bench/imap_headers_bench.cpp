// kestrova-bench-imap: a batch header load through LibEtPanIMAPSession next to the same
// work done by Python's imaplib (bench/imaplib_headers.py, a long-lived child process),
// against the same loopback Dovecot in one run.
//
// One round, on either side: connect (with the TLS handshake on the TLS port), LOGIN,
// SELECT INBOX, UID SEARCH ALL, one UID FETCH (UID ENVELOPE FLAGS) of every UID, the
// header records built from the answer, LOGOUT. Rounds alternate between the two sides
// (and which side goes first alternates too), warm-up rounds first, so both see the same
// server caches and the same machine load. After each round the clock is stopped and the
// records' digest is compared with the other side's: both must have read the same headers.
//
// The session logs one line per operation; the benchmark sends those lines to a file
// (--session-log, /dev/null by default). Writing them stays part of Kestrova's time.
//
// The session lowers the thread it runs on to nice 10 at its first network call; the
// benchmark does that itself before starting the Python child, which inherits it, so both
// sides run at the same priority. The server is not affected.
//
// The session reads the mail proxy setting from the settings file under XDG_CONFIG_HOME
// at every connect; the caller (bench/run_imap.sh) points XDG_* and HOME at a scratch
// directory.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench_figures.h"
#include "mail/imap_header_record.h"
#include "mail/libetpan_imap_session.h"
#include "platform/thread_priority.h"
#include "util/json.h"
#include "util/log.h"

extern char** environ;

namespace {

using namespace kestrova::bench;

using Clock = std::chrono::steady_clock;
using kestrova::Json;
using kestrova::mail::ImapHeaderRecord;
using kestrova::mail::LibEtPanError;
using kestrova::mail::LibEtPanIMAPSession;

// The environment the program started with, for the Python children: the session exports
// the mail proxy setting (all_proxy and the like) into this process at every connect, and
// each child should start the same way whichever connection it serves.
std::vector<std::string> g_start_environment;

// Where the benchmark's own messages go: the standard error the program was started with
// (file descriptor 2 itself carries the session's log lines once they are redirected).
std::FILE* g_report = stderr;

double ms_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// ---------------------------------------------------------------------------------------
// What one round measured, on either side. The keys are those of the Python side's answer.

constexpr std::array<std::string_view, 6> kMetricKeys = {
    "connect_login_select", "uid_search", "header_fetch", "logout", "total", "cpu"};
constexpr std::array<std::string_view, 6> kMetricLabels = {
    "connect + LOGIN + SELECT", "UID SEARCH ALL", "UID FETCH headers + records", "LOGOUT",
    "total (wall)", "CPU time (process)"};

struct Round {
  std::array<double, kMetricKeys.size()> ms{};
  size_t uids = 0;
  size_t records = 0;
  std::string digest;
};

// ---------------------------------------------------------------------------------------
// The records' digest, byte for byte the one bench/imaplib_headers.py computes: FNV-1a
// (64 bit) over the records in server order; per record the decimal UID, then subject,
// from, to, date, Message-ID and In-Reply-To, each preceded by 0x1f and written as 0x02
// when absent, then 0x1f '1'/'0' for \Seen and for \Flagged, then 0x1e.

class Fnv1a {
 public:
  void add(std::string_view bytes) {
    for (unsigned char c : bytes) {
      hash_ ^= c;
      hash_ *= 0x100000001b3ULL;
    }
  }
  std::string hex() const {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash_));
    return text;
  }

 private:
  uint64_t hash_ = 0xcbf29ce484222325ULL;
};

std::string records_digest(const std::vector<ImapHeaderRecord>& records) {
  Fnv1a h;
  for (const ImapHeaderRecord& r : records) {
    h.add(std::to_string(r.uid));
    for (const std::optional<std::string>* field :
         {&r.subject, &r.from, &r.to, &r.date, &r.messageId, &r.inReplyTo}) {
      h.add("\x1f");
      h.add(*field ? std::string_view(**field) : std::string_view("\x02"));
    }
    // Written apart: "\x1f1" would be one hexadecimal escape.
    h.add("\x1f");
    h.add(r.seen ? "1" : "0");
    h.add("\x1f");
    h.add(r.flagged ? "1" : "0");
    h.add("\x1e");
  }
  return h.hex();
}

// ---------------------------------------------------------------------------------------
// The Kestrova side.

struct Server {
  std::string host;
  int port = 0;
  bool tls = false;
  std::string user;
  std::string password;
};

[[noreturn]] void session_failed(std::string_view step, const LibEtPanError& error) {
  throw std::runtime_error("Kestrova: " + std::string(step) + " failed: " +
                           error.localizedDescription + " (code " + std::to_string(error.code) + ")");
}

Round kestrova_round(const Server& server) {
  Round round;
  LibEtPanError error;
  const double cpu0 = cpu_ms(CLOCK_PROCESS_CPUTIME_ID);
  const auto t0 = Clock::now();
  auto session = LibEtPanIMAPSession::initWithHost(server.host, server.port, server.tls ? "ssl" : "none",
                                                   server.user, server.password);
  if (!session) throw std::runtime_error("Kestrova: no IMAP client handle");
  if (!session->connectWithError(&error)) session_failed("connect", error);
  if (!session->loginWithError(&error)) session_failed("LOGIN", error);
  if (!session->selectFolder("INBOX", &error)) session_failed("SELECT INBOX", error);
  const auto t1 = Clock::now();
  auto listing = session->fetchMessagesFromUID(1, 0, &error);
  if (!listing) session_failed("UID SEARCH", error);
  std::vector<uint32_t> uids;
  uids.reserve(listing->size());
  for (const auto& entry : *listing) uids.push_back(entry.uid);
  const auto t2 = Clock::now();
  auto records = session->fetchBatchMessageHeadersWithUIDs(uids, &error);
  if (!records) session_failed("UID FETCH", error);
  const auto t3 = Clock::now();
  session->disconnect();
  const auto t4 = Clock::now();
  const double cpu = cpu_ms(CLOCK_PROCESS_CPUTIME_ID) - cpu0;

  round.ms = {ms_between(t0, t1), ms_between(t1, t2), ms_between(t2, t3),
              ms_between(t3, t4), ms_between(t0, t4), cpu};
  round.uids = uids.size();
  round.records = records->size();
  round.digest = records_digest(*records);
  return round;
}

// ---------------------------------------------------------------------------------------
// The Python side: one imaplib_headers.py child for one server, asked for a round with a
// "run" line; "quit" and closing its standard input end it.

class ImaplibChild {
 public:
  ImaplibChild(const std::string& python, const std::string& script, const Server& server,
               int report_fd) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC)) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, report_fd, 2);
    std::vector<std::string> args = {python, script, server.host, std::to_string(server.port),
                                     server.tls ? "tls" : "plain", server.user, server.password};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = g_start_environment;
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    const int rc = posix_spawn(&pid_, python.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
      ::close(in[1]);
      ::close(out[0]);
      throw std::runtime_error("cannot start " + python + " " + script);
    }
    in_ = in[1];
    out_ = out[0];
  }
  ~ImaplibChild() {
    const std::string quit = "quit\n";
    [[maybe_unused]] ssize_t ignored = ::write(in_, quit.data(), quit.size());
    ::close(in_);
    ::close(out_);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  ImaplibChild(const ImaplibChild&) = delete;
  ImaplibChild& operator=(const ImaplibChild&) = delete;

  Round run() {
    write_all("run\n");
    const Json answer = Json::parse(read_line());
    if (answer.contains("error")) {
      throw std::runtime_error("imaplib: " + answer["error"].get<std::string>());
    }
    Round round;
    for (size_t i = 0; i < kMetricKeys.size(); ++i) {
      round.ms[i] = answer.at(std::string(kMetricKeys[i])).get<double>();
    }
    round.uids = answer.at("uids").get<size_t>();
    round.records = answer.at("records").get<size_t>();
    round.digest = answer.at("digest").get<std::string>();
    return round;
  }

 private:
  void write_all(std::string_view data) {
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(in_, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("the imaplib child stopped reading");
      done += static_cast<size_t>(n);
    }
  }

  std::string read_line() {
    while (true) {
      if (const size_t nl = buffer_.find('\n'); nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      char chunk[4096];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("the imaplib child ended without answering");
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string buffer_;
};

// ---------------------------------------------------------------------------------------
// Figures.

struct Stats {
  double median = 0, p90 = 0;
};

Stats stats_of(const std::vector<double>& samples) {
  return Stats{median(samples), percentile(samples, 0.9)};
}

struct Result {
  std::string connection;
  std::vector<Round> kestrova, imaplib;
};

Stats metric(const std::vector<Round>& rounds, size_t index) {
  std::vector<double> samples;
  for (const Round& r : rounds) samples.push_back(r.ms[index]);
  return stats_of(std::move(samples));
}

std::string table(const std::vector<Result>& results) {
  std::ostringstream out;
  out << "| connection | phase | Kestrova median ms | Kestrova p90 ms | imaplib median ms | "
         "imaplib p90 ms | ratio median | ratio p90 |\n";
  out << "|---|---|---:|---:|---:|---:|---:|---:|\n";
  for (const Result& result : results) {
    for (size_t i = 0; i < kMetricKeys.size(); ++i) {
      const Stats k = metric(result.kestrova, i), p = metric(result.imaplib, i);
      const bool headline = kMetricKeys[i] == "total" || kMetricKeys[i] == "cpu";
      const std::string mark = headline ? "**" : "";
      out << "| " << result.connection << " | " << mark << kMetricLabels[i] << mark << " | "
          << fmt("%.2f", k.median) << " | " << fmt("%.2f", k.p90) << " | " << fmt("%.2f", p.median)
          << " | " << fmt("%.2f", p.p90) << " | " << mark
          << (p.median > 0 ? fmt("%.2f", k.median / p.median) : "-") << mark << " | "
          << (p.p90 > 0 ? fmt("%.2f", k.p90 / p.p90) : "-") << " |\n";
    }
  }
  out << "\nRatio = Kestrova / imaplib (below 1: Kestrova is faster).";
  for (const Result& result : results) {
    const Stats k = metric(result.kestrova, 4), p = metric(result.imaplib, 4);
    const Stats kc = metric(result.kestrova, 5), pc = metric(result.imaplib, 5);
    out << " " << result.connection << ": " << result.kestrova.size() << " rounds each, "
        << result.kestrova.front().records << " records, digest " << result.kestrova.front().digest
        << " on both sides in every round; total " << fmt("%.2f", k.median / p.median) << "×, CPU "
        << fmt("%.2f", kc.median / pc.median) << "× — "
        << (k.median <= p.median && kc.median <= pc.median ? "not slower than imaplib."
                                                           : "SLOWER than imaplib.");
  }
  out << "\n";
  return out.str();
}

// Throws unless both sides saw the same folder and built the same records.
void check_same_headers(const Round& k, const Round& p, size_t expected, const std::string& where) {
  if (k.uids != p.uids || k.records != p.records || k.digest != p.digest) {
    throw std::runtime_error(where + ": the two sides read different headers (Kestrova " +
                             std::to_string(k.uids) + " UIDs, " + std::to_string(k.records) +
                             " records, digest " + k.digest + "; imaplib " + std::to_string(p.uids) +
                             " UIDs, " + std::to_string(p.records) + " records, digest " + p.digest + ")");
  }
  if (expected != 0 && k.records != expected) {
    throw std::runtime_error(where + ": " + std::to_string(k.records) + " records, expected " +
                             std::to_string(expected));
  }
}

Result run_connection(const Server& server, const std::string& python, const std::string& script,
                      int warmup, int rounds, size_t expected, int report_fd) {
  Result result;
  result.connection = server.tls ? "TLS" : "plain";
  ImaplibChild child(python, script, server, report_fd);
  for (int i = 0; i < warmup + rounds; ++i) {
    const bool measured = i >= warmup;
    // Who goes first alternates, so neither side always finds the server just woken up.
    Round k, p;
    if (i % 2 == 0) {
      k = kestrova_round(server);
      p = child.run();
    } else {
      p = child.run();
      k = kestrova_round(server);
    }
    const std::string where = result.connection + (measured ? " round " : " warm-up ") +
                              std::to_string(measured ? i - warmup + 1 : i + 1);
    check_same_headers(k, p, expected, where);
    std::fprintf(g_report, "%-16s Kestrova %8.2f ms (CPU %7.2f)   imaplib %8.2f ms (CPU %7.2f)\n",
                 where.c_str(), k.ms[4], k.ms[5], p.ms[4], p.ms[5]);
    if (!measured) continue;
    result.kestrova.push_back(std::move(k));
    result.imaplib.push_back(std::move(p));
  }
  return result;
}

// Sends the session's log lines (written to standard error) to `path`, and keeps the
// original standard error for the benchmark's own messages. Returns that descriptor.
int redirect_session_log(const std::string& path) {
  const int original = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
  if (original < 0) throw std::runtime_error("cannot duplicate standard error");
  const int log = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) throw std::runtime_error("cannot open " + path);
  if (::dup2(log, 2) < 0) throw std::runtime_error("cannot redirect standard error");
  ::close(log);
  g_report = ::fdopen(original, "w");
  if (!g_report) throw std::runtime_error("cannot write to standard error");
  std::setvbuf(g_report, nullptr, _IOLBF, 0);
  kestrova::set_log_target(kestrova::LogTarget::StandardError);
  return original;
}

}  // namespace

int main(int argc, char** argv) {
  std::string servers_file, user, markdown, session_log = "/dev/null";
  std::string python = "/usr/bin/python3", script = KESTROVA_BENCH_DIR "/imaplib_headers.py";
  std::vector<std::string> connections = {"plain", "tls"};
  int rounds = 15, warmup = 2;
  size_t expected = 0;
  CLI::App app{"IMAP batch header load: LibEtPanIMAPSession against Python's imaplib, rounds alternating."};
  app.add_option("--servers", servers_file, "servers.json written by mail_servers.py start")->required();
  app.add_option("--user", user, "The IMAP user whose INBOX is read")->required();
  app.add_option("--connections", connections, "plain and/or tls")->delimiter(',')
      ->check(CLI::IsMember({"plain", "tls"}));
  app.add_option("--rounds", rounds, "Measured rounds per side and connection")->check(CLI::PositiveNumber);
  app.add_option("--warmup", warmup, "Unmeasured rounds per side first")->check(CLI::NonNegativeNumber);
  app.add_option("--expect", expected, "Number of records every round must produce (0: any)");
  app.add_option("--python", python, "Python interpreter for the imaplib side");
  app.add_option("--script", script, "The imaplib side (imaplib_headers.py)");
  app.add_option("--markdown", markdown, "Also write the result table to this file");
  app.add_option("--session-log", session_log, "Where the session's log lines go");
  CLI11_PARSE(app, argc, argv);
  for (char** variable = environ; *variable; ++variable) g_start_environment.emplace_back(*variable);

  try {
    const int report_fd = redirect_session_log(session_log);
    Json servers;
    {
      std::ifstream in(servers_file);
      if (!in) throw std::runtime_error("cannot read " + servers_file);
      servers = Json::parse(in);
    }
    // Same priority for both sides (see the top of the file); the child inherits it.
    kestrova::platform::lower_thread_to_utility_priority();
    const int nice_value = getpriority(PRIO_PROCESS, 0);

    const std::string load_before = load_average();
    std::vector<Result> results;
    for (const std::string& connection : connections) {
      Server server;
      server.host = servers.at("host").get<std::string>();
      server.tls = connection == "tls";
      server.port = servers.at(server.tls ? "imap_ssl" : "imap_plain").get<int>();
      server.user = user;
      server.password = servers.at("password").get<std::string>();
      results.push_back(run_connection(server, python, script, warmup, rounds, expected, report_fd));
    }
    const std::string result = table(results) + "\nBoth sides at nice " + std::to_string(nice_value) +
                               ". Load average (1/5/15 min) at start: " + load_before +
                               "; at end: " + load_average() + "\n";
    std::printf("\n%s", result.c_str());
    if (!markdown.empty()) std::ofstream(markdown) << result;
  } catch (const std::exception& e) {
    std::fprintf(g_report, "benchmark failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
