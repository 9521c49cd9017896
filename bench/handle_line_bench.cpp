// kestrova-bench-handle-line (Google Benchmark): the tool server's request handler called
// in-process, next to the same SQL on SQLite. Set against the end-to-end figures of
// kestrova-bench-tools, it separates the handler's own cost (SQL, JSON building,
// serialisation) from the pipe and process overhead.
//
// XDG_DATA_HOME and XDG_CONFIG_HOME must point at the benchmark data (bench/run_all.sh
// sets them) before anything opens the shared database.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/mcp/mcp_stdio_server.h"
#include "bench_cases.h"

using namespace kestrova::bench;

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const char* data_home = std::getenv("XDG_DATA_HOME");
  if (!data_home || !*data_home) {
    std::fprintf(stderr, "XDG_DATA_HOME must point at the benchmark data directory\n");
    return 2;
  }
  const std::filesystem::path db_file = std::filesystem::path(data_home) / "tivra" / "Email" / "email.db";
  static std::vector<BenchCase> cases;
  static DatabaseHandle db;
  try {
    cases = make_cases(db_file);
    db = open_database(db_file);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  static kestrova::app::MCPStdioServer server;

  benchmark::RegisterBenchmark("handle_line/tools/list", [](benchmark::State& state) {
    const std::string line = R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})";
    for (auto _ : state) benchmark::DoNotOptimize(server.handle_line(line));
  })->Unit(benchmark::kMicrosecond);
  for (const BenchCase& c : cases) {
    const std::string line = request_line(c, 1);
    benchmark::RegisterBenchmark(("handle_line/" + c.label).c_str(), [line](benchmark::State& state) {
      for (auto _ : state) {
        auto answer = server.handle_line(line);
        if (!answer || answer->find("\"result\"") == std::string::npos) {
          state.SkipWithError("the tool failed");
          break;
        }
        benchmark::DoNotOptimize(answer);
      }
    })->Unit(benchmark::kMicrosecond);
    if (c.statements.empty()) continue;
    benchmark::RegisterBenchmark(("raw_sql/" + c.label).c_str(), [&c](benchmark::State& state) {
      RawQuery raw(db.get(), c);
      for (auto _ : state) benchmark::DoNotOptimize(raw.run());
    })->Unit(benchmark::kMicrosecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
