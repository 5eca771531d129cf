// The rank of version strings within their major part.
#include <gtest/gtest.h>

#include "control/version_gate.h"

namespace {

TEST(MinorValue, RanksDigitsAndSuffixes) {
  EXPECT_EQ(MinorValue("1.00"), 0);
  EXPECT_EQ(MinorValue("1.00a"), 1);
  EXPECT_EQ(MinorValue("1.01"), 100);
  EXPECT_EQ(MinorValue("1.01a"), 101);
  EXPECT_EQ(MinorValue("1.01ab"), 101);
  EXPECT_EQ(MinorValue("1.02b"), 202);
  EXPECT_EQ(MinorValue("1.09z"), 926);
  EXPECT_EQ(MinorValue("1.01A"), 69);
  EXPECT_EQ(MinorValue("1.0a"), 4900);
  EXPECT_EQ(MinorValue("1.10"), 0);
}

// Files are staged during the check only when the gate will neither stop
// the run nor ask: no recorded version, another major part or a newer
// installation all keep the check from writing anything.
TEST(IsPlainUpdate, OnlyWhenTheGateNeitherStopsNorAsks) {
  EXPECT_TRUE(IsPlainUpdate("1.01", "1.01", kAskDowngrade));
  EXPECT_TRUE(IsPlainUpdate("1.02a", "1.02", kAskDowngrade));
  EXPECT_FALSE(IsPlainUpdate("1.01", "", kAskDowngrade));
  EXPECT_FALSE(IsPlainUpdate("2.01", "1.01", kAskDowngrade));
  EXPECT_FALSE(IsPlainUpdate("1.01", "1.01a", kAskDowngrade));
  EXPECT_FALSE(IsPlainUpdate("1.01", "1.01a", kRefuseDowngrade));
  // A downgrade accepted in advance asks nothing, but another major part
  // still stops.
  EXPECT_TRUE(IsPlainUpdate("1.01", "1.01a", kAcceptDowngrade));
  EXPECT_FALSE(IsPlainUpdate("2.01", "1.01", kAcceptDowngrade));
}

TEST(MinorValue, HighBytesCountNegative) {
  EXPECT_EQ(MinorValue("1.0\x81"), (-127 - 48) * 100);
  EXPECT_EQ(MinorValue("1.01\x80"), 100 + (-128 - 96));
}

TEST(MinorValue, ShortStringsReadNulPastTheirEnd) {
  // The fifth position of these strings lies past their storage; it must
  // read as NUL, never as memory beyond the terminator.
  const char three[3 + 1] = {'1', '.', '0', '\0'};
  EXPECT_EQ(MinorValue(three), -4800);
  const char two[2 + 1] = {'1', '.', '\0'};
  EXPECT_EQ(MinorValue(two), -4800);
  const char empty[1] = {'\0'};
  EXPECT_EQ(MinorValue(empty), -4800);
}

}  // namespace
