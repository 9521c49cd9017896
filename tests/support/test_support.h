#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::testing {

// A fresh directory under the system temporary directory, removed with everything in it
// when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Points HOME, XDG_DATA_HOME and XDG_CONFIG_HOME at `root` (creating the folders) and puts
// the previous values back on destruction.
class ScopedHome {
 public:
  explicit ScopedHome(const std::filesystem::path& root);
  ~ScopedHome();

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Runs `program` with `args`, writing `input` to its standard input and closing it, and
// returns what it printed. Extra environment entries ("KEY=VALUE") are added to ours.
struct ProcessResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& input, const std::vector<std::string>& env = {},
                          const std::optional<std::string>& argv0 = std::nullopt);

}  // namespace kestrova::testing

namespace kestrova::testing {

// A child process driven line by line over pipes (its standard error is ours). Killed and
// reaped on destruction if still running.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void write(const std::string& data);
  // The next line of standard output without its "\n"; nothing on end of output or when
  // `timeout_ms` passes first.
  std::optional<std::string> read_line(int timeout_ms = 10000);
  void close_input();
  // Waits for the exit status (-1 on time-out).
  int wait(int timeout_ms = 10000);
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string buffered_;
  bool exited_ = false;
  int status_ = -1;
};

}  // namespace kestrova::testing
