// Portable analysis of recorded test tones, for the device and bridge tests.
//
// Usage (samples as float on any scale; the 16-bit helpers give full scale = 1.0):
//   std::vector<float> left = sigan::Channel(recording, 2, 0);          // int16 interleaved
//   size_t onset = sigan::FindOnset(left.data(), left.size(), 0.1);     // first tone sample
//   sigan::ToneFit fit = sigan::FitTone(left.data() + a, n, 48000.0);  // freq, level, THD+N
//   auto gaps = sigan::FindDiscontinuities(left.data() + a, n, 48000.0, fit.frequency);
//   EXPECT_NEAR(fit.frequency, 997.0, 0.5); EXPECT_TRUE(gaps.empty());
//
// Frequency and level come from a least-squares sine fit (offset, amplitude, phase and a
// frequency refined by Gauss-Newton), THD+N is everything the fit leaves over relative
// to the fitted tone. Discontinuities are found with the two-term sine recurrence
// x[n] - 2cos(w) x[n-1] + x[n-2], which is ~0 for any clean sine whatever its phase and
// level, and jumps at a dropped, repeated or zeroed stretch; plus a short-window envelope
// check for dropouts and level dips. Everything is deterministic and allocation-light.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sigan {

// ---- Conversions ------------------------------------------------------------------
// One channel of interleaved 16-bit frames, scaled so that 32768 -> 1.0.
std::vector<float> Channel(const int16_t* interleaved, size_t frames, int channels, int channel);
std::vector<float> Channel(const std::vector<int16_t>& interleaved, int channels, int channel);
// A sine of the given frequency and peak amplitude (1.0 = full scale) as interleaved
// 16-bit frames, the same on every channel, starting at phase `phase` (radians).
std::vector<int16_t> MakeTone(double frequency, double rate, size_t frames, int channels,
                              double amplitude, double phase = 0.0);

// ---- Level -------------------------------------------------------------------------
double Rms(const float* x, size_t n);
// RMS in dB relative to a full-scale sine (a full-scale sine reads 0 dB); -200 for silence.
double LevelDb(const float* x, size_t n);

// ---- Frequency and distortion ------------------------------------------------------------
// Coarse estimate from the interpolated zero crossings of the mean-removed signal; 0 when
// there are fewer than two crossings.
double EstimateFrequency(const float* x, size_t n, double rate);

struct ToneFit {
  double frequency = 0.0;   // Hz
  double amplitude = 0.0;   // peak
  double phase = 0.0;       // radians at sample 0
  double offset = 0.0;      // DC
  double levelDb = -200.0;  // of the fitted tone, relative to a full-scale sine
  double residualRms = 0.0; // what the fit leaves: harmonics, noise, glitches
  double thdnDb = 0.0;      // 20 log10(residual rms / tone rms); e.g. -90 for a clean tone
  double thdnPercent = 0.0;
  bool valid = false;       // false when no tone could be fitted
};
// Fits one sine. frequencyHint <= 0 starts from EstimateFrequency. For a tone whose
// frequency moves slowly (a bridge steering its ratio), fit short pieces (50-100 ms):
// over longer ones the frequency movement itself shows up as residual.
ToneFit FitTone(const float* x, size_t n, double rate, double frequencyHint = 0.0);

// ---- Continuity -------------------------------------------------------------------------
struct Discontinuity {
  size_t index = 0;       // sample where it was seen
  double magnitude = 0.0; // recurrence error (or level loss) relative to the tone amplitude
  std::string kind;       // "jump" (step/phase break) or "dropout" (level dip)
};
struct ContinuityOptions {
  // Recurrence errors above this fraction of the amplitude count as a jump. A one-sample
  // phase slip of a 1 kHz tone at 48 kHz gives about 0.13; clean 16-bit audio stays
  // below 0.001.
  double jumpThreshold = 0.02;
  // A 2 ms window whose RMS falls more than this many dB below the median counts as a
  // dropout.
  double dropoutDb = 3.0;
  // Findings of one kind closer together than this (samples) are reported once.
  size_t mergeDistance = 1024;
};
// Scans a stretch that should hold one steady tone of the given frequency.
std::vector<Discontinuity> FindDiscontinuities(const float* x, size_t n, double rate, double frequency,
                                               const ContinuityOptions& options = ContinuityOptions());

// ---- Onset --------------------------------------------------------------------------
// First sample whose magnitude exceeds `fraction` of the signal's steady peak (the 99.9th
// percentile of |x| over the whole stretch), after a stretch that stayed below the
// threshold; returns n when the signal never gets there. For a tone starting at phase 0
// the error is a few samples.
size_t FindOnset(const float* x, size_t n, double fraction = 0.1);

// ---- Files ------------------------------------------------------------------------
// Raw interleaved little-endian 16-bit files (what pacat/parec use with --raw).
bool WriteRaw16(const std::string& path, const std::vector<int16_t>& samples);
bool ReadRaw16(const std::string& path, std::vector<int16_t>* samples);

}  // namespace sigan
