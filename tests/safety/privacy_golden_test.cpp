#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "mail/mail_import.h"
#include "safety/email_privacy_report_service.h"
#include "store/email_message.h"
#include "util/file.h"

// Hand-written messages in tests/safety/golden/*.eml against their expected reports in the
// tool form (*.json). KESTROVA_UPDATE_GOLDEN=1 rewrites the expected files; review the diff.
namespace kestrova::safety {
namespace {

namespace fs = std::filesystem;

store::EmailMessage decoded(const std::string& raw) {
  mail::ArchivedMessage archived;
  archived.raw = raw;
  return mail::message_from_archive(archived, "", "", 0);
}

TEST(PrivacyGolden, EachSampleGivesItsExpectedReport) {
  const fs::path dir = fs::path(KESTROVA_SOURCE_DIR) / "tests/safety/golden";
  const bool update = std::getenv("KESTROVA_UPDATE_GOLDEN") != nullptr;
  int samples = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".eml") continue;
    ++samples;
    const Json actual = to_tool_json(
        EmailPrivacyReportService::report(decoded(read_file(entry.path()).value_or(""))));
    fs::path expected_path = entry.path();
    expected_path.replace_extension(".json");
    if (update) {
      std::ofstream(expected_path, std::ios::binary) << actual.dump(2) << "\n";
      continue;
    }
    ASSERT_TRUE(fs::exists(expected_path)) << expected_path;
    EXPECT_EQ(actual, Json::parse(read_file(expected_path).value_or("")))
        << entry.path().filename();
  }
  EXPECT_GE(samples, 8);
}

}  // namespace
}  // namespace kestrova::safety
