



#include "engine/ClockDll.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kTwoPi = 6.283185307179586;
constexpr double kSecondNs = 1e9;
constexpr double kNsToSec = 1e-9;  // a multiplication, where dividing by kSecondNs would cost a division per use
// Errors beyond this many rms deviations steer the loop only up to that many: a late
// burst or a stall's backlog must not tilt the line.
constexpr double kClipSigmas = 4.0;
// Target rate noise of the loop at its floor, relative. The period estimate of a second-
// order loop scatters by about (jitter / block) x w^1.5 (w per block), so the floor's w is
// the one that puts that at this figure.
constexpr double kFloorRateNoise = 0.3e-6;
constexpr double kFloorMinHz = 0.002;
constexpr double kStartRateNoise = 500e-6;
// With a nominal rate the period is known to within a small share from the start, so the
// start's loop need not be any wider than this rate noise allows.
constexpr double kStartRateNoiseNominal = 50e-6;
constexpr double kFloorMaxHz = 0.2;
// A step needs its outliers to persist this long as well (on short blocks a few late
// callbacks in a row happen by chance).
constexpr double kStepMinNs = 25e6;
// A small step must move the line by at least this much: below it the loop's own tracking
// is the better answer.
constexpr double kSmallStepMinNs = 2e6;
constexpr double kSmallStepSigmas = 2.0;
constexpr double kSmallStepSpreads = 5.0;
constexpr double kSpreadNs = 2e9;
// The rate noises to the power 2/3, as the loop's bandwidths take them.
const double kFloorNoise23 = std::cbrt(kFloorRateNoise * kFloorRateNoise);
const double kStartNoise23 = std::cbrt(kStartRateNoise * kStartRateNoise);
const double kStartNoiseNominal23 = std::cbrt(kStartRateNoiseNominal * kStartRateNoiseNominal);
}  // namespace

double JitterScale::Of(double jitterNs, double blockNs) {
  const double j = std::max(jitterNs, 1.0);
  if (std::fabs(j - jitterNs_) > kTolerance * jitterNs_ || std::fabs(blockNs - blockNs_) > kTolerance * blockNs_) {
    jitterNs_ = j;
    blockNs_ = blockNs;
    const double r = blockNs / j;
    scale_ = std::cbrt(r * r);
  }
  return scale_;
}

double ClockDll::FloorFromScale(double scale, double blockNs) {
  if (!(blockNs > 0.0)) return kFloorMaxHz;
  return std::clamp(kFloorNoise23 * scale / (kTwoPi * blockNs * kNsToSec), kFloorMinHz, kFloorMaxHz);
}

bool ClockDll::SmallStep(double e, double sigma, double intervalNs, double predicted, int64_t frames) {
  // A stall that lost less time than the outlier gate (common where the driver runs on a
  // coarse tick): the blocks stay inside the gate, each steering the loop, and a second-
  // order loop would turn the offset into a period error of many hundreds of ppm. Seen as
  // the mean error of the latest kSmallStepBlocks blocks lying well off the line and
  // well off the mean of the blocks before them (a period still converging keeps its
  // offset from one window to the next; a step jumps). The period those blocks bent is put
  // back and the line moves to their mean.
  // Both means are kept as running sums: this runs on every block.
  const int32_t slot = smallNext_;
  const int32_t mid = (slot + kSmallStepBlocks) % kSmallRing;  // the block kSmallStepBlocks back
  smallLatest_ += e - smallErr_[mid];
  smallBefore_ += smallErr_[mid] - smallErr_[slot];
  smallErr_[slot] = e;
  smallPeriod_[slot] = periodNs_;
  smallNext_ = (slot + 1) % kSmallRing;
  if (smallCount_ < kSmallRing) ++smallCount_;
  if (settle_ > 0 || blocks_ < 16 || smallCount_ < kSmallRing) return false;
  const double latest = smallLatest_ / kSmallStepBlocks;
  const double before = smallBefore_ / kSmallStepBlocks;
  // The window's mean scatters by sigma / sqrt(kSmallStepBlocks) only where successive
  // errors are independent. Callbacks that bunch (jitter of several blocks, each held back
  // behind a late one) keep to one side for many blocks, so the means scatter far more than
  // the per-block jitter says: the limit also keeps kSmallStepSpreads times the measured
  // scatter of the means, taken (as the jitter is) from the difference of successive
  // windows, so that a period still converging does not pass for scatter. Compared as
  // squares: no root on every block.
  const double limit = std::max({kSmallStepSigmas * sigma, 0.25 * intervalNs, kSmallStepMinNs});
  const double limitSq = std::max(limit * limit, kSmallStepSpreads * kSmallStepSpreads * meanSq_);
  const double latestSq = latest * latest;
  const double jump = latest - before;
  // Half the squared jump estimates the variance of one window's mean, smoothed over
  // kSpreadNs so that the start's transients are soon forgotten. A real step passes through
  // the windows once; clipped at the limit, it hardly moves the figure that has to tell it
  // from noise.
  const double gain = intervalNs * (1.0 / kSpreadNs);
  meanSq_ += (std::min(0.5 * jump * jump, limit * limit) - meanSq_) *
             (meanBlocks_ * gain < 1.0 ? 1.0 / ++meanBlocks_ : gain);
  if (latestSq <= limitSq || jump * jump <= limitSq) return false;
  periodNs_ = smallPeriod_[(slot + 1 + kSmallStepBlocks) % kSmallRing];  // the oldest of the latest blocks met it
  timeNs_ = predicted + latest;
  frames_ = frames;
  ResetSmallSteps();
  settle_ = kStepSettleBlocks;
  holdBlocks_ = kStepSettleBlocks;
  ++steps_;
  ++blocks_;
  return true;
}

void ClockDll::ResetSmallSteps() {
  // The ring's old entries leave the running sums as the new ones come in: they start at 0.
  for (int32_t k = 0; k < kSmallRing; ++k) smallErr_[k] = 0.0;
  smallLatest_ = 0.0;
  smallBefore_ = 0.0;
  smallNext_ = 0;
  smallCount_ = 0;
}

void ClockDll::Reset(double rateHz) {
  frames_ = 0;
  timeNs_ = 0.0;
  periodNs_ = rateHz > 0.0 ? 1e9 / rateHz : 0.0;
  nominalNs_ = periodNs_;
  startNs_ = 0.0;
  errSq_ = 0.0;
  jitterNs_ = 0.0;
  meanSq_ = 0.0;
  meanBlocks_ = 0;
  lastErr_ = 0.0;
  bandwidthHz_ = kStartHz;
  offLineSinceNs_ = -1.0;
  lastRawNs_ = 0.0;
  stepErr_ = 0.0;
  outliers_ = 0;
  settle_ = 0;
  blocks_ = 0;
  restarts_ = 0;
  steps_ = 0;
}

void ClockDll::Start(int64_t frames, double timeNs) {
  frames_ = frames;
  timeNs_ = timeNs;
  startNs_ = timeNs;
  lastRawNs_ = timeNs;
  offLineSinceNs_ = -1.0;
  outliers_ = 0;
  settle_ = 0;
  holdBlocks_ = 1;
  ResetSmallSteps();
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
    lastRawNs_ = t;
    ++blocks_;
    return true;
  }
  const double intervalNs = static_cast<double>(n) * periodNs_;
  const double sinceRaw = t - lastRawNs_;
  lastRawNs_ = t;
  if (blocks_ < 16 && sinceRaw < 0.25 * intervalNs) {
    // A burst while the stream starts (the prefill of the output's buffers, a capture's
    // backlog): the line is placed at the newest block of it, not at the first.
    frames_ = frames;
    timeNs_ = t;
    startNs_ = t;
    return true;
  }
  const double predicted = timeNs_ + intervalNs;
  double e = t - predicted;
  // Until the error statistics exist, half a block is the scale of a normal deviation.
  const double sigma = blocks_ < 16 ? std::max(JitterNs(), 0.5 * intervalNs) : std::max(JitterNs(), 20000.0);
  const double clip = kClipSigmas * sigma;
  // Outliers: beyond the clip and more than one and a half blocks off. Callbacks that come
  // on a coarse timer tick (in pairs, a block late and then early) stay inside; a stall of
  // several blocks does not.
  const double gate = std::max(clip, 1.5 * intervalNs);
  if (std::fabs(e) > gate) {
    const bool sameSide = outliers_ > 0 && (e > 0.0) == (stepErr_ > 0.0);
    if (!sameSide) {
      outliers_ = 0;
      stepErr_ = e;
    }
    if (offLineSinceNs_ < 0.0) offLineSinceNs_ = t;
    if (std::fabs(e) < std::fabs(stepErr_)) stepErr_ = e;
    ++outliers_;
    if (t - offLineSinceNs_ > kSecondNs || std::fabs(e) > 2.0 * kSecondNs) {
      // The device's time jumped by more than a stall (a clock that was reset) or its
      // blocks scatter without settling: restart the line here, wide again, with the
      // period it had.
      Start(frames, t);
      ++restarts_;
      ++blocks_;
      return false;
    }
    if (outliers_ >= kStepBlocks && t - offLineSinceNs_ >= kStepMinNs) {
      // A step: the device lost (or made up) time. The line moves by the smallest offset of
      // the run, so a partial catch-up is not overshot; period and bandwidth stay.
      timeNs_ = predicted + stepErr_;
      frames_ = frames;
      outliers_ = 0;
      settle_ = kStepSettleBlocks;
      holdBlocks_ = kStepSettleBlocks;  // a held period's mean offset restarts at the step
      offLineSinceNs_ = -1.0;
      ++steps_;
      ++blocks_;
      return true;
    }
    // Held: the line goes on as predicted.
    timeNs_ = predicted;
    frames_ = frames;
    ++blocks_;
    return true;
  }
  // Inside the gate every error counts in full: clipping at the rms would bias the period
  // on callbacks that come on a timer tick, whose errors form a sawtooth (small successive
  // differences, so a small rms figure, but a spread of a whole tick).
  outliers_ = 0;
  offLineSinceNs_ = -1.0;
  if (SmallStep(e, sigma, intervalNs, predicted, frames)) return true;
  if (settle_ > 0) {
    // After a step the line's offset is found again as the mean error of the next blocks,
    // its period left alone: placed by a few blocks of a sawtooth it may be off by half a
    // tick, and a narrow loop would turn such an offset into a period error of hundreds of
    // ppm while it worked it off.
    const int32_t k = kStepSettleBlocks - settle_ + 1;
    timeNs_ = predicted + e / static_cast<double>(k);
    frames_ = frames;
    --settle_;
    ++blocks_;
    return true;
  }
  // The jitter figure comes from successive differences of the error: a slowly converging
  // period (the start, a drifting clock) shows in the error itself but hardly in its
  // differences, so it does not pass for jitter and hold the loop narrower than needed.
  const double d = blocks_ >= 3 ? (e - lastErr_) : e * std::sqrt(2.0);
  lastErr_ = e;
  errSq_ += (0.5 * d * d - errSq_) * (blocks_ < 64 ? 1.0 / static_cast<double>(blocks_) : 1.0 / 64.0);
  jitterNs_ = std::sqrt(errSq_);

  const double ageSec = (t - startNs_) * kNsToSec;
  // A stream's first seconds do not run at its rate: a playback device drains its prefill,
  // a capture delivers its backlog, for a second or two. With a nominal rate given, the
  // period stays at it meanwhile and only the line's offset follows, as the mean of the
  // latest blocks; a fit that took in the start would carry its slope for tens of seconds,
  // and a second-order loop turns an offset it is handed late into a period error.
  const bool holdPeriod = nominalNs_ > 0.0 && ageSec < kPeriodHoldSec;
  const double narrowAge = nominalNs_ > 0.0 ? std::max(0.0, ageSec - kPeriodHoldSec) : ageSec;
  // The start's cap is the widest loop whose period noise stays within the start's rate
  // noise: on clean clocks far above kStartHz, on callbacks that come in pairs (jitter near
  // a block) about 0.1 Hz. Floor and cap scale alike with the jitter: one cube root serves
  // both.
  const double scale = jitterScale_.Of(JitterNs(), intervalNs);
  const double floor = FloorFromScale(scale, intervalNs);
  const double startCap = std::max((nominalNs_ > 0.0 ? kStartNoiseNominal23 : kStartNoise23) * scale /
                                       (kTwoPi * intervalNs * kNsToSec),
                                   kFloorMinHz);
  bandwidthHz_ = std::max(floor, std::min(kStartHz / (1.0 + narrowAge * (1.0 / kNarrowSec)), startCap));
  // w per block interval; kept below 0.5 so the discrete loop stays well damped for long
  // blocks at low rates.
  const double w = std::min(kTwoPi * bandwidthHz_ * intervalNs * kNsToSec, 0.5);
  if (holdPeriod) {
    holdBlocks_ = std::min(holdBlocks_ + 1, kHoldMeanBlocks);
    timeNs_ = predicted + e / static_cast<double>(holdBlocks_);
  } else {
    timeNs_ = predicted + std::sqrt(2.0) * w * e;
    periodNs_ += w * w * e / static_cast<double>(n);
  }
  // A device clock that is given a nominal rate runs within a small share of it; the
  // period never leaves that band, however the start's callbacks bunched.
  if (nominalNs_ > 0.0)
    periodNs_ = std::clamp(periodNs_, nominalNs_ * (1.0 - kMaxOffset), nominalNs_ * (1.0 + kMaxOffset));
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
