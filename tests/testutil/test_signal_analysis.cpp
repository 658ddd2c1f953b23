// The analysis the device tests rely on must itself find what it claims: exact figures on
// synthetic tones, and every kind of fault a bridge can put into a tone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "testutil/SignalAnalysis.h"

namespace {
constexpr double kPi = 3.14159265358979323846;

std::vector<float> Tone(double f, double rate, size_t n, double amp, double phase = 0.0) {
  auto s = sigan::MakeTone(f, rate, n, 1, amp, phase);
  return sigan::Channel(s, 1, 0);
}
}  // namespace

TEST(SignalAnalysis, FitsFrequencyLevelAndQuantisationFloorOfACleanTone) {
  auto x = Tone(997.0, 48000.0, 48000, 0.5, 0.3);
  EXPECT_NEAR(sigan::EstimateFrequency(x.data(), x.size(), 48000.0), 997.0, 0.05);
  sigan::ToneFit fit = sigan::FitTone(x.data(), x.size(), 48000.0);
  ASSERT_TRUE(fit.valid);
  EXPECT_NEAR(fit.frequency, 997.0, 1e-3);
  EXPECT_NEAR(fit.levelDb, 20 * std::log10(0.5 * 32767 / 32768), 0.01);
  EXPECT_NEAR(sigan::LevelDb(x.data(), x.size()), fit.levelDb, 0.01);
  EXPECT_NEAR(std::remainder(fit.phase - 0.3, 2 * kPi), 0.0, 1e-3);
  // 16-bit rounding of a -6 dBFS sine leaves about -92 dB.
  EXPECT_LT(fit.thdnDb, -88.0);
  EXPECT_GT(fit.thdnDb, -97.0);
}

TEST(SignalAnalysis, ThdnMeasuresHarmonicsAndNoise) {
  const size_t n = 44100;
  std::vector<float> h(n), noisy(n);
  std::mt19937 rng(7);
  std::normal_distribution<double> gauss(0.0, 0.001);
  for (size_t i = 0; i < n; ++i) {
    double t = 2 * kPi * 997.0 * static_cast<double>(i) / 44100.0;
    h[i] = static_cast<float>(0.5 * std::sin(t) + 0.005 * std::sin(2 * t + 0.4));
    noisy[i] = static_cast<float>(0.5 * std::sin(t) + gauss(rng));
  }
  sigan::ToneFit fh = sigan::FitTone(h.data(), n, 44100.0);
  EXPECT_NEAR(fh.thdnDb, -40.0, 0.2);  // 1 % second harmonic
  EXPECT_NEAR(fh.thdnPercent, 1.0, 0.03);
  sigan::ToneFit fn = sigan::FitTone(noisy.data(), n, 44100.0);
  EXPECT_NEAR(fn.thdnDb, 20 * std::log10(0.001 / (0.5 / std::sqrt(2.0))), 0.3);
  // An off-by-0.4 Hz hint still converges to the true frequency.
  sigan::ToneFit hinted = sigan::FitTone(h.data(), n, 44100.0, 997.4);
  EXPECT_NEAR(hinted.frequency, 997.0, 1e-3);
}

TEST(SignalAnalysis, CleanToneHasNoDiscontinuity) {
  auto x = Tone(997.0, 48000.0, 48000 * 3, 0.5, 1.0);
  EXPECT_TRUE(sigan::FindDiscontinuities(x.data(), x.size(), 48000.0, 997.0).empty());
  // A slowly varying rate (as a steering resampler gives) is no discontinuity either.
  std::vector<float> drift(48000 * 3);
  double ph = 0.0;
  for (size_t i = 0; i < drift.size(); ++i) {
    ph += 2 * kPi * 997.0 * (1.0 + 2e-4 * std::sin(static_cast<double>(i) * 1e-4)) / 48000.0;
    drift[i] = static_cast<float>(std::lround(0.5 * 32767 * std::sin(ph)) / 32768.0);
  }
  EXPECT_TRUE(sigan::FindDiscontinuities(drift.data(), drift.size(), 48000.0, 997.0).empty());
}

TEST(SignalAnalysis, FindsDroppedRepeatedAndZeroedStretches) {
  auto x = Tone(997.0, 48000.0, 96000, 0.5);
  std::vector<float> dropped(x.begin(), x.begin() + 30000);  // one sample lost
  dropped.insert(dropped.end(), x.begin() + 30001, x.end());
  auto d = sigan::FindDiscontinuities(dropped.data(), dropped.size(), 48000.0, 997.0);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_NEAR(static_cast<double>(d[0].index), 30000.0, 2.0);
  EXPECT_EQ(d[0].kind, "jump");

  std::vector<float> repeated(x.begin(), x.begin() + 50000);  // a block played twice
  repeated.insert(repeated.end(), x.begin() + 49488, x.end());
  d = sigan::FindDiscontinuities(repeated.data(), repeated.size(), 48000.0, 997.0);
  ASSERT_FALSE(d.empty());
  EXPECT_NEAR(static_cast<double>(d[0].index), 50000.0, 2.0);

  std::vector<float> gap = x;  // 512 samples of silence (an underrun)
  std::fill(gap.begin() + 70000, gap.begin() + 70512, 0.0f);
  d = sigan::FindDiscontinuities(gap.data(), gap.size(), 48000.0, 997.0);
  ASSERT_FALSE(d.empty());
  EXPECT_NEAR(static_cast<double>(d[0].index), 70000.0, 100.0);
  bool dropout = false;
  for (const auto& e : d) dropout |= e.kind == "dropout";
  EXPECT_TRUE(dropout);
}

TEST(SignalAnalysis, OnsetOfAToneAfterSilence) {
  for (double phase : {0.0, 1.0, 2.5}) {
    std::vector<float> x(3000, 0.0f);
    auto t = Tone(997.0, 48000.0, 20000, 0.5, phase);
    x.insert(x.end(), t.begin(), t.end());
    size_t on = sigan::FindOnset(x.data(), x.size(), 0.1);
    EXPECT_NEAR(static_cast<double>(on), 3000.0, 6.0) << "phase " << phase;
  }
  std::vector<float> silent(1000, 0.0f);
  EXPECT_EQ(sigan::FindOnset(silent.data(), silent.size()), silent.size());
}

TEST(SignalAnalysis, RawFilesRoundTripAndStereoSplits) {
  auto s = sigan::MakeTone(500.0, 8000.0, 100, 2, 0.25);
  s[1] = 1234;  // right channel of frame 0 differs
  const std::string path = testing::TempDir() + "sigan_roundtrip.raw";
  ASSERT_TRUE(sigan::WriteRaw16(path, s));
  std::vector<int16_t> back;
  ASSERT_TRUE(sigan::ReadRaw16(path, &back));
  EXPECT_EQ(back, s);
  auto right = sigan::Channel(back, 2, 1);
  ASSERT_EQ(right.size(), 100u);
  EXPECT_FLOAT_EQ(right[0], 1234 / 32768.0f);
  EXPECT_FALSE(sigan::ReadRaw16(path + ".missing", &back));
  std::remove(path.c_str());
}
