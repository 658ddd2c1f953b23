#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "FakeClock.h"
#include "engine/AsyncResampler.h"
#include "engine/LogPrintf.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Per-channel buffers in the shape PushInput/PullOutput take.
struct Block {
  std::vector<std::vector<int32_t>> data;
  std::vector<int32_t*> ptr;
  Block(int channels, int frames, int32_t value = 0) : data(channels, std::vector<int32_t>(frames, value)) {
    for (auto& d : data) ptr.push_back(d.data());
  }
  const int32_t* const* In() const { return ptr.data(); }
  int32_t* const* Out() { return ptr.data(); }
};

ResamplerConfig Config(double in, double out, int frames, int count, int channels = 2) {
  ResamplerConfig c;
  c.fifoSamples = std::max(3, count) * frames;
  c.maxBlock = 2 * frames;
  c.channels = channels;
  c.variableRatio = 1;
  c.inputRate = in;
  c.outputRate = out;
  return c;
}

}  // namespace

TEST(AsyncResampler, PassThroughKeepsSampleValues) {
  FakeClock clock;
  AsyncResampler r;
  ResamplerConfig c = Config(48000, 48000, 256, 8);
  c.variableRatio = 0;
  ASSERT_TRUE(r.Init(c));
  Block in(2, 256, 1000), out(2, 256, -1);
  r.PullOutput(out.Out(), 256);  // not primed yet: silence
  EXPECT_EQ(out.data[0][0], 0);
  for (int i = 0; i < 9; ++i) r.PushInput(in.In(), 256);  // more than half of 2048
  r.PullOutput(out.Out(), 256);
  for (int ch = 0; ch < 2; ++ch)
    for (int32_t v : out.data[ch]) {
      ASSERT_GE(v, 999);
      ASSERT_LE(v, 1001);
    }
  EXPECT_DOUBLE_EQ(r.CurrentRatio(), 1.0);
}

TEST(AsyncResampler, PushesBeforeTheFirstPullKeepTheNominalRatio) {
  FakeClock clock;
  AsyncResampler r;
  ASSERT_TRUE(r.Init(Config(44100, 192000, 512, 8)));
  Block in(2, 512, 1000);
  for (int i = 0; i < 20; ++i) r.PushInput(in.In(), 512);
  EXPECT_NEAR(r.CurrentRatio(), 192000.0 / 44100.0, 1e-9);
}

TEST(AsyncResampler, NominalRatiosBeyondEightAreRejected) {
  AsyncResampler r;
  ASSERT_TRUE(r.Init(Config(8000, 96000, 256, 4)));
  EXPECT_EQ(r.CurrentRatio(), 0.0);
  EXPECT_EQ(r.Config().inputRate, 0.0);
  EXPECT_EQ(r.Config().outputRate, 0.0);
  ASSERT_TRUE(r.Init(Config(6000, 48000, 256, 4)));
  EXPECT_DOUBLE_EQ(r.CurrentRatio(), 8.0);
  ASSERT_TRUE(r.Init(Config(48000, 6000, 256, 4)));
  EXPECT_DOUBLE_EQ(r.CurrentRatio(), 0.125);
}

TEST(AsyncResampler, UnusableConfigurationIsRefusedWhole) {
  AsyncResampler r;
  ResamplerConfig c = Config(48000, 48000, 256, 4, 17);  // buffers exist for 16 channels
  EXPECT_FALSE(r.Init(c));
  EXPECT_FALSE(r.IsInitialised());
  c.channels = 16;
  c.maxBlock = 0;
  EXPECT_FALSE(r.Init(c));
  c.maxBlock = 512;
  EXPECT_TRUE(r.Init(c));
  // A refused Init after a good one leaves the resampler inactive, not half-configured.
  c.channels = 0;
  EXPECT_FALSE(r.Init(c));
  Block out(16, 64, 77);
  r.PullOutput(out.Out(), 64);
  EXPECT_EQ(out.data[0][0], 77);
}

TEST(AsyncResampler, OversizedBlocksAreRefusedSafely) {
  FakeClock clock;
  AsyncResampler r;
  ASSERT_TRUE(r.Init(Config(48000, 48000, 64, 4)));  // maxBlock 128
  Block big(2, 1000, 5000);
  r.PushInput(big.In(), 1000);  // would overrun the input history
  EXPECT_EQ(r.FifoLevelSamples(), 0);
  r.PullOutput(big.Out(), 1000);  // silence, nothing read beyond pullBuf
  EXPECT_EQ(big.data[1][999], 0);
}

TEST(AsyncResampler, GraceHoldsCountersAtZeroThenFullFifoDropsWholePush) {
  FakeClock clock;
  AsyncResampler r;
  ResamplerConfig c = Config(48000, 48000, 512, 4);
  c.variableRatio = 0;
  ASSERT_TRUE(r.Init(c));
  Block in(2, 512, 100), out(2, 512);
  // Pull only: silence every time, but the grace period keeps the count at 0.
  for (int i = 0; i < 10; ++i) r.PullOutput(out.Out(), 512);
  EXPECT_EQ(r.UnderrunCount(), 0);
  // Move 200000 samples through both sides.
  for (int i = 0; i < 400; ++i) {
    r.PushInput(in.In(), 512);
    r.PullOutput(out.Out(), 512);
    clock.Advance(10);
  }
  EXPECT_EQ(r.GraceIn(), 0);
  EXPECT_EQ(r.GraceOut(), 0);
  const int32_t under = r.UnderrunCount();
  // FIFO (2048 samples) filled to the brim, then one more push does not fit.
  while (r.FifoLevelSamples() + 512 <= r.FifoCapacitySamples()) {
    r.PushInput(in.In(), 512);
    r.PullOutput(out.Out(), 1);  // keeps the level figure current
  }
  const int32_t level = r.FifoLevelSamples();
  const int32_t over = r.OverrunCount();
  r.PushInput(in.In(), 512);
  r.PushInput(in.In(), 512);
  EXPECT_EQ(r.OverrunCount(), over + 2);
  r.PullOutput(out.Out(), 1);
  EXPECT_EQ(r.FifoLevelSamples(), level - 1);  // contents unchanged by the dropped pushes
  EXPECT_GE(r.UnderrunCount(), under);
}

TEST(AsyncResampler, RatesReadZeroWhileHeldOrStale) {
  FakeClock clock;
  AsyncResampler r;
  EXPECT_EQ(r.SrcDelay(), 0);  // no FIFO before the first Init
  ASSERT_TRUE(r.Init(Config(48000, 48000, 500, 4)));
  EXPECT_EQ(r.SrcDelay(), 2000 * 3 / 4);  // three quarters of the FIFO before any delay
  Block in(2, 500);
  for (int i = 0; i < 20; ++i) {  // 10000 samples: the hold runs out with the last one
    EXPECT_EQ(r.InputRate(), 0.0) << i;
    r.PushInput(in.In(), 500);
    clock.Advance(10);
  }
  EXPECT_DOUBLE_EQ(r.InputRate(), 48000.0);
  clock.Advance(490);
  EXPECT_DOUBLE_EQ(r.InputRate(), 48000.0);
  clock.Advance(20);  // more than 500 ms since the last push
  EXPECT_EQ(r.InputRate(), 0.0);
  EXPECT_EQ(r.OutputRate(), 0.0);  // output never pulled: still held
  r.PushInput(in.In(), 500);
  EXPECT_DOUBLE_EQ(r.InputRate(), 48000.0);
}

TEST(AsyncResampler, LevelAdjustLaw) {
  EXPECT_DOUBLE_EQ(RatioLevelAdjust(0.95, 0.1), 1.0);
  EXPECT_DOUBLE_EQ(RatioLevelAdjust(0.9, 0.1), 1.0);
  EXPECT_DOUBLE_EQ(RatioLevelAdjust(1.0, 0.1), 1.0);
  EXPECT_NEAR(RatioLevelAdjust(2.0, 0.001), 1.000693, 1e-6);
  EXPECT_NEAR(RatioLevelAdjust(0.5, 0.001), 0.999489, 1e-6);
  EXPECT_NEAR(RatioLevelAdjust(3.0, 0.1), 1.001099, 1e-6);
  EXPECT_DOUBLE_EQ(RatioLevelAdjust(3.0, 0.001), 1.001);
  EXPECT_DOUBLE_EQ(RatioLevelAdjust(0.0, 0.001), 0.999);
}

TEST(AsyncResampler, BlockHistoryPerSide) {
  FakeClock clock;
  AsyncResampler r;
  ASSERT_TRUE(r.Init(Config(48000, 44100, 64, 4)));
  Block in(2, 64), out(2, 32);
  for (int i = 0; i < 20; ++i) {
    r.PushInput(in.In(), 64);
    r.PullOutput(out.Out(), 32);
    r.PullOutput(out.Out(), 32);
    clock.Advance(1);
  }
  BlockTimingHistory hIn, hOut;
  r.CopyBlockHistory(false, &hIn);
  r.CopyBlockHistory(true, &hOut);
  EXPECT_EQ(hIn.next, 4);
  EXPECT_EQ(hIn.entries[0].blockFrames, 64);
  EXPECT_EQ(hOut.next, 24);
  EXPECT_EQ(hOut.entries[0].blockFrames, 32);
}

// Every ratio and block size the dialog offers must convert at the right pitch: small
// blocks must fit the input history, large upward ratios the output room, and the factor
// must never be forced away from the ratio.
TEST(AsyncResampler, EveryRateAndBlockSizeConvertsAtTheRightPitch) {
  const double rates[][2] = {{44100, 192000}, {44100, 96000}, {8000, 48000}, {192000, 44100}, {44100, 48000}};
  const int frames[] = {48, 64, 100, 120, 128, 256, 1024};
  for (const auto& rate : rates) {
    for (int f : frames) {
      FakeClock clock;
      AsyncResampler r;
      ASSERT_TRUE(r.Init(Config(rate[0], rate[1], f, 4, 1)));
      const double ratio = rate[1] / rate[0];
      Block in(1, f), out(1, f);
      const double inPeriod = f * 1000.0 / rate[0], outPeriod = f * 1000.0 / rate[1];
      double tIn = 0, tOut = 0, phase = 0;
      const double step = 2 * kPi * 500.0 / rate[0];
      std::vector<int32_t> tail;
      const double seconds = 3.0;
      while (tIn < seconds * 1000 || tOut < seconds * 1000) {
        if (tIn <= tOut) {
          for (int i = 0; i < f; ++i, phase += step) in.data[0][i] = static_cast<int32_t>(10000 * std::sin(phase));
          clock.Set(1000 + static_cast<uint32_t>(tIn));
          r.PushInput(in.In(), f);
          tIn += inPeriod;
        } else {
          clock.Set(1000 + static_cast<uint32_t>(tOut));
          r.PullOutput(out.Out(), f);
          if (tOut > 1500) tail.insert(tail.end(), out.data[0].begin(), out.data[0].end());
          tOut += outPeriod;
        }
      }
      SCOPED_TRACE(testing::Message() << rate[0] << " -> " << rate[1] << ", " << f << " frames");
      EXPECT_EQ(r.FactorLimitCount(), 0);
      EXPECT_NEAR(r.LastFactor() / ratio, 1.0, 0.01);
      // 500 Hz in must be 500 Hz out: count rising zero crossings of the last 1.5 s.
      int crossings = 0;
      for (size_t i = 1; i < tail.size(); ++i) crossings += tail[i - 1] < 0 && tail[i] >= 0;
      const double seconds_out = static_cast<double>(tail.size()) / rate[1];
      EXPECT_NEAR(crossings / seconds_out, 500.0, 5.0);
    }
  }
}

// A factor beyond the room the buffers were sized for (here: no nominal rates, so sized for
// 1.0, while the measured clocks ask for 1.9) is logged and limited to what fits, never
// replaced by 1.0 (which would play the block at a wrong pitch).
TEST(AsyncResampler, FactorBeyondOutputRoomIsLimitedNotReset) {
  FakeClock clock;
  std::string logged;
  LogSetFunction([](const char* t, void* c) { *static_cast<std::string*>(c) += t; }, &logged);
  AsyncResampler r;
  ResamplerConfig c = Config(0, 0, 512, 8, 1);  // maxBlock 1024
  ASSERT_TRUE(r.Init(c));
  Block in(1, 512), out(1, 512);
  double tIn = 0, tOut = 0;
  while (tIn < 20000) {
    if (tIn <= tOut) {
      clock.Set(1000 + static_cast<uint32_t>(tIn));
      r.PushInput(in.In(), 512);
      tIn += 512 * 1000.0 / 10000;
    } else {
      clock.Set(1000 + static_cast<uint32_t>(tOut));
      r.PullOutput(out.Out(), 512);
      tOut += 512 * 1000.0 / 19000;
    }
  }
  LogResetSinks();
  EXPECT_NEAR(r.CurrentRatio(), 1.9, 0.02);
  EXPECT_GT(r.FactorLimitCount(), 0);
  EXPECT_NEAR(r.LastFactor(), 1024.0 / (512 * 1.1), 0.001);  // 512 x f x 1.1 = 1024
  EXPECT_NE(logged.find(" OVERRUN!!!\n"), std::string::npos);
  EXPECT_NE(logged.find("ASYNCRESAMPLER "), std::string::npos);
}

// Rejected rates give factor 0 until both sides have measured rates (here: never, since
// nothing is pulled): such pushes must not pile up in the input history, which would run
// past inBuf after a few of them.
TEST(AsyncResampler, UnconvertiblePushesDoNotGrowTheHistory) {
  FakeClock clock;
  for (int32_t law : {kRatioControlDelay, kRatioControlLevel}) {
    AsyncResampler r;
    ResamplerConfig c = Config(8000, 96000, 256, 4);
    c.ratioControl = law;
    ASSERT_TRUE(r.Init(c));
    ASSERT_EQ(r.CurrentRatio(), 0.0);
    Block in(2, 256, 1000);
    for (int i = 0; i < 50; ++i) {
      r.PushInput(in.In(), 256);
      ASSERT_LE(r.HistoryFill(), AsyncResampler::kHistory + 256) << "law " << law << ", push " << i;
      clock.Advance(30);
    }
  }
}

// A fixed ratio is never limited by the output-room test: blocks of the full maxBlock at
// the largest ratio convert at the ratio.
TEST(AsyncResampler, FixedRatioIsNeverLimited) {
  FakeClock clock;
  AsyncResampler r;
  ResamplerConfig c = Config(6000, 48000, 256, 4, 1);
  c.variableRatio = 0;
  ASSERT_TRUE(r.Init(c));
  Block in(1, 512), out(1, 256);
  for (int i = 0; i < 8; ++i) {
    r.PushInput(in.In(), 512);  // maxBlock: 512 x 8 = 4096 out, beyond the 10 % margin test
    for (int k = 0; k < 16; ++k) r.PullOutput(out.Out(), 256);
  }
  EXPECT_EQ(r.FactorLimitCount(), 0);
  EXPECT_FLOAT_EQ(static_cast<float>(r.LastFactor()), 8.0f);
}
