// The desktop tests run in one QApplication on Qt's offscreen platform: no screen needed.
// The process's home is a temporary folder, so the shared stores the window's core calls
// open (the database, the settings) are the test's own.

#include <gtest/gtest.h>

#include <QApplication>

#include "support/test_support.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QT_NO_GLIB", "1");  // as the window runs: the service's work may take GLib's loop
  kestrova::testing::TempDir home;
  kestrova::testing::ScopedHome scoped(home.path());
  setenv("XDG_STATE_HOME", (home.path() / "state").c_str(), 1);
  setenv("KESTROVA_CREDENTIAL_STORE", "file", 1);  // the temporary home's own file
  QApplication application(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
