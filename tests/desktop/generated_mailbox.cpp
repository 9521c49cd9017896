#include "generated_mailbox.h"

#include <gtest/gtest.h>

namespace kestrova::testing {

namespace {

const std::filesystem::path& generated_once() {
  static TempDir dir;
  static const std::filesystem::path file = [] {
    const auto path = dir.path() / "email.db";
    const auto result = run_process(KESTROVA_GENERATOR,
                                    {"--out", path.string(), "--messages", "3000", "--accounts",
                                     "3", "--folders", "24", "--seed", "7"},
                                    "");
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return path;
  }();
  return file;
}

}  // namespace

GeneratedMailbox::GeneratedMailbox() : file_(dir_.path() / "email.db") {
  std::filesystem::copy_file(generated_once(), file_);
  database_ = store::EmailDatabase::open(file_);
}

std::unique_ptr<store::EmailDatabase> GeneratedMailbox::open_again() const {
  return store::EmailDatabase::open(file_);
}

}  // namespace kestrova::testing
