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
  EXPECT_EQ(a[0], 0.0f);
  EXPECT_EQ(a[1], 1.0f);
  // Onto itself: nothing changes.
  ASSERT_EQ(ippsMove_32f(a + 3, a + 3, 5), ippStsNoErr);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(a[i + 2], float(i));
}

TEST(Move, ArgumentChecks) {
  float a[4] = {1.0f, 2.0f, 3.0f, 4.0f};
  EXPECT_EQ(ippsMove_32f(nullptr, a, 1), ippStsNullPtrErr);
  EXPECT_EQ(ippsMove_32f(a, nullptr, 1), ippStsNullPtrErr);
  EXPECT_EQ(ippsMove_32f(nullptr, a, 0), ippStsNullPtrErr);  // pointers before length
  EXPECT_EQ(ippsMove_32f(a, a + 1, 0), ippStsSizeErr);
  EXPECT_EQ(ippsMove_32f(a, a + 1, -3), ippStsSizeErr);
  EXPECT_EQ(a[1], 2.0f);
}
