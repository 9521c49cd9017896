#include "support/scripted_imap_server.h"

#include <unistd.h>

#include <cctype>

namespace kestrova::testing {

ScriptedServer::ScriptedServer(std::string greeting, Responder respond, int connections) {
  thread_ = std::thread([this, greeting = std::move(greeting), respond = std::move(respond),
                         connections] { serve(greeting, respond, connections); });
}

void ScriptedServer::finish() {
  if (thread_.joinable()) thread_.join();
}

void ScriptedServer::serve(const std::string& greeting, const Responder& respond, int connections) {
  for (int i = 0; i < connections; ++i) {
    const int fd = listener_.accept();
    if (fd < 0) return;
    converse(fd, greeting, respond);
    close(fd);
  }
}

void ScriptedServer::converse(int fd, const std::string& greeting, const Responder& respond) {
  send_all(fd, greeting);
  std::string buffer;
  while (respond) {
    const auto line = read_crlf_line(fd, buffer);
    if (!line) break;
    const size_t space = line->find(' ');
    const std::string tag = line->substr(0, space);
    std::string command = space == std::string::npos ? "" : line->substr(space + 1);
    lines_.push_back(command);
    for (char& c : command) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string name = command.substr(0, command.find(' '));
    commands_.push_back(name == "UID" ? command.substr(0, command.find(' ', 4)) : name);
    std::string reply = name == "LOGOUT" ? "* BYE bye\r\n" + tag + " OK done\r\n"
                                         : respond(tag, commands_.back());
    const bool hang_up = name == "LOGOUT" || reply.ends_with(kHangUp);
    if (reply.ends_with(kHangUp)) reply.resize(reply.size() - kHangUp.size());
    send_all(fd, reply);
    if (hang_up) break;
  }
}

}  // namespace kestrova::testing
