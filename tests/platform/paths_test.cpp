#include "platform/paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/test_support.h"

namespace kestrova::platform {
namespace {

namespace fs = std::filesystem;

void make_program(const fs::path& path) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\n";
  fs::permissions(path, fs::perms::owner_all);
}

// Links and services made from the window must start the command-line program, not the
// window: in a build it lies beside the window, in the package two folders up in bin.
TEST(MainProgram, TheWindowNamesTheProgramItCameWith) {
  testing::TempDir dir;
  const fs::path build = dir.path() / "build", usr = dir.path() / "usr";
  make_program(build / "kestrova");
  make_program(build / "kestrova-window");
  make_program(usr / "bin" / "kestrova");
  make_program(usr / "lib" / "kestrova" / "kestrova-window");
  make_program(dir.path() / "alone" / "kestrova-window");

  EXPECT_EQ(main_program_of(build / "kestrova-window"), build / "kestrova");
  EXPECT_EQ(main_program_of(usr / "lib" / "kestrova" / "kestrova-window"),
            usr / "bin" / "kestrova");
  EXPECT_EQ(main_program_of(dir.path() / "alone" / "kestrova-window"), std::nullopt);
  EXPECT_EQ(main_program_of(usr / "bin" / "kestrova"), usr / "bin" / "kestrova");
}

}  // namespace
}  // namespace kestrova::platform
