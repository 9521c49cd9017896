#pragma once

#include <filesystem>
#include <memory>

#include "store/database.h"
#include "support/test_support.h"

namespace kestrova::testing {

// A fresh copy of a generated mailbox (3 accounts, 24 folders, 3,000 messages in English and
// Chinese) in its own temporary folder; the generator runs once per test program.
class GeneratedMailbox {
 public:
  GeneratedMailbox();
  const std::filesystem::path& file() const { return file_; }
  store::EmailDatabase& database() { return *database_; }
  // A second owner of the same file, as another process would have.
  std::unique_ptr<store::EmailDatabase> open_again() const;

 private:
  TempDir dir_;
  std::filesystem::path file_;
  std::unique_ptr<store::EmailDatabase> database_;
};

}  // namespace kestrova::testing
