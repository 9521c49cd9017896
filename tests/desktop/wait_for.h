#pragma once

#include <QApplication>
#include <QThread>
#include <chrono>

namespace kestrova::testing {

// Runs the main loop until `done` holds; answers from worker threads arrive through it.
// Bounded, so that a lost answer fails the test instead of hanging it.
template <class F>
bool wait_for(F done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done() && std::chrono::steady_clock::now() < until) {
    QApplication::processEvents();
    QThread::msleep(5);
  }
  return done();
}

}  // namespace kestrova::testing
