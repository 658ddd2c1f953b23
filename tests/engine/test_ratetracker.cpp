#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

#include "FakeClock.h"
#include "engine/LogPrintf.h"
#include "engine/RateTracker.h"

namespace {

// Feeds a tracker blocks of `frames` at `rate` Hz on the fake clock, with fractional
// milliseconds carried so that the clock follows the rate exactly on average.
struct Feeder {
  FakeClock& clock;
  RateTracker& tracker;
  double timeMs;
  Feeder(FakeClock& c, RateTracker& t) : clock(c), tracker(t), timeMs(c.Get()) {}
  void Run(double seconds, double rate, int frames = 480) {
    double end = timeMs + seconds * 1000.0;
    while (timeMs < end) {
      timeMs += frames * 1000.0 / rate;
      clock.Set(static_cast<uint32_t>(timeMs));
      tracker.Update(frames);
    }
  }
};

struct CapturedLog {
  std::string text;
  CapturedLog() {
    LogSetFunction([](const char* t, void* c) { static_cast<CapturedLog*>(c)->text += t; }, this);
  }
  ~CapturedLog() { LogResetSinks(); }
};

}  // namespace

TEST(RateMeter, FirstCompletionStartsClockLaterOnesMeasure) {
  FakeClock clock(1000);
  RateMeter m;
  m.Begin(1000, 0, false);
  EXPECT_FALSE(m.Add(999));
  EXPECT_FALSE(m.Add(1));  // starts the clock
  EXPECT_EQ(m.StartTime(), 1000u);
  clock.Advance(100);
  EXPECT_FALSE(m.Add(500));
  EXPECT_TRUE(m.Add(700));  // 1200 samples in 100 ms
  EXPECT_DOUBLE_EQ(m.Rate(), 12000.0);
  EXPECT_EQ(m.Count(), 200);
  EXPECT_EQ(m.Base(), 200);
  // Clock standing still: no measurement, state kept, next call tries again.
  EXPECT_FALSE(m.Add(1000));
  EXPECT_EQ(m.Count(), 1200);
  clock.Advance(50);
  EXPECT_TRUE(m.Add(0));
  EXPECT_DOUBLE_EQ(m.Rate(), 20000.0);
}

TEST(RateMeter, SpreadMetersCompleteAtTheirOwnOffsets) {
  FakeClock clock;
  RateMeter early, late;
  early.Begin(1000, 750);
  late.Begin(1000, 250);
  EXPECT_FALSE(early.Add(250));
  EXPECT_NE(early.StartTime(), 0u);  // early completed its first window already
  EXPECT_FALSE(late.Add(250));
  EXPECT_EQ(late.StartTime(), 0u);
  late.Restart();
  EXPECT_EQ(late.Count(), 250);
}

TEST(RatePeriod, SaturatesInsteadOfOverflowingForStalledRates) {
  EXPECT_EQ(RatePeriodPs(48000.0), 20833333);
  EXPECT_EQ(RatePeriodPs(466.0), 2145922746);
  EXPECT_EQ(RatePeriodPs(465.0), INT32_MAX);
  EXPECT_EQ(RatePeriodPs(3.0), INT32_MAX);
  EXPECT_EQ(RatePeriodPs(0.0), 0);
  EXPECT_EQ(RatePeriodPs(std::nan("")), 0);
}

TEST(RateTracker, ShortEstimateGrowsFromNothing) {
  FakeClock clock;
  RateTracker tracker;
  tracker.Init(48000, 1, 0.0, 1.08);
  EXPECT_EQ(tracker.Rate(), 0.0);
  EXPECT_FALSE(tracker.IsLongStable());
  Feeder feed(clock, tracker);
  feed.Run(0.25, 44100);  // less than one short window: clocks start, nothing measured
  EXPECT_EQ(tracker.Rate(), 0.0);
  EXPECT_FALSE(tracker.IsShortStable());
  feed.Run(0.5, 44100);
  EXPECT_NEAR(tracker.Rate(), 44100.0, 100.0);
  feed.Run(2.0, 44100);
  EXPECT_TRUE(tracker.IsShortStable());
  EXPECT_GT(tracker.ShortPeriods().Held(), 10);
  // The long estimate needs two long windows (192000 samples each) and 10 skipped.
  EXPECT_EQ(tracker.LongRate(), 0.0);
  EXPECT_FALSE(tracker.IsLongStable());
  feed.Run(10.0, 44100);
  EXPECT_NEAR(tracker.LongRate(), 44100.0, 5.0);
  EXPECT_NEAR(tracker.Rate(), 44100.0, 5.0);
  EXPECT_TRUE(tracker.IsLongStable());
}

TEST(RateTracker, NominalRateMakesLongEstimateStableAtOnce) {
  FakeClock clock;
  RateTracker tracker;
  tracker.Init(48000, 1, 48000.0, 1.08);
  EXPECT_DOUBLE_EQ(tracker.Rate(), 48000.0);
  EXPECT_TRUE(tracker.IsLongStable());
  EXPECT_EQ(tracker.LongPeriods().Held(), 2048);
  EXPECT_EQ(tracker.LongPeriods().Mean(), 20833333);
}

TEST(RateTracker, StallIsLostTrackWithoutResync) {
  FakeClock clock;
  CapturedLog log;
  RateTracker tracker;
  tracker.Init(48000, 1, 48000.0, 1.08);
  Feeder feed(clock, tracker);
  feed.Run(3.0, 48000);
  ASSERT_TRUE(tracker.IsShortStable());
  feed.timeMs += 2000;  // the device stalls for two seconds
  feed.Run(0.3, 48000);
  EXPECT_NE(log.text.find("SRC lost track: first_check="), std::string::npos);
  EXPECT_FALSE(tracker.TakeResync());
  EXPECT_EQ(tracker.LongRate(), 0.0);
  EXPECT_EQ(tracker.TrackLossCount(), 1);
  // It measures again afterwards.
  feed.Run(1.0, 48000);
  EXPECT_NEAR(tracker.Rate(), 48000.0, 200.0);
}

TEST(RateTracker, RateJumpBeyondBoundRaisesResync) {
  FakeClock clock;
  CapturedLog log;
  RateTracker tracker;
  tracker.Init(48000, 1, 0.0, 1.08);
  Feeder feed(clock, tracker);
  feed.Run(6.0, 48000);
  ASSERT_FALSE(tracker.ResyncPending());
  feed.Run(3.0, 57600);  // 20 percent faster: the 32-value estimate runs away
  EXPECT_NE(log.text.find("SRC losing track (test="), std::string::npos);
  EXPECT_NE(log.text.find("max=1.08), resetting."), std::string::npos);
  EXPECT_TRUE(tracker.TakeResync());
  EXPECT_FALSE(tracker.TakeResync());  // taking clears it
  // A jump within the bound is followed without a reset.
  RateTracker calm;
  calm.Init(48000, 1, 0.0, 1.08);
  Feeder feed2(clock, calm);
  feed2.Run(6.0, 48000);
  feed2.Run(6.0, 49000);
  EXPECT_FALSE(calm.ResyncPending());
  EXPECT_NEAR(calm.ShortRate(), 49000.0, 100.0);
}

TEST(RateTracker, VerySlowDeviceGivesPositiveSaturatedRate) {
  // 300 Hz: a period of 3.3e9 ps does not fit int32. It must read as a very slow clock,
  // never as a negative or wrapped period.
  FakeClock clock;
  RateTracker tracker;
  tracker.Init(48000, 0, 0.0, 1.08);
  Feeder feed(clock, tracker);
  feed.Run(200.0, 300, 64);
  EXPECT_GT(tracker.ShortRate(), 0.0);
  EXPECT_LT(tracker.ShortRate(), 470.0);
  EXPECT_GT(tracker.ShortPeriods().Mean(), 0);
}

// A second Init at another rate keeps nothing of the first session: the old long means
// would pull the first long measurement back towards the old rate.
TEST(RateTracker, InitStartsEveryEstimateAfresh) {
  FakeClock clock;
  RateTracker tracker;
  tracker.Init(48000, 1, 48000.0, 1.08);
  Feeder feed(clock, tracker);
  feed.Run(12.0, 48000);
  ASSERT_GT(tracker.LongMeans().Held(), 0);
  ASSERT_GT(tracker.ShortPeriods().Held(), 0);
  tracker.Init(48000, 1, 44100.0, 1.08);
  EXPECT_EQ(tracker.LongMeans().Held(), 0);
  EXPECT_EQ(tracker.ShortPeriods().Held(), 0);
  EXPECT_EQ(tracker.ShortCheck().Held(), 0);
  EXPECT_EQ(tracker.ShortRate(), 0.0);
  EXPECT_EQ(tracker.Blocks(), 0);
  EXPECT_EQ(tracker.Jitter(), -100.0);
  feed.Run(20.0, 44100);
  EXPECT_NEAR(tracker.Rate(), 44100.0, 5.0);
}
