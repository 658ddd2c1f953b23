#include <gtest/gtest.h>

#include "polyphase/ResamplePolyphase.h"

TEST(Move, OverlappingRangesKeepTheSequence) {
  float a[12];
  for (int i = 0; i < 12; ++i) a[i] = float(i);
  ASSERT_EQ(ippsMove_32f(a + 2, a, 10), ippStsNoErr);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(a[i], float(i + 2));
  for (int i = 0; i < 12; ++i) a[i] = float(i);
  ASSERT_EQ(ippsMove_32f(a, a + 2, 10), ippStsNoErr);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(a[i + 2], float(i));
  EXPECT_EQ(ippsMove_32f(nullptr, a, 1), ippStsNullPtrErr);
  EXPECT_EQ(ippsMove_32f(a, a, 0), ippStsSizeErr);
}
