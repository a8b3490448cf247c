#include <gtest/gtest.h>

#include "runner/countdown.h"

TEST(Countdown, EstimateCoversDelaysExposuresAndInfraredPulses)
{
    EXPECT_EQ(EstimateSeconds(1, 1, 0, 1, 5, false), 8);
    EXPECT_EQ(EstimateSeconds(10, 30, 0, 0, 0, true), 303);
    EXPECT_EQ(EstimateSeconds(4, 1, 0, 0, 0, true), 5);  // 4 / 5 adds nothing
    EXPECT_EQ(EstimateSeconds(12, 1, 0, 0, 0, true), 12 + 1 + 2);
    EXPECT_EQ(EstimateSeconds(11, 1, 0, 0, 0, false), 11 + 1 + 2);  // 200 ms between frames
    EXPECT_EQ(EstimateSeconds(11, 1, 0, 1, 0, false), 22 + 1);
    EXPECT_EQ(EstimateSeconds(9999, 9999, 9999, 9999, 9999, false), 299950003);
    EXPECT_EQ(EstimateSeconds(9999, 9999, 9999, 9999, 9999, true), 299952002);
}

TEST(Countdown, LabelShowsWholeHoursAndASignForAnOverrun)
{
    EXPECT_EQ(RemainingLabel(7), "Total Remaining 00:00:07");
    EXPECT_EQ(RemainingLabel(65), "Total Remaining 00:01:05");
    EXPECT_EQ(RemainingLabel(0), "Total Remaining 00:00:00");
    EXPECT_EQ(RemainingLabel(360000), "Total Remaining 100:00:00");
    EXPECT_EQ(RemainingLabel(299950002), "Total Remaining 83319:26:42");
    EXPECT_EQ(RemainingLabel(-5), "Total Remaining -00:00:05");
    EXPECT_EQ(RemainingLabel(-3601), "Total Remaining -01:00:01");
    EXPECT_EQ(RemainingLabel(INT32_MIN), "Total Remaining -596523:14:08");
}
