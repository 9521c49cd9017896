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
