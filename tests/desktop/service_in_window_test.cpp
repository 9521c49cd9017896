// Who does the service's work: the service lock decides between the window and a real
// `kestrova run` of the same user, in both orders, and there is never a second receiver.

#include "app/desktop/service_in_window.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "app/core/service/mail_service_runner.h"
#include "support/test_support.h"

namespace kestrova::app::desktop {
namespace {

using State = ServiceInWindow::State;

TEST(ServiceInWindowTest, TheLockDecidesWhoReceivesInEitherOrder) {
  const int self = ::getpid();
  ServiceInWindow window;
  ASSERT_EQ(window.take_if_free(), State::windowWorks) << "no service runs: the window works";
  EXPECT_EQ(read_service_status().pid, self);

  // While the window works, `kestrova run` refuses, and so does a second window.
  const auto refused = testing::run_process(KESTROVA_BINARY, {"run"}, "");
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.err.find("kestrova 服务已在运行 (pid " + std::to_string(self) + ")"),
            std::string::npos)
      << refused.err;
  {
    ServiceInWindow second;
    EXPECT_EQ(second.take_if_free(), State::serviceWorks);
    EXPECT_EQ(second.holder(), self);
  }
  EXPECT_EQ(window.take_if_free(), State::windowWorks);  // asking again changes nothing

  // The window stops (it was closed): a service starts, and the window leaves it the work.
  window.stop();
  EXPECT_FALSE(read_service_status().pid);
  testing::ChildProcess run(KESTROVA_BINARY, {"run"});
  const auto started = run.read_line(60000);
  ASSERT_TRUE(started);
  EXPECT_NE(started->find("pid " + std::to_string(run.pid())), std::string::npos) << *started;
  EXPECT_EQ(window.take_if_free(), State::serviceWorks);
  EXPECT_EQ(window.holder(), run.pid());
  EXPECT_EQ(read_service_status().pid, run.pid());

  // The service stops: the window, still open, takes the work over.
  ASSERT_EQ(::kill(run.pid(), SIGTERM), 0);
  EXPECT_EQ(run.wait(60000), 0);
  EXPECT_EQ(window.take_if_free(), State::windowWorks);
  EXPECT_EQ(read_service_status().pid, self);
}

}  // namespace
}  // namespace kestrova::app::desktop
