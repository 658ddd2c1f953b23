// The resampling run: argument checks, output counts and carried time, impulse response,
// flatness, input reach, and agreement of the optimised loops with a plain reading.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "polyphase/PolyphaseTestUtil.h"
#include "polyphase/PolyphaseVariant.h"
#include "polyphase/ReferenceRun.h"

using polyphase_test::MakeEngineState;
using polyphase_test::MakeState;
using polyphase_test::ReferenceRun;
using polyphase_test::StatePtr;

namespace {

constexpr double k48to441 = 44100.0 / 48000.0;
constexpr double k441to48 = 48000.0 / 44100.0;

// A zero-filled input with room for any reach used below on both sides of src.
struct Input {
  explicit Input(std::size_t size, float value = 0.0f) : buf(size + 2 * kMargin, value) {}
  static constexpr std::size_t kMargin = 400;
  float* src() { return buf.data() + kMargin; }
  float& at(std::ptrdiff_t i) { return buf[std::size_t(std::ptrdiff_t(kMargin) + i)]; }
  std::vector<float> buf;
};

struct RunResult {
  int32_t status;
  int32_t count;
  double time;
};

RunResult RunOnce(const ResamplePolyphaseState* s, float* src, int32_t length, float* dst, double factor, double t0,
              float norm = 1.0f) {
  RunResult r{0, -1, t0};
  r.status = ippsResamplePolyphase_32f(s, src, length, dst, factor, norm, &r.time, &r.count);
  return r;
}

// The interpolated table value at position pos (in table entries).
double TableAt(const ResamplePolyphaseState* s, double pos) {
  const int32_t q = int32_t(pos);
  if (q >= s->tableLength) return 0.0;
  const double d = pos - q;
  return (1.0 - d) * s->filter[q] + d * s->filter[q + 1];
}

// Runs body once for every variant this processor supports, then restores the previous one.
template <class Body>
void ForEachVariant(Body body) {
  const PolyphaseVariant before = PolyphaseCurrentVariant();
  for (PolyphaseVariant v : {PolyphaseVariant::Portable, PolyphaseVariant::Avx2Fma}) {
    if (!PolyphaseUseVariant(v)) continue;
    SCOPED_TRACE(testing::Message() << "variant " << int(v));
    body();
  }
  PolyphaseUseVariant(before);
}

}  // namespace

TEST(PolyphaseVariant, SelectionTakesAvx2FmaWhereTheProcessorHasIt) {
  // Every build with GCC or Clang on x86-64 carries the AVX2 loops, the Windows
  // executables included; the test build of the portable loops alone does not.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(VELORAND_POLYPHASE_SCALAR_TESTS)
  const bool processorHasIt = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  const bool processorHasIt = false;
#endif
  const PolyphaseVariant before = PolyphaseCurrentVariant();
  ippsSelectVariant();
  EXPECT_EQ(PolyphaseCurrentVariant(), processorHasIt ? PolyphaseVariant::Avx2Fma : PolyphaseVariant::Portable);
  // The fallback can always be forced, and the variant switched back.
  EXPECT_TRUE(PolyphaseUseVariant(PolyphaseVariant::Portable));
  EXPECT_EQ(PolyphaseCurrentVariant(), PolyphaseVariant::Portable);
  EXPECT_EQ(PolyphaseUseVariant(PolyphaseVariant::Avx2Fma), processorHasIt);
  PolyphaseUseVariant(before);
}

TEST(PolyphaseRun, OutputCountsAndReturnedTimes) {
  StatePtr s = MakeEngineState(15.0f);
  ASSERT_TRUE(s);
  Input in(64);
  std::vector<float> out(200, 0.0f);
  const struct {
    int32_t length;
    double t0, factor;
    int32_t count;
    double time;
  } cases[] = {
      {10, 3.25, 2.0, 20, 13.25},
      {10, 3.25, 8.0, 78, 13.0},
      {1, 5.9, 1.0, 1, 6.9},
  };
  for (const auto& c : cases) {
    const RunResult r = RunOnce(s.get(), in.src(), c.length, out.data(), c.factor, c.t0);
    EXPECT_EQ(r.status, ippStsNoErr);
    EXPECT_EQ(r.count, c.count) << c.factor;
    EXPECT_DOUBLE_EQ(r.time, c.time) << c.factor;
  }
}

TEST(PolyphaseRun, CountMatchesTheInstantsBelowTheEnd) {
  ForEachVariant([] {
  StatePtr s = MakeEngineState(15.0f);
  ASSERT_TRUE(s);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> logFactor(std::log(0.125), std::log(8.0));
  std::uniform_real_distribution<double> start(0.0, 40.0);
  std::uniform_int_distribution<int32_t> len(1, 300);
  Input in(400);
  std::vector<float> out(3000);
  for (int trial = 0; trial < 500; ++trial) {
    const double factor = std::exp(logFactor(rng));
    const double t0 = start(rng);
    const int32_t length = len(rng);
    const RunResult r = RunOnce(s.get(), in.src(), length, out.data(), factor, t0);
    ASSERT_EQ(r.status, ippStsNoErr);
    const double end = double(length + int32_t(t0));
    const double step = 1.0 / factor;
    // Every valid call produces at least one sample; the count is ceil((end − t0)·factor)
    // up to the rounding of the accumulated instants, and the returned time is the first
    // instant at or beyond the end.
    EXPECT_GE(r.count, 1);
    EXPECT_NEAR(double(r.count), std::ceil((end - t0) * factor), 1.0);
    EXPECT_GE(r.time, end);
    EXPECT_LT(r.time - step, end);
    EXPECT_NEAR(r.time, t0 + r.count * step, 1e-9 * r.count);
  }
  });
}

TEST(PolyphaseRun, ImpulseAtFactorOneReproducesTheTable) {
  ForEachVariant([] {
  StatePtr s = MakeEngineState(15.0f);
  ASSERT_TRUE(s);
  const int32_t p = 40;
  Input in(100);
  in.at(p) = 1.0f;
  float out[4];
  // Exact table entries at whole and half sample offsets.
  EXPECT_EQ(RunOnce(s.get(), in.src(), 1, out, 1.0, p).count, 1);
  EXPECT_EQ(out[0], s->filter[0]);
  EXPECT_NEAR(out[0], 0.9500043f, 1e-7);
  RunOnce(s.get(), in.src(), 1, out, 1.0, p + 1.0);
  EXPECT_EQ(out[0], s->filter[128]);
  EXPECT_NEAR(out[0], 0.04657807f, 1e-8);
  RunOnce(s.get(), in.src(), 1, out, 1.0, p + 0.5);
  EXPECT_EQ(out[0], s->filter[64]);
  EXPECT_NEAR(out[0], 0.6241845f, 1e-7);

  // Any offset, before or after the impulse, reads the interpolated table at |offset|·128;
  // beyond the filter's half width the output is 0.
  for (double offset : {0.3, 1.7, 2.7, 4.123, 6.9, 7.45, -0.3, -1.25, -3.55, -6.9, -7.45, 7.6, -7.6, 9.0, -9.0}) {
    RunOnce(s.get(), in.src(), 1, out, 1.0, p + offset);
    EXPECT_NEAR(out[0], TableAt(s.get(), std::fabs(offset) * 128.0), 1e-7) << "offset " << offset;
  }
  });
}

TEST(PolyphaseRun, FactorOneKeepsTheDesignedWidthAndBelowOneStretches) {
  ForEachVariant([] {
  StatePtr s = MakeEngineState(15.0f);
  ASSERT_TRUE(s);
  const int32_t p = 100;
  Input in(200);
  in.at(p) = 1.0f;
  float out[2];
  RunOnce(s.get(), in.src(), 1, out, 1.0, p);
  EXPECT_EQ(out[0], s->filter[0]);
  // At 0.999 the stretched branch scales the centre tap by the factor.
  RunOnce(s.get(), in.src(), 1, out, 0.999, p);
  EXPECT_NEAR(out[0], 0.999 * s->filter[0], 1e-7);
  EXPECT_NE(out[0], s->filter[0]);
  // At 0.5 the impulse 3 samples away sits at table position 3·0.5·128 = 192.
  RunOnce(s.get(), in.src(), 1, out, 0.5, p - 3.0);
  EXPECT_NEAR(out[0], 0.5 * s->filter[192], 1e-8);
  RunOnce(s.get(), in.src(), 1, out, 0.5, p + 3.0);
  EXPECT_NEAR(out[0], 0.5 * s->filter[192], 1e-8);
  });
}

TEST(PolyphaseRun, ConstantInputStaysFlatAtEveryFactor) {
  ForEachVariant([] {
  Input in(1400, 1.0f);
  std::vector<float> out(9000);
  for (float window : {15.0f, 23.0f, 31.0f}) {
    StatePtr s = MakeEngineState(window);
    ASSERT_TRUE(s);
    for (double factor : {0.125, 0.5, 0.75, k48to441, 1.0, k441to48, 1.3, 2.0, 8.0}) {
      const RunResult r = RunOnce(s.get(), in.src(), 1000, out.data(), factor, 0.37);
      ASSERT_EQ(r.status, ippStsNoErr);
      double worst = 0.0;
      for (int32_t i = 0; i < r.count; ++i) worst = std::fmax(worst, std::fabs(out[std::size_t(i)] - 1.0));
      EXPECT_LT(worst, 1e-4) << "window " << window << " factor " << factor;
    }
  }
  });
}

TEST(PolyphaseRun, ReadsNothingBeyondItsStatedReach) {
  ForEachVariant([] {
  // Samples outside the reach are NaN; a single read of one of them poisons the output.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    float window;
    int32_t left, right;  // reach at factors of 1 and above
    int32_t left8, right8;  // reach at factor 0.125, integer instant
  } cases[] = {{15.0f, 7, 8, 60, 61}, {23.0f, 11, 12, 92, 93}, {31.0f, 15, 16, 124, 125}};
  for (const auto& c : cases) {
    StatePtr s = MakeEngineState(c.window);
    ASSERT_TRUE(s);
    const int32_t p = 150;
    float out[4];
    for (double frac : {0.0, 0.25, 0.5, 0.999999}) {
      for (double factor : {1.0, k441to48, 3.7}) {
        Input in(300, nan);
        for (int32_t k = -c.left; k <= c.right; ++k) in.at(p + k) = 0.5f;
        RunOnce(s.get(), in.src(), 1, out, factor, p + frac);
        EXPECT_TRUE(std::isfinite(out[0])) << c.window << " frac " << frac << " factor " << factor;
        EXPECT_NEAR(out[0], 0.5f, 1e-4);
      }
    }
    // Below factor 1 the reach is the same whatever the instant's fraction.
    for (double frac : {0.0, 0.5, 0.999}) {
      Input in(300, nan);
      for (int32_t k = -c.left8; k <= c.right8; ++k) in.at(p + k) = 0.5f;
      RunOnce(s.get(), in.src(), 1, out, 0.125, p + frac);
      EXPECT_TRUE(std::isfinite(out[0])) << c.window << " frac " << frac;
      EXPECT_NEAR(out[0], 0.5f, 1e-4);
    }
  }
  });
}

TEST(PolyphaseRun, ArgumentChecksInOrderWriteNothing) {
  StatePtr s = MakeEngineState(15.0f);
  ASSERT_TRUE(s);
  Input in(64);
  float dst[4] = {7.0f, 7.0f, 7.0f, 7.0f};
  double t = 10.5;
  int32_t n = -99;
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // A missing pointer wins over a bad factor or length.
  EXPECT_EQ(ippsResamplePolyphase_32f(nullptr, in.src(), 0, dst, 0.0, 1.0f, &t, &n), ippStsNullPtrErr);
  EXPECT_EQ(ippsResamplePolyphase_32f(s.get(), nullptr, 0, dst, 0.0, 1.0f, &t, &n), ippStsNullPtrErr);
  EXPECT_EQ(ippsResamplePolyphase_32f(s.get(), in.src(), 0, nullptr, 0.0, 1.0f, &t, &n), ippStsNullPtrErr);
  EXPECT_EQ(ippsResamplePolyphase_32f(s.get(), in.src(), 0, dst, 0.0, 1.0f, nullptr, &n), ippStsNullPtrErr);
  EXPECT_EQ(ippsResamplePolyphase_32f(s.get(), in.src(), 0, dst, 1.0, 1.0f, &t, nullptr), ippStsNullPtrErr);
  for (double factor : {0.0, -1.0, nan, inf, 1e300})
    EXPECT_EQ(ippsResamplePolyphase_32f(s.get(), in.src(), 5, dst, factor, 1.0f, &t, &n), ippStsSizeErr) << factor;
  for (int32_t length : {0, -5})
    EXPECT_EQ(ippsResamplePolyphase_32f(s.get(), in.src(), length, dst, 1.0, 1.0f, &t, &n), ippStsSizeErr);
  // Times that would index outside the table or the input.
  for (double bad : {-0.5, -1e-9, nan, 2147483648.0, inf}) {
    double tb = bad;
    EXPECT_EQ(ippsResamplePolyphase_32f(s.get(), in.src(), 5, dst, 1.0, 1.0f, &tb, &n), ippStsSizeErr) << bad;
    EXPECT_TRUE(std::isnan(bad) ? std::isnan(tb) : tb == bad);
  }
  EXPECT_EQ(t, 10.5);
  EXPECT_EQ(n, -99);
  for (float v : dst) EXPECT_EQ(v, 7.0f);
}

TEST(PolyphaseRun, OptimisedLoopsAgreeWithPlainReading) {
  ForEachVariant([] {
  const struct {
    float window;
    int32_t phases;
    float rollOff, alpha;
  } designs[] = {
      {15.0f, 128, 0.95f, 8.0f}, {23.0f, 128, 0.95f, 8.0f}, {31.0f, 128, 0.95f, 8.0f},
      {5.3f, 7, 0.8f, 3.0f},     // three taps a side: only the one-tap remainder loops
      {9.0f, 16, 0.9f, 6.0f},    // five taps a side: one unrolled pass and a remainder
      {2.0f, 2, 1.0f, 1.0f},     {1.0f, 128, 0.95f, 8.0f},  // a side that can have no taps
  };
  const double fixedFactors[] = {1.0, 0.999, k441to48, k48to441, 2.0, 0.5, 0.125, 8.0, 0.1, 10.0};
  std::mt19937 rng(12345);
  std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
  std::uniform_real_distribution<double> logFactor(std::log(0.1), std::log(10.0));
  std::uniform_real_distribution<double> start(0.0, 50.0);
  std::uniform_int_distribution<int32_t> len(1, 300);
  const float norms[] = {1.0f, 0.5f, 0.7f};

  int compared = 0;
  for (const auto& dsg : designs) {
    StatePtr s = MakeState(dsg.window, dsg.phases, dsg.rollOff, dsg.alpha);
    ASSERT_TRUE(s);
    for (int trial = 0; trial < 60; ++trial) {
      const double factor = trial < 10 ? fixedFactors[trial] : std::exp(logFactor(rng));
      const double t0 = start(rng);
      const int32_t length = len(rng);
      const float norm = norms[trial % 3];
      // Enough input on both sides for the stretched filter at this factor.
      const auto reach = std::size_t(double(s->tableLength) / (std::fmin(factor, 1.0) * s->phaseCount)) + 4;
      std::vector<float> buf(2 * reach + 400);
      for (float& v : buf) v = sample(rng);
      const float* src = buf.data() + reach;
      const auto room = std::size_t(std::ceil((length + 1) * factor)) + 4;
      std::vector<float> got(room, 0.0f), want(room, 0.0f);
      double tGot = t0, tWant = t0;
      int32_t nGot = 0;
      ASSERT_EQ(ippsResamplePolyphase_32f(s.get(), src, length, got.data(), factor, norm, &tGot, &nGot), 0);
      const int32_t nWant = ReferenceRun(s.get(), src, length, want.data(), factor, norm, &tWant);
      ASSERT_EQ(nGot, nWant) << "factor " << factor;
      ASSERT_EQ(tGot, tWant);
      for (int32_t i = 0; i < nGot; ++i) {
        ASSERT_NEAR(got[std::size_t(i)], want[std::size_t(i)], 2.5e-7)
            << "window " << dsg.window << " phases " << dsg.phases << " factor " << factor << " t0 " << t0
            << " output " << i;
      }
      compared += nGot;
    }
  }
  EXPECT_GT(compared, 10000);
  });
}

TEST(PolyphaseRun, BlocksWithCarriedTimeMatchOneLongRun) {
  ForEachVariant([] {
  // The engine's way of feeding the kernel: blocks appended behind 128 samples of history,
  // the time carried from call to call, the consumed samples moved out with ippsMove_32f.
  StatePtr s = MakeEngineState(23.0f);
  ASSERT_TRUE(s);
  std::mt19937 rng(99);
  std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
  const int32_t total = 20000;
  std::vector<float> signal(std::size_t(total) + 400, 0.0f);
  for (int32_t i = 128; i < total; ++i) signal[std::size_t(i)] = sample(rng);
  for (double factor : {k441to48, k48to441, 0.5, 2.0}) {
    std::vector<float> buf(128 + 512 + 400, 0.0f), streamed, block(2048);
    int32_t fill = 128;
    double time = 128.0;
    int32_t fed = 128;
    while (fed + 512 <= total) {
      std::copy(signal.begin() + fed, signal.begin() + fed + 512, buf.begin() + fill);
      fill += 512;
      fed += 512;
      const auto length = int32_t((fill - 128) - time);
      double t = time;
      int32_t n = 0;
      ASSERT_EQ(ippsResamplePolyphase_32f(s.get(), buf.data(), length, block.data(), factor, 1.0f, &t, &n), 0);
      streamed.insert(streamed.end(), block.begin(), block.begin() + n);
      const int32_t k = int32_t(t);
      ASSERT_EQ(ippsMove_32f(buf.data() + (k - 128), buf.data(), fill - (k - 128)), 0);
      fill -= k - 128;
      time = t - (k - 128);
    }
    // One run over the same samples, up to where the streamed runs stopped.
    std::vector<float> whole(streamed.size() + 16);
    double t = 128.0;
    int32_t n = 0;
    const auto length = int32_t(double(fed - 128) - 128.0);
    ASSERT_EQ(ippsResamplePolyphase_32f(s.get(), signal.data(), length, whole.data(), factor, 1.0f, &t, &n), 0);
    // The streamed runs stop up to one input sample short of the long run's end.
    ASSERT_GE(std::size_t(n), streamed.size());
    ASSERT_LE(double(n) - double(streamed.size()), factor + 1.0) << factor;
    const std::size_t common = std::min(std::size_t(n), streamed.size());
    // The instants drift apart only by the rounding of their accumulation.
    for (std::size_t i = 0; i < common; ++i) ASSERT_NEAR(streamed[i], whole[i], 1e-5) << factor << " at " << i;
  }
  });
}

TEST(PolyphaseRun, PhasesAtTheNudgeAndTableEdgeAgreeWithPlainReading) {
  ForEachVariant([] {
  // Instants whose position in the table lies on, or a hair below, an integer: there the
  // 0.00001 nudge moves a side's phase, and at the table's last entry a tap appears or
  // disappears. Random instants almost never land there, so they are placed by hand.
  for (float window : {15.0f, 23.0f, 31.0f}) {
    StatePtr s = MakeEngineState(window);
    ASSERT_TRUE(s);
    const int32_t n = s->phaseCount;
    const int32_t leftEdge = s->tableLength % n;         // left side loses its last tap here
    const int32_t rightEdge = (n - leftEdge) % n;        // right side's last tap sits on L
    const double hair = 5e-6;
    const double positions[] = {double(leftEdge) - hair, double(leftEdge), double(leftEdge) + hair,
                                double(rightEdge) - hair, double(rightEdge), double(rightEdge) + hair,
                                double(n - leftEdge) + hair, double(n) - hair, 0.0, hair, 64.0, 64.0 - hair};
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> buf(200);
    for (float& v : buf) v = sample(rng);
    for (double pos : positions) {
      for (double factor : {1.0, 1.5, 2.0}) {
        const double t0 = 60.0 + pos / n;
        float got[4], want[4];
        double tg = t0, tw = t0;
        int32_t ng = 0;
        ASSERT_EQ(ippsResamplePolyphase_32f(s.get(), buf.data(), 1, got, factor, 1.0f, &tg, &ng), 0);
        const int32_t nw = ReferenceRun(s.get(), buf.data(), 1, want, factor, 1.0f, &tw);
        ASSERT_EQ(ng, nw);
        for (int32_t i = 0; i < ng; ++i)
          EXPECT_NEAR(got[i], want[i], 2.5e-7) << "window " << window << " position " << pos << " factor " << factor;
      }
    }
  }
  });
}

TEST(PolyphaseRun, StretchedTapsEndingExactlyAtTheTableLimitAgreeWithPlainReading) {
  // Below factor 1 a side's last tap is the one whose table position stays below
  // L − 0.00001. Instants are placed so that a tap lands on that limit, a hair below or a
  // hair above it, on either side.
  ForEachVariant([] {
    StatePtr s = MakeEngineState(15.0f);
    ASSERT_TRUE(s);
    const double limit = s->tableLength - 0.00001;
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> buf(400);
    for (float& v : buf) v = sample(rng);
    for (double factor : {0.5, 0.75, 0.3}) {
      const double spacing = factor * s->phaseCount;
      const int m = int(limit / spacing);
      const double leftFrac = (limit - m * spacing) / spacing;  // left: u0 = frac·spacing
      const double rightFrac = 1.0 - leftFrac;                 // right: u0 = (1 − frac)·spacing
      for (double base : {leftFrac, rightFrac}) {
        for (double nudge : {0.0, 1e-12, -1e-12, 1e-9, -1e-9, 1e-8, -1e-8, 1e-7, -1e-7}) {
          const double t0 = 150.0 + base + nudge;
          float got[4], want[4];
          double tg = t0, tw = t0;
          int32_t ng = 0;
          ASSERT_EQ(ippsResamplePolyphase_32f(s.get(), buf.data(), 1, got, factor, 1.0f, &tg, &ng), 0);
          const int32_t nw = ReferenceRun(s.get(), buf.data(), 1, want, factor, 1.0f, &tw);
          ASSERT_EQ(ng, nw);
          for (int32_t i = 0; i < ng; ++i)
            EXPECT_NEAR(got[i], want[i], 2.5e-7) << "factor " << factor << " t0 " << t0;
        }
      }
    }
  });
}

TEST(PolyphaseRun, SeveralChannelsAtOnceAgreeWithSingleChannelRunsAndPlainReading) {
  ForEachVariant([] {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    // The engine's windows, and odd tap counts a side (3 and 5) for the remainder loops.
    const struct {
      float window;
      int32_t phases;
      float rollOff, alpha;
    } designs[] = {{15.0f, 128, 0.95f, 8.0f}, {31.0f, 128, 0.95f, 8.0f}, {5.3f, 7, 0.8f, 3.0f}, {9.0f, 16, 0.9f, 6.0f}};
    for (const auto& dsg : designs) {
      StatePtr s = MakeState(dsg.window, dsg.phases, dsg.rollOff, dsg.alpha);
      ASSERT_TRUE(s);
      for (double factor : {0.125, 44100.0 / 192000.0, 0.5, k48to441, 0.999, 1.0, k441to48, 2.0, 8.0}) {
        const int32_t channels = 3;
        std::vector<Input> in;
        for (int32_t c = 0; c < channels; ++c) {
          in.emplace_back(800);
          for (float& v : in.back().buf) v = sample(rng);
        }
        // Several calls with the time carried, from instants of every fraction.
        double t = 130.37, tSingle = t;
        for (int32_t call = 0; call < 4; ++call) {
          const int32_t length = 97 + 50 * call;
          std::vector<std::vector<float>> out(channels, std::vector<float>(2100, -9.0f)), one = out, plain = out;
          const float* srcs[channels];
          float* dsts[channels];
          for (int32_t c = 0; c < channels; ++c) {
            srcs[c] = in[c].src() + 100 * call;
            dsts[c] = out[c].data();
          }
          int32_t n = -1;
          ASSERT_EQ(ippsResamplePolyphaseChannels_32f(s.get(), srcs, channels, length, dsts, factor, 1.0f, &t, &n), 0);
          for (int32_t c = 0; c < channels; ++c) {
            double tc = tSingle, tp = tSingle;
            int32_t nc = -1;
            ASSERT_EQ(ippsResamplePolyphase_32f(s.get(), srcs[c], length, one[c].data(), factor, 1.0f, &tc, &nc), 0);
            ASSERT_EQ(n, nc);
            ASSERT_EQ(t, tc);
            ASSERT_EQ(ReferenceRun(s.get(), srcs[c], length, plain[c].data(), factor, 1.0f, &tp), n);
            EXPECT_EQ(out[c][std::size_t(n)], -9.0f) << "wrote past the outputs";
            for (int32_t i = 0; i < n; ++i) {
              const std::size_t k = std::size_t(i);
              SCOPED_TRACE(testing::Message() << "window " << dsg.window << " factor " << factor << " channel " << c
                                              << " output " << i);
              // Below 1 the channels share the single run's very sums; at 1 and above
              // they are associated otherwise, within the same bound of the plain reading.
              if (factor < 1.0) {
                ASSERT_EQ(out[c][k], one[c][k]);
              }
              ASSERT_NEAR(out[c][k], plain[c][k], 2.5e-7);
            }
          }
          tSingle = t;
          t -= 100.0;
          tSingle -= 100.0;
        }
      }
    }
  });
  // Argument checks of the channel arrays.
  StatePtr s = MakeEngineState(15.0f);
  Input in(300);
  std::vector<float> out(600);
  const float* srcs[2] = {in.src(), nullptr};
  float* dsts[2] = {out.data(), out.data() + 300};
  double t = 10.0;
  int32_t n = -1;
  EXPECT_EQ(ippsResamplePolyphaseChannels_32f(s.get(), srcs, 2, 100, dsts, 0.5, 1.0f, &t, &n), ippStsNullPtrErr);
  EXPECT_EQ(ippsResamplePolyphaseChannels_32f(s.get(), srcs, 0, 100, dsts, 0.5, 1.0f, &t, &n), ippStsSizeErr);
  EXPECT_EQ(n, -1);
  EXPECT_EQ(t, 10.0);
}

TEST(PolyphaseRun, LongStretchedCallsAgreeWithPlainReading) {
  // Over many instants the accumulated time drifts from whole steps after the first one
  // by its rounding; the run must still read every instant where the plain reading does,
  // for one channel and for several.
  ForEachVariant([] {
    StatePtr s = MakeEngineState(15.0f);
    ASSERT_TRUE(s);
    const int32_t length = 200000;
    std::mt19937 rng(21);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> a(std::size_t(length) + 1000), b(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = sample(rng), b[i] = sample(rng);
    for (double factor : {k48to441, 44100.0 / 192000.0}) {
      const double t0 = 300.3717;
      const auto room = std::size_t(double(length) * factor) + 8;
      std::vector<float> want(room), one(room), outA(room), outB(room);
      double tw = t0, to = t0, tc = t0;
      int32_t no = 0, nc = 0;
      const int32_t nw = ReferenceRun(s.get(), a.data(), length, want.data(), factor, 1.0f, &tw);
      ASSERT_EQ(ippsResamplePolyphase_32f(s.get(), a.data(), length, one.data(), factor, 1.0f, &to, &no), 0);
      const float* srcs[2] = {a.data(), b.data()};
      float* dsts[2] = {outA.data(), outB.data()};
      ASSERT_EQ(ippsResamplePolyphaseChannels_32f(s.get(), srcs, 2, length, dsts, factor, 1.0f, &tc, &nc), 0);
      ASSERT_EQ(no, nw);
      ASSERT_EQ(nc, nw);
      for (int32_t i = 0; i < nw; ++i) {
        ASSERT_NEAR(one[std::size_t(i)], want[std::size_t(i)], 2.5e-7) << "factor " << factor << " output " << i;
        ASSERT_EQ(outA[std::size_t(i)], one[std::size_t(i)]) << "factor " << factor << " output " << i;
      }
    }
  });
}
