#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/loopback.h"

namespace kestrova::testing {

// An IMAP server on loopback for `connections` connections one after the other (fewer when
// none comes within ten seconds), each greeted with `greeting`. `respond` gets the tag and the
// upper-cased command words of each client line ("UID COPY", "LOGIN", ...) and returns what to send
// back; LOGOUT is answered and ends the conversation, and so does a reply that ends in
// kHangUp (sent without it). The command names it saw can be read after finish().
inline constexpr std::string_view kHangUp = "<hang up>";

class ScriptedServer {
 public:
  using Responder = std::function<std::string(const std::string& tag, const std::string& command)>;

  ScriptedServer(std::string greeting, Responder respond, int connections = 1);
  ~ScriptedServer() { finish(); }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return listener_.port(); }
  void finish();
  const std::vector<std::string>& commands() const { return commands_; }
  // Each client line without its tag.
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  void serve(const std::string& greeting, const Responder& respond, int connections);
  void converse(int fd, const std::string& greeting, const Responder& respond);

  LoopbackListener listener_;
  std::thread thread_;
  std::vector<std::string> commands_;
  std::vector<std::string> lines_;
};

}  // namespace kestrova::testing
