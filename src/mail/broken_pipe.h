#pragma once

namespace kestrova::mail {

// libetpan writes plain sockets with write(2): once a server has dropped the connection,
// the next command (often the LOGOUT or QUIT of a disconnect) would end the whole process
// with SIGPIPE. Called before a session is created: a process that installed no handler of
// its own gets EPIPE errors instead. Safe to call from any thread, any number of times.
void ignore_broken_pipe_signal();

}  // namespace kestrova::mail
