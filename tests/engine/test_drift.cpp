// The control loop against simulated devices (tools/driftsim): deterministic, many
// simulated minutes in a few seconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "DriftSim.h"

namespace {

// Sanitizer builds run the engine 5 to 15 times slower: shorter runs there, same checks.
#if defined(__SANITIZE_THREAD__)
constexpr double kScale = 0.2;
#elif defined(__SANITIZE_ADDRESS__)
constexpr double kScale = 0.5;
#else
constexpr double kScale = 1.0;
#endif

driftsim::Case DefaultGeometry(double in, double out, double ppm, double jitterMs) {
  driftsim::Case c;
  c.in.nominalRate = in;
  c.out.nominalRate = out;
  c.in.ppm = ppm;
  c.in.jitterMs = c.out.jitterMs = jitterMs;
  c.in.blockFrames = c.out.blockFrames = 512;
  c.in.bufferCount = c.out.bufferCount = 8;
  return c;
}

}  // namespace

TEST(DriftSim, DefaultGeometryHoldsWithFiveHundredPpmAndFiveMsJitter) {
  for (double ppm : {500.0, -500.0}) {
    driftsim::Case c = DefaultGeometry(44100, 48000, ppm, 5.0);
    // The full half hour once; the mirrored offset over a shorter run keeps the suite quick.
    // Settling takes two to three minutes; a scaled run must still leave room after it.
    c.minutes = std::max(4.0, (ppm > 0 ? 30.0 : 10.0) * kScale);
    c.seed = ppm > 0 ? 11 : 12;
    const driftsim::Result r = driftsim::Run(c);
    SCOPED_TRACE(testing::Message() << "offset " << ppm << " ppm");
    ASSERT_GE(r.settleSec, 0.0) << "never settled";
    EXPECT_LT(r.settleSec, 240.0);
    EXPECT_EQ(r.underrunsAfterSettle, 0);
    EXPECT_EQ(r.overrunsAfterSettle, 0);
    EXPECT_GE(r.fifoMin, 0.2);
    EXPECT_LE(r.fifoMax, 0.9);
    EXPECT_LT(std::abs(r.ratioErrMeanPpm), 20.0);
    EXPECT_EQ(r.trackLosses, 0);
  }
}

TEST(DriftSim, UpwardRatioWithEqualBlocksConvertsAtTheTrueRatio) {
  for (int frames : {512, 48}) {
    driftsim::Case c = DefaultGeometry(44100, 192000, 100, 1.0);
    c.in.blockFrames = c.out.blockFrames = frames;
    // Long enough to settle (about 45 s) and then hold for minutes, even when scaled.
    c.minutes = frames < 100 ? 2.0 * kScale : std::max(3.0, 5.0 * kScale);
    const driftsim::Result r = driftsim::Run(c);
    SCOPED_TRACE(testing::Message() << frames << " frames");
    ASSERT_GE(r.settleSec, 0.0);
    EXPECT_EQ(r.factorLimits, 0) << "the factor was limited by the output room";
    const double nominal = 192000.0 / 44100.0;
    EXPECT_NEAR(r.minFactor / nominal, 1.0, 0.002);
    EXPECT_NEAR(r.maxFactor / nominal, 1.0, 0.002);
    EXPECT_LT(std::abs(r.ratioErrMeanPpm), 50.0);
    EXPECT_EQ(r.underrunsAfterSettle + r.overrunsAfterSettle, 0);
  }
}

TEST(DriftSim, StalledInputReadsZeroRateThenRecovers) {
  driftsim::Case c = DefaultGeometry(44100, 48000, 0, 0.5);
  c.in.stalls.push_back({40.0, 0.6});
  c.minutes = 1.5;
  double rateLateInStall = -1, rateAfter = 1e9;
  const driftsim::Result r = driftsim::Run(c, [&](double t, AsyncResampler& a) {
    if (t > 40.52 && t < 40.6) rateLateInStall = std::max(rateLateInStall, a.InputRate());
    if (t > 42.0) rateAfter = std::min(rateAfter, a.InputRate());
  });
  EXPECT_EQ(rateLateInStall, 0.0) << "no push for more than 500 ms";
  EXPECT_NEAR(rateAfter, 44100.0, 441.0);
  ASSERT_FALSE(r.seconds.empty());
  EXPECT_EQ(r.seconds[80].underruns + r.seconds[80].overruns, 0);
}

TEST(DriftSim, DeterministicForTheSameSeed) {
  driftsim::Case c = DefaultGeometry(48000, 44100, -100, 2.0);
  c.minutes = 1.0 * kScale;
  const driftsim::Result a = driftsim::Run(c), b = driftsim::Run(c);
  EXPECT_EQ(a.ratioErrRmsPpm, b.ratioErrRmsPpm);
  EXPECT_EQ(a.fifoMin, b.fifoMin);
  EXPECT_EQ(a.pulls, b.pulls);
}

// Bursts disturb the level, and the level loop moves the ratio away from the clock ratio
// for a while to restore it (so "settled" in the ppm sense does not apply): what counts is
// that nothing is lost and the average ratio still follows the clocks.
TEST(DriftSim, OccasionalBurstsAreAbsorbedWithoutGlitches) {
  driftsim::Case c = DefaultGeometry(48000, 44100, 300, 1.0);
  c.in.burstEverySec = 7.0;
  c.in.burstBlocks = 2;
  c.out.burstEverySec = 11.0;
  c.out.burstBlocks = 2;
  c.in.ppmDriftPerHour = 200;  // the offset wanders as well
  c.minutes = 10.0 * kScale;
  const driftsim::Result r = driftsim::Run(c);
  EXPECT_EQ(r.underrunsAfterGrace + r.overrunsAfterGrace, 0);
  EXPECT_GE(r.fifoMin, 0.1);
  EXPECT_LE(r.fifoMax, 0.95);
  EXPECT_LT(std::abs(r.ratioErrMeanPpm), 100.0);
  EXPECT_EQ(r.trackLosses, 0);
}
