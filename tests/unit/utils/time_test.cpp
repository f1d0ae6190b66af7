// The one ISO 8601 reader: install stamps, transcript times, attestation times.
#include <gtest/gtest.h>

#include "utils/time.hpp"

using brenik::utils::parse_iso8601;

TEST(ParseIso8601, ZoneFormsAgreeOnTheSameInstant) {
  const double utc = 1714557600.0;  // 2024-05-01T10:00:00Z
  EXPECT_EQ(parse_iso8601("2024-05-01T10:00:00Z"), utc);
  EXPECT_EQ(parse_iso8601("2024-05-01t10:00:00z"), utc);
  EXPECT_EQ(parse_iso8601("2024-05-01T10:00:00"), utc);
  EXPECT_EQ(parse_iso8601("2024-05-01 10:00:00+00:00"), utc);
  EXPECT_EQ(parse_iso8601("2024-05-01T12:00:00+02:00"), utc);
  EXPECT_EQ(parse_iso8601("2024-05-01T08:30:00-0130"), utc);
  EXPECT_DOUBLE_EQ(*parse_iso8601("2024-05-01T10:00:00.900Z"), utc + 0.9);
}

TEST(ParseIso8601, RejectsWhatIsNotADateTime) {
  for (const char* bad : {"", "yesterday", "2024-13-01T00:00:00", "2024-05-01T25:00:00", "2024-05-01T10:00:00ZZ",
                          "2024-05-01T10:00:00+", "2024-05-01T10:00:00.Z", "2024-05-01X10:00:00"})
    EXPECT_FALSE(parse_iso8601(bad)) << bad;
}
