// Measures one device's true sample rate from the block sizes it sees and the engine
// clock (MmClock.h), notices when the measurement has gone wrong, and records the block
// timing of that side (history for the timing report, jitter for the status line).
//
// Threads: Update and Reset run on the side's device thread under the tracker's lock,
// allocation-free. Rate, IsLongStable, IsShortStable and Jitter are read from any thread
// without the lock (atomics). CopyHistory takes the lock. Init runs on the window thread
// while the device threads are stopped or locked out by the resampler.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "engine/StatWindow.h"

// Period of a rate in int32 picoseconds: 10^12 / rate, 0 ("none") for a rate of 0. Rates
// too slow for int32 (below about 466 Hz, which a stalling device produces) saturate at
// INT32_MAX instead of overflowing.
int32_t RatePeriodPs(double rateHz);
double RatePeriodPsF(double rateHz);  // the same, unrounded, saturated the same way

// Measures one rate over a window of samples.
class RateMeter {
 public:
  // `startingCount` spreads the meters of a set: a meter begun with count = its starting
  // base completes its first window earlier than its neighbours, so the completions of a
  // set fall evenly across the window instead of all on the same block.
  void Begin(int32_t window, int32_t startingBase, bool spread = true);
  void Restart() { Begin(window_, startingBase_, spread_); }
  // Adds samples; true when a new rate was measured.
  bool Add(int32_t samples);
  double Rate() const { return rate_; }
  int32_t Count() const { return count_; }
  int32_t Base() const { return base_; }
  int32_t Window() const { return window_; }
  uint32_t StartTime() const { return startTime_; }

 private:
  uint32_t startTime_ = 0;  // ms, 0 = clock not started
  int32_t count_ = 0;
  int32_t base_ = 0;
  int32_t window_ = 1;
  double rate_ = 0.0;
  int32_t startingBase_ = 0;
  bool spread_ = true;
};

class RateTracker {
 public:
  static constexpr int32_t kLongMeters = 64;
  static constexpr int32_t kShortMeters = 8;

  RateTracker();
  RateTracker(const RateTracker&) = delete;
  RateTracker& operator=(const RateTracker&) = delete;

  // base: sample count the meters are built on (long window 4 x base, short base / 4);
  // nominal: the side's nominal rate in Hz, 0 = not given (seeds the long estimate).
  // spreadMeters: stagger the meters' first completions (on by default).
  // Starts every estimate afresh (windows, rates, block timing), whatever ran before.
  void Init(int32_t base, int32_t trackLossTest, double nominal, double maxTrackRatio, bool spreadMeters = true);
  // One block of n samples passed this side.
  void Update(int32_t n);
  // Starts the estimate over.
  void Reset();

  // longRate when it is at least 0.1 Hz, else shortRate.
  double Rate() const;
  double LongRate() const { return longRate_.load(std::memory_order_relaxed); }
  double ShortRate() const { return shortRate_.load(std::memory_order_relaxed); }
  bool IsLongStable() const { return longStable_.load(std::memory_order_relaxed); }
  bool IsShortStable() const { return shortStable_.load(std::memory_order_relaxed); }
  // Set when the losing-track test reset the tracker; the resampler tests and clears it.
  bool TakeResync() { return resync_.exchange(0, std::memory_order_acq_rel) != 0; }
  bool ResyncPending() const { return resync_.load(std::memory_order_acquire) != 0; }
  // Number of resets by either losing-track test since construction (diagnostics).
  int32_t TrackLossCount() const { return trackLosses_.load(std::memory_order_relaxed); }

  // Block timing: step 1 of Update; Jitter is the largest relative deviation of the
  // last 16 block intervals from the expected interval, in percent (-100 when none).
  void RecordBlock(int32_t n);
  double Jitter() const { return jitter_.load(std::memory_order_relaxed); }
  void CopyHistory(BlockTimingHistory* dst);
  int32_t Blocks() const { return blocks_.load(std::memory_order_relaxed); }

  // For tests: the windows (read only while no device thread runs Update).
  const StatWindow& LongPeriods() const { return longPeriods_; }
  const StatWindow& LongMeans() const { return longMeans_; }
  const StatWindow& ShortPeriods() const { return shortPeriods_; }
  const StatWindow& ShortCheck() const { return shortCheck_; }
  const RateMeter& LongMeter(int i) const { return longMeters_[i]; }
  const RateMeter& ShortMeter(int i) const { return shortMeters_[i]; }

 private:
  void ResetLocked();
  void PublishStability();
  void RecordBlockLocked(int32_t n);

  std::atomic<int32_t> blocks_{0};
  StatWindow longPeriods_;
  StatWindow longMeans_;
  StatWindow shortPeriods_;
  StatWindow shortCheck_;
  std::atomic<double> longRate_{0.0};
  std::atomic<double> shortRate_{0.0};
  std::atomic<bool> longStable_{false};
  std::atomic<bool> shortStable_{false};
  double maxTrackRatio_ = 1.08;
  RateMeter longMeters_[kLongMeters];
  RateMeter shortMeters_[kShortMeters];
  int32_t trackLossTest_ = 1;
  std::atomic<int32_t> resync_{0};
  std::atomic<int32_t> trackLosses_{0};
  std::recursive_mutex lock_;

  // Block timing.
  uint32_t lastTime_ = 0;
  int32_t lastInterval_ = 0;
  StatWindow jitterWindow_;
  std::atomic<double> jitter_{-100.0};
  BlockTimingHistory history_;
};
