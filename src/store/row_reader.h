#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/email_contact.h"
#include "store/email_enums.h"

namespace kestrova::store {

class Statement;

// Typed reads of the current row of a statement by column name, for the record readers.
// NULL (and a column the query did not select) gives the fallback; an enumeration raw value
// that is not known gives the fallback too. Borrows the statement for its own lifetime.
class RowReader {
 public:
  explicit RowReader(const Statement& row) : row_(row) {}

  // The canonical upper-case form, or nothing when NULL or not a UUID.
  std::optional<std::string> uuid(std::string_view column) const;
  std::string text(std::string_view column, std::string_view fallback = {}) const;
  std::optional<std::string> optional_text(std::string_view column) const;
  int64_t integer(std::string_view column, int64_t fallback = 0) const;
  std::optional<int64_t> optional_integer(std::string_view column) const;
  // Any non-zero value is true.
  bool flag(std::string_view column, bool fallback = false) const;
  // Seconds since 1970; NULL reads as 0.
  double date(std::string_view column) const;
  std::optional<double> optional_date(std::string_view column) const;
  // Text or blob JSON arrays.
  std::vector<std::string> string_list(std::string_view column) const;
  std::vector<EmailContact> contact_list(std::string_view column) const;

  template <typename E>
  std::optional<E> optional_enumeration(std::string_view column) const {
    auto raw = optional_text(column);
    if (!raw) return std::nullopt;
    return from_raw<E>(*raw);
  }
  template <typename E>
  E enumeration(std::string_view column, E fallback) const {
    return optional_enumeration<E>(column).value_or(fallback);
  }

 private:
  const Statement& row_;
};

}  // namespace kestrova::store
