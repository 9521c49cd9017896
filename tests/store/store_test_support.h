#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string_view>

#include "store/database.h"
#include "support/test_support.h"

namespace kestrova::testing {

// A fresh mail database in a temporary directory, for tests that read rows into records.
class StoreTest : public ::testing::Test {
 protected:
  StoreTest() : db_(store::EmailDatabase::open(dir_.path() / "email.db")) {}

  void exec(std::string_view sql) {
    db_->write([&](store::Connection& c) { c.execute(sql); });
  }

  // Runs a query and hands its first row to T::from_row (selecting literal values with the
  // column names as aliases reaches the NULLs that the table constraints would refuse).
  template <typename T>
  std::optional<T> read_first(std::string_view sql) {
    return db_->read([&](store::Connection& c) -> std::optional<T> {
      auto s = c.prepare(sql);
      if (!s.step()) {
        ADD_FAILURE() << "no row for: " << sql;
        return std::nullopt;
      }
      return T::from_row(s);
    });
  }

  TempDir dir_;
  std::unique_ptr<store::EmailDatabase> db_;
};

}  // namespace kestrova::testing
