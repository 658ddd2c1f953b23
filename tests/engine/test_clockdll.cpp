// The fine clock seam, the per-side clock loop and the delay loop's filter.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "FakeClock.h"
#include "engine/ClockDll.h"
#include "engine/MmClock.h"

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kE = 2.71828182845904523536;
std::atomic<int64_t> g_ns{0};
int64_t ReadNs() { return g_ns.load(); }
// Uniform in [-amplitude, amplitude) from a 64-bit LCG state.
double UniformJitter(uint64_t* x, double amplitude) {
  *x = *x * 6364136223846793005ull + 1442695040888963407ull;
  return (static_cast<double>(*x >> 11) * 0x1p-53 * 2.0 - 1.0) * amplitude;
}
}  // namespace

TEST(FineClock, OneInstalledClockDrivesBothReadings) {
  {
    FakeClock ms(5000);  // a millisecond fake drives the fine reading too
    EXPECT_EQ(FineTimeNs(), int64_t{5000} * 1000000);
    ms.Advance(7);
    EXPECT_EQ(FineTimeNs(), int64_t{5007} * 1000000);
    g_ns.store(int64_t{9} * 1000000000 + 999999);  // a fine clock takes precedence
    EXPECT_EQ(SetFineClock(&ReadNs), nullptr);
    EXPECT_EQ(FineTimeNs(), g_ns.load());
    EXPECT_EQ(MmTimeMs(), 9000u);
    EXPECT_EQ(SetFineClock(nullptr), &ReadNs);
    EXPECT_EQ(MmTimeMs(), 5007u);
  }
  const int64_t a = FineTimeNs(), b = FineTimeNs();  // platform clock again: monotonic
  EXPECT_GE(b, a);
  EXPECT_GT(a, int64_t{0});
}

// A device 300 ppm fast with +-2 ms callback jitter: the loop's rate comes within a few ppm
// and its smoothed times stay within a small share of the jitter of the true line.
TEST(ClockDll, LocksOntoTheTrueRateThroughJitter) {
  ClockDll dll;
  dll.Reset(48000.0);
  const double rate = 48000.0 * (1.0 + 300e-6);
  uint64_t x = 12345;
  double worstLineErrNs = 0.0;
  for (int64_t block = 1; block <= 94 * 240; ++block) {  // four minutes of 512-frame blocks
    const double jitterNs = UniformJitter(&x, 2e6);
    const double trueNs = 1e9 + block * 512 * 1e9 / rate;
    ASSERT_TRUE(dll.Update(block * 512, static_cast<int64_t>(trueNs + jitterNs)));
    if (block > 94 * 120) worstLineErrNs = std::max(worstLineErrNs, std::fabs(dll.TimeNs() - trueNs));
  }
  EXPECT_NEAR(dll.Rate() / rate - 1.0, 0.0, 3e-6);
  EXPECT_LT(worstLineErrNs, 200e3);                   // 0.2 ms against 2 ms of jitter
  EXPECT_NEAR(dll.JitterNs(), 2e6 / std::sqrt(3.0), 0.15e6);  // rms of a uniform +-2 ms
  EXPECT_LT(dll.BandwidthHz(), 0.02);
}

// A stall whose blocks are never delivered moves the device's time: the blocks after it
// are outliers that keep to one side, and after three of them (over 25 ms) the line steps to them with
// its period unchanged (no restart, nothing steered). A jump beyond two seconds (a clock
// that was reset) is a lost clock at once; the loop restarts there with its period.
TEST(ClockDll, StallIsAStepAndAJumpedClockIsLost) {
  for (double jumpSec : {0.5, 1.5, 3.0}) {
    ClockDll dll;
    dll.Reset(44100.0);
    int64_t frames = 0;
    double t = 1e9;
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(dll.Update(frames += 441, static_cast<int64_t>(t += 1e7)));
    t += jumpSec * 1e9;
    int lostAt = -1, steppedAt = -1;
    for (int i = 0; i < 300; ++i) {
      if (!dll.Update(frames += 441, static_cast<int64_t>(t += 1e7)) && lostAt < 0) lostAt = i;
      if (dll.Steps() > 0 && steppedAt < 0) steppedAt = i;
      if (i < 2) {
        EXPECT_EQ(dll.OffLine(), jumpSec < 2.0);
      }
    }
    SCOPED_TRACE(jumpSec);
    if (jumpSec < 2.0) {
      EXPECT_EQ(lostAt, -1);
      // Three outliers spanning at least 25 ms: the fourth 10 ms block.
      EXPECT_EQ(steppedAt, 3);
      EXPECT_EQ(dll.Steps(), 1);
      EXPECT_EQ(dll.Restarts(), 0);
      EXPECT_NEAR(dll.Rate(), 44100.0, 0.01);  // outliers do not steer the period
    } else {
      EXPECT_EQ(lostAt, 0);
      EXPECT_EQ(dll.Restarts(), 1);
      EXPECT_NEAR(dll.Rate(), 44100.0, 4.41);
    }
    EXPECT_FALSE(dll.OffLine());
    EXPECT_NEAR(dll.TimeNs(), t, 1e3);
  }
}

// Callbacks on a 10 ms timer tick for 512-frame blocks at 48 kHz (10.67 ms): intervals of
// 10 ms with a 20 ms one every 15 blocks, errors a sawtooth of a whole tick. The start
// prefills eight blocks at once. Neither biases the rate beyond the band the clock may
// have, and the rate is found within a few ppm; no block of it counts as a step.
TEST(ClockDll, TimerTickCallbacksAndPrefillBurstDoNotBiasTheRate) {
  ClockDll dll;
  dll.Reset(48000.0);
  const double rate = 48000.0 * (1.0 - 200e-6);
  int64_t frames = 0;
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(dll.Update(frames += 512, 1000000000 + i * 20000));
  double worstPpm = 0.0;
  for (int64_t block = 1; block <= 94 * 120; ++block) {
    const double ideal = 1e9 + block * 512 * 1e9 / rate;
    const double tick = std::ceil(ideal / 1e7) * 1e7;
    ASSERT_TRUE(dll.Update(frames += 512, static_cast<int64_t>(tick)));
    worstPpm = std::max(worstPpm, std::fabs(dll.Rate() / rate - 1.0) * 1e6);
  }
  EXPECT_LE(worstPpm, 1000.0 + 200.0 + 1.0);  // within the nominal band throughout
  EXPECT_NEAR(dll.Rate() / rate - 1.0, 0.0, 5e-6);
  EXPECT_EQ(dll.Steps(), 0);
  EXPECT_EQ(dll.Restarts(), 0);
}

// Jitter of several blocks (+-10 ms on 2.67 ms blocks at 192 kHz), each callback held back
// behind a late one: the errors bunch and keep to one side for many blocks, so that the
// means of a dozen of them scatter far more than the per-block jitter implies. None of it is
// a step of the device's time, and the rate comes within a few ppm.
TEST(ClockDll, BunchedJitterIsNoStep) {
  ClockDll dll;
  dll.Reset(192000.0);
  const double rate = 192000.0 * (1.0 + 500e-6);
  uint64_t x = 99;
  double last = 0.0;
  for (int64_t block = 1; block <= 375 * 180; ++block) {  // three minutes
    const double jitterNs = UniformJitter(&x, 10e6);
    last = std::max(last, 1e9 + block * 512 * 1e9 / rate + jitterNs);
    ASSERT_TRUE(dll.Update(block * 512, static_cast<int64_t>(last)));
  }
  EXPECT_EQ(dll.Steps(), 0);
  EXPECT_NEAR(dll.Rate() / rate - 1.0, 0.0, 5e-6);
}

// Coarse-tick callbacks of 1024-frame blocks as a Wine playback stream gives them: the
// start drains a prefill (blocks 4 % slow for 1.5 s), and at 6 s a stall loses 15 ms, less
// than the outlier gate. Neither is a rate: the period stays within 150 ppm throughout
// (a loop that fitted the start, or tracked the small step, went to its 1000 ppm bound),
// and the stall counts as a step.
TEST(ClockDll, StartUpDrainAndSmallStallAreNotRates) {
  ClockDll dll;
  dll.Reset(44100.0);
  int64_t frames = 0;
  double worstPpm = 0.0, offsetNs = 0.0;
  for (int64_t block = 1; block <= 43 * 30; ++block) {
    double ideal = block * 1024 * 1e9 / 44100.0;
    ideal = ideal < 1.5e9 ? ideal * 1.04 : ideal + 0.06e9;
    if (ideal > 6e9) offsetNs = 15e6;
    const double tick = std::ceil((1e9 + ideal + offsetNs) / 1e7) * 1e7;
    ASSERT_TRUE(dll.Update(frames += 1024, static_cast<int64_t>(tick)));
    worstPpm = std::max(worstPpm, std::fabs(dll.Rate() / 44100.0 - 1.0) * 1e6);
  }
  EXPECT_LE(worstPpm, 150.0);
  EXPECT_GE(dll.Steps(), 1);
  EXPECT_EQ(dll.Restarts(), 0);
}

// Blocks shorter than the reading's grain make one reading at the mean of their offsets
// from the line, carried to the newest block; blocks of the grain or more (or any block
// while the period is unknown) are readings as they came.
TEST(BlockGather, ShortBlocksAreAveragedLongOnesPassThrough) {
  const double period = 1e9 / 48000.0;
  const double offsetsNs[4] = {1e6, -1e6, 2e6, 0.0};
  BlockGather g;
  g.Reset(480);
  int64_t reading = 0;
  for (int round = 0; round < 3; ++round) {
    for (int k = 0; k < 4; ++k) {
      const int64_t frames = (round * 4 + k + 1) * 128;
      const bool done = g.Add(frames, static_cast<int64_t>(1e9 + frames * period + offsetsNs[k]), period, &reading);
      ASSERT_EQ(done, k == 3) << round << " " << k;
    }
    EXPECT_NEAR(reading, 1e9 + (round + 1) * 512 * period + 0.5e6, 2.0);
    EXPECT_EQ(g.SpanFrames(), 512);
  }
  g.Reset(480);
  for (int64_t k = 1; k <= 3; ++k) {
    ASSERT_TRUE(g.Add(k * 512, 1000000000 + k * 10666667 + 333, period, &reading));
    EXPECT_EQ(reading, 1000000000 + k * 10666667 + 333);
    ASSERT_TRUE(g.Add(k * 512 + 1, 2, 0.0, &reading));  // no period yet: every block
    EXPECT_EQ(reading, 2);
  }
}

// Open loop, exact arithmetic: a held error e gives u = -(2 w e + w^2 e t); an error ramp
// k t gives u = -(2 w k t + w^2 k t^2 / 2) (the integral summed per step). The output bound
// holds and the integral does not wind up while the output sits at it.
TEST(DelayLoopFilter, StepAndRampResponses) {
  const double bw = 0.05, w = 2 * kPi * bw, dt = 0.01;
  DelayLoopFilter f;
  f.Reset();
  for (int i = 1; i <= 1000; ++i) {
    const double u = f.Step(1e-4, dt, bw, 1.0);
    ASSERT_NEAR(u, -(2 * w * 1e-4 + w * w * 1e-4 * i * dt), 1e-15) << i;
  }
  f.Reset();
  double sum = 0.0;
  for (int i = 1; i <= 1000; ++i) {
    const double e = 1e-4 * i * dt;
    sum += e * dt;
    ASSERT_NEAR(f.Step(e, dt, bw, 1.0), -(2 * w * e + w * w * sum), 1e-15) << i;
  }
  f.Reset();
  for (int i = 0; i < 100000; ++i) EXPECT_GE(f.Step(-1.0, dt, bw, 0.002), -0.002 - 1e-18);
  EXPECT_DOUBLE_EQ(f.Output(), 0.002);
  const double wound = f.Integral();
  f.Step(-1.0, dt, bw, 0.002);
  EXPECT_EQ(f.Integral(), wound);  // at the bound: no further integration outward
}

// Closed loop (d delay / dt = u + offset): a step of the clock offset is removed with no
// lasting delay error, and a ramp (drifting clock) leaves the known error ramp / w^2.
TEST(DelayLoopFilter, ClosedLoopRemovesStepAndFollowsRamp) {
  const double bw = 0.1, w = 2 * kPi * bw, dt = 0.01;
  for (bool ramp : {false, true}) {
    DelayLoopFilter f;
    f.Reset();
    double delay = 0.0, peak = 0.0;
    const double slope = 1e-6;  // offset change per second
    for (int i = 0; i < 20000; ++i) {
      const double t = i * dt;
      const double offset = ramp ? slope * t : 100e-6;
      delay += (f.Output() + offset) * dt;
      f.Step(delay, dt, bw, 0.002);
      peak = std::max(peak, std::fabs(delay));
    }
    if (!ramp) {
      EXPECT_NEAR(delay, 0.0, 1e-9);
      EXPECT_NEAR(peak, 100e-6 / (w * kE), 5e-6);  // critically damped: peak at t = 1 / w
    } else {
      EXPECT_NEAR(delay, slope / (w * w), 0.02 * slope / (w * w));
    }
  }
}
