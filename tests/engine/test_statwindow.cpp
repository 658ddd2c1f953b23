#include <gtest/gtest.h>

#include "FakeClock.h"
#include "engine/RateTracker.h"
#include "engine/StatWindow.h"

TEST(StatWindow, SkipThenMeanOfHeldValues) {
  StatWindow w(4, 2);
  w.Add(10);
  w.Add(20);
  w.Add(30);
  EXPECT_EQ(w.Mean(), 30);
  EXPECT_EQ(w.Held(), 1);
  // Reset restores the initial skip.
  w.Reset();
  w.Add(5);
  EXPECT_EQ(w.Held(), 0);
  EXPECT_EQ(w.Mean(), 0);
  EXPECT_EQ(w.MeanF(), 0.0);
}

TEST(StatWindow, MovingWindowDropsOldestAndTracksMax) {
  StatWindow w(3, 0);
  for (int v : {1, 2, 3, 4}) w.Add(v);
  EXPECT_EQ(w.Mean(), 3);
  EXPECT_DOUBLE_EQ(w.MeanF(), 3.0);
  EXPECT_TRUE(w.Full());
  EXPECT_EQ(w.Max(), 4);
  EXPECT_EQ(w.Sum(), 9);
  // Many more values: the running sum stays the sum of the last three.
  for (int v = 0; v < 1000; ++v) w.Add(v);
  EXPECT_EQ(w.Sum(), 997 + 998 + 999);
}

TEST(StatWindow, TruncatesTowardZeroAndMaxOfNegatives) {
  StatWindow w(4, 0);
  EXPECT_EQ(w.Max(), 0);
  w.Add(-5);
  EXPECT_EQ(w.Max(), -5);  // not the zero of an unused slot
  StatWindow m(4, 0);
  m.Add(-1);
  m.Add(-2);
  EXPECT_EQ(m.Mean(), -1);
  EXPECT_DOUBLE_EQ(m.MeanF(), -1.5);
}

TEST(StatWindow, FillMakesFullWindowAndKeepsSkip) {
  StatWindow w(8, 3);
  w.Fill(7);
  EXPECT_EQ(w.Mean(), 7);
  EXPECT_TRUE(w.Full());
  EXPECT_EQ(w.Skip(), 3);
  w.SetSkip(0);
  w.Add(15);
  EXPECT_EQ(w.Mean(), 8);
  // Sums beyond int32 stay exact.
  StatWindow big(2048, 0);
  big.Fill(2000000000);
  EXPECT_EQ(big.Mean(), 2000000000);
}

TEST(BlockTiming, JitterValuesOfEarlyAndLateBlocks) {
  // 480 samples at 48000 Hz: 10 ms expected.
  EXPECT_EQ(BlockJitterValue(10, 480, 48000), 1000);
  EXPECT_EQ(BlockJitterValue(15, 480, 48000), 1500);
  EXPECT_EQ(BlockJitterValue(5, 480, 48000), 2000);
  EXPECT_EQ(BlockJitterValue(0, 480, 48000), 0);
  EXPECT_EQ(BlockJitterValue(10, 480, 1), 0);  // no rate estimate yet
  StatWindow w(16, 0);
  EXPECT_DOUBLE_EQ(JitterPercent(w), -100.0);
  for (int v : {1000, 1500, 2000}) w.Add(v);
  EXPECT_DOUBLE_EQ(JitterPercent(w), 100.0);
}

TEST(BlockTiming, TrackerRecordsFromSeventeenthBlockAndPublishesJitter) {
  FakeClock clock(5000);
  RateTracker tracker;
  tracker.Init(48000, 1, 48000.0, 1.08);
  BlockTimingHistory h;
  for (int i = 0; i < 16; ++i) {
    tracker.Update(480);
    clock.Advance(10);
  }
  tracker.CopyHistory(&h);
  EXPECT_EQ(h.next, 0);
  EXPECT_EQ(h.entries[0].timeMs, 0u);
  EXPECT_DOUBLE_EQ(tracker.Jitter(), 0.0);  // all on time
  tracker.Update(480);
  tracker.CopyHistory(&h);
  EXPECT_EQ(h.next, 1);
  EXPECT_EQ(h.entries[0].timeMs, clock.Get());
  EXPECT_EQ(h.entries[0].blockFrames, 480);
  EXPECT_EQ(h.modulus, 256);
  clock.Advance(5);  // twice as fast as expected
  tracker.Update(480);
  EXPECT_DOUBLE_EQ(tracker.Jitter(), 100.0);
  // A reset clears the history but keeps the jitter window.
  tracker.Reset();
  tracker.CopyHistory(&h);
  EXPECT_EQ(h.next, 0);
  EXPECT_EQ(h.entries[1].timeMs, 0u);
  EXPECT_DOUBLE_EQ(tracker.Jitter(), 100.0);
}

TEST(BlockTiming, ClockReadingZeroIsRecordedAsOne) {
  FakeClock clock(0);
  RateTracker tracker;
  for (int i = 0; i < 17; ++i) tracker.Update(64);
  BlockTimingHistory h;
  tracker.CopyHistory(&h);
  EXPECT_EQ(h.entries[0].timeMs, 1u);
}
