#include "util/time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kestrova {
namespace {

TEST(Iso8601Utc, WholeSecondsInUtcAndUnprintableTimesAsTheEpoch) {
  EXPECT_EQ(iso8601_utc(1700000000.9), "2023-11-14T22:13:20Z");
  EXPECT_EQ(iso8601_utc(-0.5), "1969-12-31T23:59:59Z");
  EXPECT_EQ(iso8601_utc(253402300799.0), "9999-12-31T23:59:59Z");
  EXPECT_EQ(iso8601_utc(-62135596800.0), "0001-01-01T00:00:00Z");
  // Dates a damaged database may hold: no four-digit year, or no time_t at all.
  for (double odd : {253402300800.0, -62135596801.0, 1e300, -1e18, std::nan(""),
                     std::numeric_limits<double>::infinity()})
    EXPECT_EQ(iso8601_utc(odd), "1970-01-01T00:00:00Z") << odd;
}

}  // namespace
}  // namespace kestrova
