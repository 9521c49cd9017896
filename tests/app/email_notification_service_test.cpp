#include "app/core/service/email_notification_service.h"

#include <gtest/gtest.h>

namespace kestrova::app {
namespace {

TEST(EmailNotificationServiceTest, QuietHoursIncludeTheirStartAndEndBeforeTheirEndHour) {
  struct Case {
    int hour, from, to;
    bool quiet;
  };
  const Case cases[] = {
      {23, 22, 7, true}, {6, 22, 7, true},
      {7, 22, 7, false}, {21, 22, 7, false},  // across midnight
      {16, 9, 17, true}, {17, 9, 17, false},
      {9, 9, 17, true},  {8, 9, 17, false},  // within a day
      {5, 5, 5, false},                      // equal ends
  };
  for (const auto& c : cases)
    EXPECT_EQ(EmailNotificationService::isQuietHour(c.hour, c.from, c.to), c.quiet)
        << c.hour << " in " << c.from << "→" << c.to;
}

}  // namespace
}  // namespace kestrova::app
