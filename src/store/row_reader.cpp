#include "store/row_reader.h"

#include "store/database.h"
#include "store/json_list.h"
#include "util/uuid.h"

namespace kestrova::store {

std::optional<std::string> RowReader::uuid(std::string_view column) const {
  auto value = row_.text(column);
  if (!value) return std::nullopt;
  return parse_uuid(*value);
}

std::string RowReader::text(std::string_view column, std::string_view fallback) const {
  auto value = row_.text(column);
  return value ? std::move(*value) : std::string(fallback);
}

std::optional<std::string> RowReader::optional_text(std::string_view column) const {
  return row_.text(column);
}

int64_t RowReader::integer(std::string_view column, int64_t fallback) const {
  return row_.integer(column).value_or(fallback);
}

std::optional<int64_t> RowReader::optional_integer(std::string_view column) const {
  return row_.integer(column);
}

bool RowReader::flag(std::string_view column, bool fallback) const {
  auto value = row_.integer(column);
  return value ? *value != 0 : fallback;
}

double RowReader::date(std::string_view column) const { return row_.real(column).value_or(0); }

std::optional<double> RowReader::optional_date(std::string_view column) const {
  return row_.real(column);
}

std::vector<std::string> RowReader::string_list(std::string_view column) const {
  return decode_string_list(row_.text(column));
}

std::vector<EmailContact> RowReader::contact_list(std::string_view column) const {
  return decode_contact_list(row_.text(column));
}

}  // namespace kestrova::store
