#include "engine/ClockDll.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kTwoPi = 6.283185307179586;
constexpr double kSecondNs = 1e9;
// Errors beyond this many rms deviations steer the loop only up to that many: a late
// burst or a stall's backlog must not tilt the line.
constexpr double kClipSigmas = 4.0;
// Target rate noise of the loop at its floor, relative. The period estimate of a second-
// order loop scatters by about (jitter / block) x w^1.5 (w per block), so the floor's w is
// the one that puts that at this figure.
constexpr double kFloorRateNoise = 0.3e-6;
constexpr double kFloorMinHz = 0.002;
constexpr double kStartRateNoise = 500e-6;
constexpr double kFloorMaxHz = 0.2;
}  // namespace

double ClockDll::FloorHz(double jitterNs, double blockNs) {
  if (!(blockNs > 0.0)) return kFloorMaxHz;
  const double ratio = std::max(jitterNs, 1.0) / blockNs;
  const double w = std::pow(kFloorRateNoise / ratio, 2.0 / 3.0);
  return std::clamp(w / (kTwoPi * blockNs / kSecondNs), kFloorMinHz, kFloorMaxHz);
}

double ClockDll::StartCapHz(double jitterNs, double blockNs) {
  // The widest loop whose period noise stays within kStartRateNoise: on clean clocks far
  // above kStartHz, on callbacks that come in pairs (jitter near a block) about 0.1 Hz.
  if (!(blockNs > 0.0)) return kStartHz;
  const double ratio = std::max(jitterNs, 1.0) / blockNs;
  const double w = std::pow(kStartRateNoise / ratio, 2.0 / 3.0);
  return std::max(w / (kTwoPi * blockNs / kSecondNs), kFloorMinHz);
}

double ClockDll::JitterNs() const { return std::sqrt(errSq_); }

void ClockDll::Reset(double rateHz) {
  frames_ = 0;
  timeNs_ = 0.0;
  periodNs_ = rateHz > 0.0 ? 1e9 / rateHz : 0.0;
  startNs_ = 0.0;
  errSq_ = 0.0;
  lastErr_ = 0.0;
  bandwidthHz_ = kStartHz;
  offLineSinceNs_ = -1.0;
  blocks_ = 0;
  restarts_ = 0;
}

void ClockDll::Start(int64_t frames, double timeNs) {
  frames_ = frames;
  timeNs_ = timeNs;
  startNs_ = timeNs;
  offLineSinceNs_ = -1.0;
  bandwidthHz_ = kStartHz;
}

bool ClockDll::Update(int64_t frames, int64_t timeNs) {
  const double t = static_cast<double>(timeNs);
  const int64_t n = frames - frames_;
  if (blocks_ == 0 || n <= 0) {
    if (blocks_ == 0) {
      Start(frames, t);
      blocks_ = 1;
    }
    return true;
  }
  if (!(periodNs_ > 0.0)) {
    // No seed: the first interval gives a rough period that the wide start refines.
    periodNs_ = (t - timeNs_) > 0.0 ? (t - timeNs_) / static_cast<double>(n) : 1e9 / 48000.0;
    frames_ = frames;
    timeNs_ = t;
    ++blocks_;
    return true;
  }
  const double intervalNs = static_cast<double>(n) * periodNs_;
  const double predicted = timeNs_ + intervalNs;
  double e = t - predicted;
  // Until the error statistics exist, half a block is the scale of a normal deviation.
  const double sigma = blocks_ < 16 ? std::max(JitterNs(), 0.5 * intervalNs) : std::max(JitterNs(), 20000.0);
  const double clip = kClipSigmas * sigma;
  bool lost = false;
  if (std::fabs(e) > clip) {
    if (offLineSinceNs_ < 0.0) offLineSinceNs_ = t;
    lost = t - offLineSinceNs_ > kSecondNs || std::fabs(e) > 2.0 * kSecondNs;
    e = std::clamp(e, -clip, clip);
  } else {
    offLineSinceNs_ = -1.0;
  }
  if (lost) {
    // The device's time jumped (a stall without backlog, a clock that was reset): restart
    // the line here, wide again, with the period it had.
    Start(frames, t);
    ++restarts_;
    ++blocks_;
    return false;
  }
  // The jitter figure comes from successive differences of the error: a slowly converging
  // period (the start, a drifting clock) shows in the error itself but hardly in its
  // differences, so it does not pass for jitter and hold the loop narrower than needed.
  const double d = blocks_ >= 3 ? (e - lastErr_) : e * std::sqrt(2.0);
  lastErr_ = e;
  errSq_ += (0.5 * d * d - errSq_) * (blocks_ < 64 ? 1.0 / static_cast<double>(blocks_) : 1.0 / 64.0);

  const double ageSec = (t - startNs_) / kSecondNs;
  const double floor = FloorHz(JitterNs(), intervalNs);
  bandwidthHz_ = std::max(floor, std::min(kStartHz / (1.0 + ageSec / kNarrowSec), StartCapHz(JitterNs(), intervalNs)));
  // w per block interval; kept below 0.5 so the discrete loop stays well damped for long
  // blocks at low rates.
  const double w = std::min(kTwoPi * bandwidthHz_ * intervalNs / kSecondNs, 0.5);
  timeNs_ = predicted + std::sqrt(2.0) * w * e;
  periodNs_ += w * w * e / static_cast<double>(n);
  frames_ = frames;
  ++blocks_;
  return true;
}

double DelayLoopFilter::Step(double errorSec, double dtSec, double bandwidthHz, double limit) {
  const double w = kTwoPi * bandwidthHz;
  const double before = integral_;
  integral_ += w * w * errorSec * dtSec;
  double u = -(2.0 * w * errorSec + integral_);
  if (u > limit || u < -limit) {
    // Conditional integration: at the bound, keep the integral where it was if this step
    // drove it further out.
    if ((u > limit && integral_ < before) || (u < -limit && integral_ > before)) integral_ = before;
    u = std::clamp(-(2.0 * w * errorSec + integral_), -limit, limit);
  }
  output_ = u;
  return u;
}
