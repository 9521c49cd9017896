#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace kestrova::testing {

namespace {

// Our environment with `overrides` ("KEY=VALUE") replacing entries of the same key.
std::vector<std::string> merged_environment(const std::vector<std::string>& overrides) {
  auto key_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    bool replaced = false;
    for (const auto& o : overrides) replaced = replaced || key_of(o) == key_of(entry);
    if (!replaced) out.push_back(std::move(entry));
  }
  out.insert(out.end(), overrides.begin(), overrides.end());
  return out;
}

// Starts `program` with its standard streams on the given descriptors (-1 leaves a stream
// as ours). Returns the pid; throws when the program cannot be started.
pid_t spawn(const std::string& program, const std::string& argv0, const std::vector<std::string>& args,
            const std::vector<std::string>& env, int in_fd, int out_fd, int err_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in_fd >= 0) posix_spawn_file_actions_adddup2(&actions, in_fd, 0);
  if (out_fd >= 0) posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  if (err_fd >= 0) posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  std::vector<std::string> arg_storage{argv0};
  arg_storage.insert(arg_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : arg_storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_storage = merged_environment(env);
  std::vector<char*> envp;
  for (auto& e : env_storage) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error(std::string("spawn failed: ") + std::strerror(rc));
  return pid;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrova-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedHome::ScopedHome(const std::filesystem::path& root) {
  const std::pair<const char*, std::filesystem::path> entries[] = {
      {"HOME", root / "home"},
      {"XDG_DATA_HOME", root / "data"},
      {"XDG_CONFIG_HOME", root / "config"}};
  for (const auto& [name, path] : entries) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    std::filesystem::create_directories(path);
    setenv(name, path.c_str(), 1);
  }
}

ScopedHome::~ScopedHome() {
  for (const auto& [name, value] : saved_) {
    if (value)
      setenv(name.c_str(), value->c_str(), 1);
    else
      unsetenv(name.c_str());
  }
}

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& input, const std::vector<std::string>& env,
                          const std::optional<std::string>& argv0) {
  signal(SIGPIPE, SIG_IGN);  // a child that stops reading must not end the test program
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  pid_t pid;
  try {
    pid = spawn(program, argv0.value_or(program), args, env, in_pipe[0], out_pipe[1], err_pipe[1]);
  } catch (...) {
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    throw;
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);

  ProcessResult result;
  size_t written = 0;
  bool in_open = true;
  if (input.empty()) {
    close(in_pipe[1]);
    in_open = false;
  }
  fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
  bool out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open || in_open) {
    std::vector<pollfd> fds;
    if (out_open) fds.push_back({out_pipe[0], POLLIN, 0});
    if (err_open) fds.push_back({err_pipe[0], POLLIN, 0});
    if (in_open) fds.push_back({in_pipe[1], POLLOUT, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (const auto& p : fds) {
      if (!p.revents) continue;
      if (p.fd == in_pipe[1]) {
        ssize_t n = write(in_pipe[1], input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN) written = input.size();
        if (written >= input.size()) {
          close(in_pipe[1]);
          in_open = false;
        }
        continue;
      }
      ssize_t n = read(p.fd, buf, sizeof buf);
      if (n <= 0) {
        close(p.fd);
        (p.fd == out_pipe[0] ? out_open : err_open) = false;
      } else {
        (p.fd == out_pipe[0] ? result.out : result.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace kestrova::testing

#include <chrono>

namespace kestrova::testing {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env) {
  signal(SIGPIPE, SIG_IGN);
  int in_pipe[2], out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC)) throw std::runtime_error("pipe failed");
  try {
    pid_ = spawn(program, program, args, env, in_pipe[0], out_pipe[1], -1);
  } catch (...) {
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1]}) close(fd);
    throw;
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  in_ = in_pipe[1];
  out_ = out_pipe[0];
}

ChildProcess::~ChildProcess() {
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
  if (!exited_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void ChildProcess::write(const std::string& data) {
  size_t written = 0;
  while (written < data.size()) {
    ssize_t n = ::write(in_, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("write to child failed");
    written += static_cast<size_t>(n);
  }
}

std::optional<std::string> ChildProcess::read_line(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    if (size_t nl = buffered_.find('\n'); nl != std::string::npos) {
      std::string line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || out_ < 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    char buf[65536];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) {
      close(out_);
      out_ = -1;
      return std::nullopt;
    }
    buffered_.append(buf, static_cast<size_t>(n));
  }
}

void ChildProcess::close_input() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

int ChildProcess::wait(int timeout_ms) {
  if (exited_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    usleep(5000);
  }
  return -1;
}

}  // namespace kestrova::testing
