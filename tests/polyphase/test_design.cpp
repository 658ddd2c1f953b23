// Filter-bank creation: the designed tables against known values, the record and its
// block, argument checks in their order, and release.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "polyphase/PolyphaseTestUtil.h"

using polyphase_test::MakeEngineState;
using polyphase_test::MakeState;
using polyphase_test::StatePtr;

namespace {

// Entry 0 plus twice the entries at multiples of the phase count.
double ZeroPhaseSum(const ResamplePolyphaseState* s) {
  double sum = s->filter[0];
  for (int32_t i = s->phaseCount; i < s->tableLength; i += s->phaseCount) sum += 2.0 * s->filter[i];
  return sum;
}

}  // namespace

TEST(PolyphaseDesign, SmallestDesignNeedsNoNormalisation) {
  StatePtr s = MakeState(2.0f, 2, 1.0f, 1.0f);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->phaseCount, 2);
  EXPECT_EQ(s->tableLength, 3);
  EXPECT_EQ(s->gain, 1.0f);
  // g is exactly 1 here: h[2] = sin(π)/π is the only off-centre multiple of the phase
  // count, and the centre is rollOff = 1, so the table is the windowed sinc itself.
  EXPECT_EQ(s->filter[0], 1.0f);
  EXPECT_NEAR(s->filter[1], 0.6016268f, 1e-7);
  EXPECT_GT(s->filter[2], 2.9e-17f);
  EXPECT_LT(s->filter[2], 3.2e-17f);
  EXPECT_EQ(s->filter[3], s->filter[2]);
}

TEST(PolyphaseDesign, HalfBandDesignMatchesKnownTable) {
  // Exact enough to catch a wrong Bessel series, a wrong window argument or a wrong
  // normalisation (g ≈ 1.1071068 here).
  StatePtr s = MakeState(4.0f, 4, 0.5f, 4.0f);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->tableLength, 9);
  const float expected[] = {0.5535534f,  0.5250274f,  0.4467438f,  0.3379698f,  0.2232233f,
                            0.1242821f,  0.05412054f, 0.01487461f};
  for (int i = 0; i < 8; ++i) EXPECT_NEAR(s->filter[i], expected[i], 1e-7) << "entry " << i;
  EXPECT_LT(std::fabs(s->filter[8]), 1e-17f);
  EXPECT_NE(s->filter[8], 0.0f);
  EXPECT_EQ(s->filter[9], s->filter[8]);
  EXPECT_NEAR(ZeroPhaseSum(s.get()), 1.0, 1e-7);
}

TEST(PolyphaseDesign, EngineWindowFifteenTable) {
  StatePtr s = MakeEngineState(15.0f);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->phaseCount, 128);
  EXPECT_EQ(s->tableLength, 961);
  EXPECT_NEAR(s->filter[0], 0.9500043f, 1e-7);
  EXPECT_NEAR(s->filter[64], 0.6241845f, 1e-7);
  EXPECT_NEAR(s->filter[128], 0.04657807f, 1e-8);
  EXPECT_NEAR(s->filter[960], -3.798647e-05f, 1e-11);
  EXPECT_EQ(s->filter[961], s->filter[960]);
  EXPECT_NEAR(ZeroPhaseSum(s.get()), 1.0, 2e-7);
}

TEST(PolyphaseDesign, EngineTableSizesAndUnitZeroPhase) {
  const struct {
    float window;
    int32_t length;
  } cases[] = {{15.0f, 961}, {23.0f, 1473}, {31.0f, 1985}};
  for (const auto& c : cases) {
    StatePtr s = MakeEngineState(c.window);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->tableLength, c.length) << c.window;
    EXPECT_NEAR(ZeroPhaseSum(s.get()), 1.0, 2e-7) << c.window;
    // The prototype is a low-pass with its peak at the centre and a tail that has been
    // windowed down to the last entry's 1 / I0(8) weight.
    for (int32_t i = 1; i < s->tableLength; ++i) ASSERT_LT(s->filter[i], s->filter[0]) << i;
    EXPECT_LT(std::fabs(s->filter[s->tableLength - 1]), 1e-4f) << c.window;
  }
}

TEST(PolyphaseDesign, BlockIsAlignedAndHoldsTheTableBehindTheRecord) {
  for (float window : {2.0f, 15.0f, 23.0f, 31.0f, 5.3f}) {
    StatePtr s = MakeState(window, window == 5.3f ? 7 : 128, 0.95f, 8.0f);
    ASSERT_TRUE(s);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(s.get()) % 32, 0u);
    EXPECT_EQ(reinterpret_cast<const void*>(s->filter), reinterpret_cast<const void*>(s.get() + 1));
  }
}

TEST(PolyphaseDesign, HintIsRecordedAndChangesNothingElse) {
  StatePtr fast = MakeEngineState(23.0f);
  StatePtr accurate = MakeState(23.0f, 128, 0.95f, 8.0f, 2);
  StatePtr other = MakeState(23.0f, 128, 0.95f, 8.0f, 0);
  ASSERT_TRUE(fast && accurate && other);
  EXPECT_EQ(fast->hintFlags, 2u);
  EXPECT_EQ(accurate->hintFlags, 1u);
  EXPECT_EQ(other->hintFlags, 2u);
  const std::size_t bytes = (std::size_t(fast->tableLength) + 1) * sizeof(float);
  EXPECT_EQ(std::memcmp(fast->filter, accurate->filter, bytes), 0);

  // 100 samples of lead-in cover the stretched filter's reach at factor 0.3.
  std::vector<float> in(700);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = float(std::sin(0.37 * double(i)) * 0.8);
  for (double factor : {0.3, 1.0, 1.0884353741496598}) {
    std::vector<float> a(1000, 0.0f), b(1000, 1.0f);
    double ta = 20.25, tb = 20.25;
    int32_t na = 0, nb = 0;
    ASSERT_EQ(ippsResamplePolyphase_32f(fast.get(), in.data() + 100, 400, a.data(), factor, 1.0f, &ta, &na), 0);
    ASSERT_EQ(ippsResamplePolyphase_32f(accurate.get(), in.data() + 100, 400, b.data(), factor, 1.0f, &tb, &nb), 0);
    ASSERT_EQ(na, nb);
    EXPECT_EQ(ta, tb);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), std::size_t(na) * sizeof(float)), 0) << factor;
  }
}

TEST(PolyphaseDesign, ArgumentChecksInOrderLeaveTheCallerPointerAlone) {
  auto* const sentinel = reinterpret_cast<ResamplePolyphaseState*>(std::uintptr_t(0x1234));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    float window;
    int32_t phases;
    float rollOff, alpha;
    int32_t expected;
  } cases[] = {
      {0.0f, 0, 0.0f, 0.0f, ippStsSizeErr},          // phases first, whatever else is wrong
      {15.0f, -3, 0.95f, 8.0f, ippStsSizeErr},
      {0.015624f, 128, 0.95f, 8.0f, ippStsBadArgErr},  // just below 2 / phases
      {nan, 128, 0.95f, 8.0f, ippStsBadArgErr},
      {15.0f, 128, 0.0f, 8.0f, ippStsBadArgErr},
      {15.0f, 128, -0.5f, 8.0f, ippStsBadArgErr},
      {15.0f, 128, 1.0001f, 8.0f, ippStsBadArgErr},
      {15.0f, 128, nan, 8.0f, ippStsBadArgErr},
      {15.0f, 128, 0.95f, 0.999f, ippStsBadArgErr},
      {15.0f, 128, 0.95f, nan, ippStsBadArgErr},
  };
  for (const auto& c : cases) {
    ResamplePolyphaseState* s = sentinel;
    EXPECT_EQ(ippsResamplePolyphaseInitAlloc_32f(&s, c.window, c.phases, c.rollOff, c.alpha, 1), c.expected)
        << c.window << " " << c.phases << " " << c.rollOff << " " << c.alpha;
    EXPECT_EQ(s, sentinel);
  }
  // A missing destination is reported before any other check.
  EXPECT_EQ(ippsResamplePolyphaseInitAlloc_32f(nullptr, 0.0f, 0, 0.0f, 0.0f, 1), ippStsNullPtrErr);
  EXPECT_EQ(ippsResamplePolyphaseInitAlloc_32f(nullptr, 15.0f, 128, 0.95f, 8.0f, 1), ippStsNullPtrErr);
}

TEST(PolyphaseDesign, BoundaryArgumentsAreAccepted) {
  // window exactly 2 / phases gives one entry beside the centre.
  StatePtr narrow = MakeState(2.0f / 128.0f, 128, 0.95f, 8.0f);
  ASSERT_TRUE(narrow);
  EXPECT_EQ(narrow->tableLength, 2);
  EXPECT_NEAR(ZeroPhaseSum(narrow.get()), 1.0, 1e-7);  // no multiple of 128 inside: F[0] = 1
  StatePtr edge = MakeState(8.0f, 16, 1.0f, 1.0f);
  ASSERT_TRUE(edge);
  EXPECT_EQ(edge->tableLength, 65);
}

TEST(PolyphaseDesign, OutOfRangeDesignsFailInsteadOfHangingOrOverflowing) {
  ResamplePolyphaseState* s = nullptr;
  // The Bessel weight of such an alpha overflows; the series must stop and creation fail
  // rather than spin or leave a table of NaNs.
  EXPECT_EQ(ippsResamplePolyphaseInitAlloc_32f(&s, 15.0f, 128, 0.95f, 1.0e6f, 1), ippStsBadArgErr);
  EXPECT_EQ(ippsResamplePolyphaseInitAlloc_32f(&s, 15.0f, 128, 0.95f, std::numeric_limits<float>::infinity(), 1),
            ippStsBadArgErr);
  // A window whose table could not be indexed with 32-bit integers.
  EXPECT_EQ(ippsResamplePolyphaseInitAlloc_32f(&s, 1.0e9f, 128, 0.95f, 8.0f, 1), ippStsBadArgErr);
  EXPECT_EQ(ippsResamplePolyphaseInitAlloc_32f(&s, std::numeric_limits<float>::infinity(), 128, 0.95f, 8.0f, 1),
            ippStsBadArgErr);
  EXPECT_EQ(s, nullptr);
  // Large but finite alpha still designs a usable table.
  StatePtr sharp = MakeState(15.0f, 128, 0.95f, 600.0f);
  ASSERT_TRUE(sharp);
  for (int32_t i = 0; i <= sharp->tableLength; ++i) ASSERT_TRUE(std::isfinite(sharp->filter[i])) << i;
}

TEST(PolyphaseDesign, ReleaseOfMissingPointer) {
  EXPECT_EQ(ippsResamplePolyphaseFree_32f(nullptr), ippStsNullPtrErr);
  ResamplePolyphaseState* s = nullptr;
  ASSERT_EQ(ippsResamplePolyphaseInitAlloc_32f(&s, 31.0f, 128, 0.95f, 8.0f, 1), ippStsNoErr);
  EXPECT_EQ(ippsResamplePolyphaseFree_32f(s), ippStsNoErr);
}
