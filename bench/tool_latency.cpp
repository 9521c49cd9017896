// kestrova-bench-tools: times the read tools of the real tool server end to end (request
// line written to a long-lived `kestrova --mcp-stdio` child → response line read back),
// the same SQL run directly on SQLite, and process start to the `initialize` answer.
//
// The database is the one the child finds through XDG_DATA_HOME; the child's settings come
// from XDG_CONFIG_HOME. Both are set by the caller (bench/run_all.sh).

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_cases.h"
#include "bench_figures.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using kestrova::Json;
using namespace kestrova::bench;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the tool server stopped reading");
    done += static_cast<size_t>(n);
  }
}

// One `kestrova --mcp-stdio` child with pipes on its standard input and output; its
// standard error goes to `log`. Closing standard input on destruction ends it.
class ToolServer {
 public:
  ToolServer(const std::string& binary, const std::string& log) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC)) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::string flag = "--mcp-stdio";
    char* argv[] = {const_cast<char*>(binary.c_str()), flag.data(), nullptr};
    const int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
      ::close(in[1]);
      ::close(out[0]);
      throw std::runtime_error("cannot start " + binary);
    }
    in_ = in[1];
    out_ = out[0];
    if (clock_getcpuclockid(pid_, &cpu_clock_) != 0)
      throw std::runtime_error("no CPU clock for the child");
  }
  ~ToolServer() {
    ::close(in_);
    ::close(out_);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  ToolServer(const ToolServer&) = delete;
  ToolServer& operator=(const ToolServer&) = delete;

  // Sends one request line and returns the answer line (without "\n").
  std::string call(const std::string& line) {
    write_all(in_, line + "\n");
    return read_line();
  }

  // The child's CPU time so far (all its threads), in milliseconds.
  double cpu_ms_used() const { return cpu_ms(cpu_clock_); }

 private:
  std::string read_line() {
    while (true) {
      if (size_t nl = buffer_.find('\n', scanned_); nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        scanned_ = 0;
        return line;
      }
      scanned_ = buffer_.size();
      char chunk[65536];
      ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("the tool server closed its output");
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  clockid_t cpu_clock_{};
  int in_ = -1, out_ = -1;
  std::string buffer_;
  size_t scanned_ = 0;
};

struct Stats {
  double median = 0, p99 = 0;
  size_t count = 0;
};

Stats stats(const std::vector<double>& samples) {
  return Stats{median(samples), percentile(samples, 0.99), samples.size()};
}

// What one answer held: the number of items of an array result, or 1 for an object.
struct Answer {
  size_t items = 0;
  size_t bytes = 0;
};

Answer check_answer(const BenchCase& c, const std::string& line) {
  const Json response = Json::parse(line);
  if (!response.contains("result"))
    throw std::runtime_error(c.label +
                             " failed: " + response.value("error", Json::object()).dump());
  const Json value = Json::parse(response["result"]["content"][0]["text"].get<std::string>());
  return Answer{value.is_array() ? value.size() : 1, line.size()};
}

struct Row {
  std::string label;
  Stats tool, raw, tool_cpu, raw_cpu;
  Answer answer;
  bool has_sql = false;
};

bool meets_goal(double tool, double raw) { return tool <= 1.5 * raw + 0.2; }

std::string table(const std::vector<Row>& rows, const Stats& startup) {
  std::ostringstream out;
  out << "| case | items | answer bytes | n | tool median ms | tool p99 ms | raw median ms | raw "
         "p99 ms "
         "| ratio (median) | goal median | goal p99 | tool CPU median ms | raw CPU median ms | "
         "goal CPU |\n";
  out << "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|---|---:|---:|---|\n";
  for (const Row& r : rows) {
    const double raw_median = r.has_sql ? r.raw.median : 0, raw_p99 = r.has_sql ? r.raw.p99 : 0;
    out << "| " << r.label << " | " << r.answer.items << " | " << r.answer.bytes << " | "
        << r.tool.count << " | " << fmt("%.3f", r.tool.median) << " | " << fmt("%.3f", r.tool.p99)
        << " | " << (r.has_sql ? fmt("%.3f", r.raw.median) : "no SQL") << " | "
        << (r.has_sql ? fmt("%.3f", r.raw.p99) : "no SQL") << " | "
        << (r.has_sql && r.raw.median > 0 ? fmt("%.2f", r.tool.median / r.raw.median) : "-")
        << " | " << (meets_goal(r.tool.median, raw_median) ? "ok" : "MISS") << " | "
        << (meets_goal(r.tool.p99, raw_p99) ? "ok" : "MISS") << " | "
        << fmt("%.3f", r.tool_cpu.median) << " | "
        << (r.has_sql ? fmt("%.3f", r.raw_cpu.median) : "no SQL") << " | "
        << (meets_goal(r.tool_cpu.median, r.has_sql ? r.raw_cpu.median : 0) ? "ok" : "MISS")
        << " |\n";
  }
  out << "\nGoal: tool ≤ 1.5 × raw + 0.2 ms, checked on the wall-time medians and p99s, and on the "
         "CPU "
         "medians (tool: the server process's CPU time per call; raw: this thread's).\n\n";
  out << "| start to `initialize` answer | n | median ms | p99 ms | goal: median < 10 ms |\n";
  out << "|---|---:|---:|---:|---|\n";
  out << "| spawn + initialize | " << startup.count << " | " << fmt("%.2f", startup.median) << " | "
      << fmt("%.2f", startup.p99) << " | " << (startup.median < 10 ? "ok" : "MISS") << " |\n";
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  std::string binary, markdown, log = "/dev/null", only;
  int max_iterations = 1000, min_iterations = 30, startup_runs = 50;
  double budget_seconds = 4;
  CLI::App app{"End-to-end latency of the tool server's read tools against raw SQLite."};
  app.add_option("--binary", binary, "The kestrova executable")->required();
  app.add_option("--iterations", max_iterations,
                 "Most timed calls per case (cases may cap it lower)");
  app.add_option("--min-iterations", min_iterations, "Fewest timed calls per case");
  app.add_option("--budget", budget_seconds,
                 "Seconds per case after which timing stops (once the minimum is reached)");
  app.add_option("--startup-runs", startup_runs, "Process starts to time");
  app.add_option("--markdown", markdown, "Also write the result table to this file");
  app.add_option("--server-log", log, "Where the child's standard error goes");
  app.add_option("--only", only, "Run only cases whose label contains this text");
  CLI11_PARSE(app, argc, argv);

  const char* data_home = std::getenv("XDG_DATA_HOME");
  if (!data_home || !*data_home) {
    std::fprintf(stderr, "XDG_DATA_HOME must point at the benchmark data directory\n");
    return 2;
  }
  const std::filesystem::path db_file =
      std::filesystem::path(data_home) / "tivra" / "Email" / "email.db";
  if (!std::filesystem::exists(db_file)) {
    std::fprintf(stderr, "%s does not exist (run kestrova-generate-db first)\n", db_file.c_str());
    return 2;
  }

  try {
    const std::string load_before = load_average();
    std::vector<BenchCase> cases = make_cases(db_file);
    DatabaseHandle db = open_database(db_file);
    ToolServer server(binary, log);
    int64_t next_id = 1;
    std::vector<Row> rows;
    for (const BenchCase& c : cases) {
      if (!only.empty() && c.label.find(only) == std::string::npos) continue;
      Row row;
      row.label = c.label;
      row.has_sql = !c.statements.empty();
      RawQuery raw(db.get(), c);
      // Warm-up: opens the database in the child, fills both page caches, checks the answer.
      row.answer = check_answer(c, server.call(request_line(c, next_id++)));
      for (int i = 0; i < 3; ++i) {
        server.call(request_line(c, next_id++));
        raw.run();
      }
      // Tool and raw calls alternate, so both see the same machine load and cache state.
      std::vector<double> tool_ms, raw_ms, tool_cpu, raw_cpu;
      const clockid_t own_cpu = CLOCK_THREAD_CPUTIME_ID;
      const int cap = std::min(max_iterations, c.max_iterations);
      const auto start = Clock::now();
      volatile uint64_t sink = 0;
      for (int i = 0; i < cap; ++i) {
        if (i >= min_iterations && ms_since(start) > budget_seconds * 1000) break;
        const std::string line = request_line(c, next_id++);
        double c0 = server.cpu_ms_used();
        auto t0 = Clock::now();
        const std::string answer = server.call(line);
        tool_ms.push_back(ms_since(t0));
        tool_cpu.push_back(server.cpu_ms_used() - c0);
        if (row.has_sql) {
          c0 = cpu_ms(own_cpu);
          t0 = Clock::now();
          sink = sink + raw.run();
          raw_ms.push_back(ms_since(t0));
          raw_cpu.push_back(cpu_ms(own_cpu) - c0);
        }
      }
      row.tool = stats(tool_ms);
      row.raw = stats(raw_ms);
      row.tool_cpu = stats(tool_cpu);
      row.raw_cpu = stats(raw_cpu);
      std::fprintf(stderr, "%-45s tool %8.3f ms  raw %8.3f ms  (n=%zu)\n", c.label.c_str(),
                   row.tool.median, row.raw.median, row.tool.count);
      rows.push_back(std::move(row));
    }

    // Process start to the initialize answer: spawn, send the line, read the answer.
    std::vector<double> startup_ms;
    const std::string initialize =
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05","capabilities":{},"clientInfo":{"name":"bench","version":"1"}}})";
    for (int i = 0; i < startup_runs; ++i) {
      const auto t0 = Clock::now();
      ToolServer child(binary, log);
      const std::string answer = child.call(initialize);
      startup_ms.push_back(ms_since(t0));
      if (answer.find("\"protocolVersion\"") == std::string::npos)
        throw std::runtime_error("unexpected initialize answer: " + answer);
    }
    const Stats startup = stats(startup_ms);

    const std::string result = table(rows, startup) +
                               "\nLoad average (1/5/15 min) at start: " + load_before +
                               "; at end: " + load_average() + "\n";
    std::printf("\n%s", result.c_str());
    if (!markdown.empty()) std::ofstream(markdown) << result;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "benchmark failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
