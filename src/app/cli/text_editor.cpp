#include "app/cli/text_editor.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/launch_environment.h"
#include "util/error.h"
#include "util/file.h"
#include "util/localization.h"
#include "util/text.h"

namespace kestrova::app {

std::optional<std::string> edit_text(const std::string& prepared) {
  const char* visual = std::getenv("VISUAL");
  const char* editor = visual && *visual ? visual : std::getenv("EDITOR");
  if (!editor || !*editor) throw Error(localized("cli.send.body_or_editor"));
  // Private to the user (mkstemp makes it 0600), in $TMPDIR when one is set.
  std::string temporary =
      (std::filesystem::temp_directory_path() / "kestrova-message-XXXXXX").string();
  char* path = temporary.data();
  const int fd = mkstemp(path);
  if (fd < 0) throw Error(localized("cli.send.temp_file_failed"));
  ::close(fd);
  { std::ofstream(path, std::ios::binary) << prepared; }
  // The editor gets the environment the user started Kestrova with, not the mail proxy's.
  std::vector<char*> environment;
  for (const std::string& entry : platform::launchEnvironment())
    environment.push_back(const_cast<char*>(entry.c_str()));
  environment.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    // The editor command may hold arguments ("code --wait"): the shell splits it.
    execle("/bin/sh", "sh", "-c", "$0 \"$1\"", editor, path, static_cast<char*>(nullptr),
           environment.data());
    _exit(127);
  }
  int status = 0;
  while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  auto edited = read_file(path);
  std::filesystem::remove(path);
  if (!edited) throw Error(localized_format("cli.file.unreadable", std::string(path)));
  std::string result = std::move(*edited);
  if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  if (text::trim(result).empty() || text::trim(result) == text::trim(prepared)) return std::nullopt;
  return result;
}

}  // namespace kestrova::app
