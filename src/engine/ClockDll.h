// Second-order delay-locked loop on one device's block clock: fed with the frames moved so
// far (64-bit count) and the block's time on the fine clock, it gives a smoothed time for
// every block and the device's rate. Block times jitter by milliseconds on real systems;
// the smoothed line through (frames, time) does not, which is what lets the ratio control
// compare the two sides at one instant.
//
// Also the PI loop filter of the delay control (DelayLoopFilter below).
//
// Threads: a ClockDll belongs to one device thread (plain state, no lock); real-time safe,
// no allocation. Publishing to the other side is the resampler's business.
#pragma once

#include <cmath>
#include <cstdint>

// (block / jitter)^(2/3), the factor by which the measured jitter sets a loop's bandwidth.
// Worked out again only when the jitter or the block has moved by more than kTolerance
// since: a bandwidth needs no finer grain, and a cube root on every block was the largest
// single cost of the clock loops.
class JitterScale {
 public:
  double Of(double jitterNs, double blockNs);
  static constexpr double kTolerance = 0.01;

 private:
  double jitterNs_ = -1.0;
  double blockNs_ = -1.0;
  double scale_ = 0.0;
};

class ClockDll {
 public:
  // Starts over: the next block only places the line; rateHz seeds the period (0 = not
  // known: the first interval measures it).
  void Reset(double rateHz);
  // One block: `frames` moved up to and including it, `timeNs` its fine-clock time.
  // A block far off the line (beyond several rms deviations and more than a block) is an
  // outlier: it neither steers the line nor counts as jitter. Outliers that keep to one
  // side for kStepBlocks blocks are a step of the device's time (a stall whose time was
  // lost, a start-up burst): the line moves to them with its period unchanged (Steps()
  // counts these). Returns false when blocks lay off the line for over a second without
  // settling into a step (or once by more than two seconds): the clock is taken as lost and
  // the loop restarts at this block with its last period.
  bool Update(int64_t frames, int64_t timeNs);

  bool HasLine() const { return blocks_ >= 1 && periodNs_ > 0.0; }
  bool HasRate() const { return blocks_ >= 2 && periodNs_ > 0.0; }
  double TimeNs() const { return timeNs_; }       // smoothed time of the latest block
  int64_t Frames() const { return frames_; }      // frames up to and including it
  double PeriodNs() const { return periodNs_; }   // per frame
  double Rate() const { return periodNs_ > 0.0 ? 1e9 / periodNs_ : 0.0; }
  // Rms of the block times about the line (outliers clipped), ns: the measured jitter.
  double JitterNs() const { return jitterNs_; }
  double BandwidthHz() const { return bandwidthHz_; }
  double AgeNs() const { return HasLine() ? timeNs_ - startNs_ : 0.0; }
  int32_t Restarts() const { return restarts_; }
  int32_t Steps() const { return steps_; }
  // The latest blocks are off the line (a step may be coming), or the line is finding its
  // offset again after a step: the smoothed time is then not yet a measurement to act on.
  bool OffLine() const { return outliers_ > 0 || settle_ > 0; }
  static constexpr int32_t kStepBlocks = 3;
  static constexpr int32_t kStepSettleBlocks = 32;
  // Largest offset of a device clock from its nominal rate the loop believes.
  static constexpr double kMaxOffset = 0.001;
  // With a nominal rate the period stays at it for this long after the line is placed,
  // the line's offset following the mean of the latest kHoldMeanBlocks blocks.
  static constexpr double kPeriodHoldSec = 3.0;
  static constexpr int32_t kHoldMeanBlocks = 16;
  // A step smaller than the outlier gate shows over this many blocks.
  static constexpr int32_t kSmallStepBlocks = 12;

  // Bandwidth: starts at kStartHz and narrows as 1 / (1 + age / kNarrowSec) towards a floor
  // that the measured jitter sets (wider on clean clocks, narrower on noisy ones). Narrowing
  // as 1 / age keeps the loop's memory a fixed share of its age, like a fit over all blocks
  // so far; any faster and the start's period error would no longer die out.
  static constexpr double kStartHz = 1.0;
  static constexpr double kNarrowSec = 0.3;
  // The floor for a block of blockNs whose jitter has the given scale (JitterScale).
  static double FloorFromScale(double scale, double blockNs);

 private:
  void Start(int64_t frames, double timeNs);
  bool SmallStep(double e, double sigma, double intervalNs, double predicted, int64_t frames);
  void ResetSmallSteps();

  int64_t frames_ = 0;
  double timeNs_ = 0.0;
  double periodNs_ = 0.0;
  double nominalNs_ = 0.0;
  double startNs_ = 0.0;
  double errSq_ = 0.0;         // smoothed squared jitter, ns^2
  double jitterNs_ = 0.0;      // its root, read several times per block
  double lastErr_ = 0.0;
  double bandwidthHz_ = kStartHz;
  double offLineSinceNs_ = -1.0;  // raw time of the first of a run of outliers
  double lastRawNs_ = 0.0;
  double stepErr_ = 0.0;          // smallest error (by size) of the current outlier run
  int32_t outliers_ = 0;          // length of the current run of outliers on one side
  int32_t holdBlocks_ = 1;        // blocks the offset is the mean of while the period is held
  static constexpr int32_t kSmallRing = 2 * kSmallStepBlocks;
  double smallErr_[kSmallRing] = {};     // errors of the latest blocks inside the gate
  double smallPeriod_[kSmallRing] = {};  // and the period each of them met
  double smallLatest_ = 0.0;   // sum of the latest kSmallStepBlocks errors
  double smallBefore_ = 0.0;   // and of the kSmallStepBlocks before them
  int32_t smallNext_ = 0;      // slot written next
  int32_t smallCount_ = 0;     // errors held (up to kSmallRing)
  double meanSq_ = 0.0;        // smoothed scatter (variance) of the windows' mean errors, ns^2
  int32_t meanBlocks_ = 0;     // blocks in meanSq_ while it warms up
  JitterScale jitterScale_;
  int32_t settle_ = 0;            // blocks left of finding the offset again after a step
  int64_t blocks_ = 0;
  int32_t restarts_ = 0;
  int32_t steps_ = 0;
};

// Gathers a side's blocks where they are shorter than the control needs: the loops follow
// clocks at a fraction of a hertz, and a reading every few milliseconds costs more than it
// tells. The gathered blocks' times, each carried along the loop's period to the newest
// block's frame count, are averaged into one reading, so no block's timing is lost (the
// mean's jitter falls as the root of their number) while the loop and the control run once
// per reading. Blocks of minFrames or more are each a reading, their time as it came.
class BlockGather {
 public:
  void Reset(int64_t minFrames) {
    minFrames_ = minFrames;
    count_ = 0;
    lastFrames_ = 0;
    spanFrames_ = 0;
  }
  // One block: frames moved up to and including it, its time, and the loop's period per
  // frame (0: not known yet, every block is a reading). True when a reading is complete;
  // *readingNs is then its time, and SpanFrames() the frames since the reading before.
  bool Add(int64_t frames, int64_t timeNs, double periodNs, int64_t* readingNs) {
    // Integer sums on every block; the reading's arithmetic is done once per reading.
    if (count_ == 0) {
      firstFrames_ = frames;
      firstNs_ = timeNs;
      sumNs_ = sumFrames_ = 0;
    } else {
      sumNs_ += timeNs - firstNs_;
      sumFrames_ += frames - firstFrames_;
    }
    ++count_;
    if (frames - lastFrames_ < minFrames_ && periodNs > 0.0) return false;
    // Each block's offset from the first, less what the period accounts for, averaged, and
    // carried on to this block.
    *readingNs = count_ == 1 ? timeNs
                             : firstNs_ + std::llround((static_cast<double>(sumNs_) - static_cast<double>(sumFrames_) * periodNs) / count_ +
                                                       static_cast<double>(frames - firstFrames_) * periodNs);
    spanFrames_ = frames - lastFrames_;
    lastFrames_ = frames;
    count_ = 0;
    return true;
  }
  int64_t SpanFrames() const { return spanFrames_; }

 private:
  int64_t minFrames_ = 0;
  int64_t firstFrames_ = 0;
  int64_t firstNs_ = 0;
  int64_t lastFrames_ = 0;
  int64_t spanFrames_ = 0;
  int64_t sumNs_ = 0;      // the later blocks' times after the first's, summed
  int64_t sumFrames_ = 0;  // and their frame counts after its
  int32_t count_ = 0;
};

// Critically damped PI loop filter: the correction u (relative ratio offset) from the delay
// error (seconds). The loop it closes integrates u into the delay (d delay / dt = u), so
// u = -(2 w e + w^2 integral e) puts both poles at -w, w = 2 pi bandwidth. The output is
// bounded; while it sits at the bound the integral does not wind further into it.
class DelayLoopFilter {
 public:
  void Reset() { integral_ = 0.0; output_ = 0.0; }
  // errorSec: delay minus set point; dtSec: time since the previous step.
  double Step(double errorSec, double dtSec, double bandwidthHz, double limit);
  double Output() const { return output_; }
  double Integral() const { return integral_; }

 private:
  double integral_ = 0.0;
  double output_ = 0.0;
};
