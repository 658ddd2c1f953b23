#include "engine/RateTracker.h"

#include <climits>
#include <cmath>

#include "engine/LogPrintf.h"
#include "engine/MmClock.h"

namespace {
constexpr double kPsPerSecond = 1e12;
}

double RatePeriodPsF(double rateHz) {
  if (!(rateHz > 0.0)) return 0.0;  // no rate (or NaN): no period
  // A stalled device measures rates far below the audio range; such a period no longer
  // fits int32 picoseconds (below about 466 Hz) and saturates instead of overflowing, so
  // the lost-track test sees it as the very slow clock it is.
  double period = 1e12 / rateHz;
  return period > static_cast<double>(INT32_MAX) ? static_cast<double>(INT32_MAX) : period;
}

int32_t RatePeriodPs(double rateHz) { return static_cast<int32_t>(RatePeriodPsF(rateHz)); }

// ---- RateMeter ---------------------------------------------------------------------

void RateMeter::Begin(int32_t window, int32_t startingBase, bool spread) {
  window_ = window < 1 ? 1 : window;
  startingBase_ = startingBase;
  spread_ = spread;
  base_ = startingBase;
  // Spread: the count starts at the starting base, so this meter completes its first
  // window (which only starts its clock) earlier than a meter with a smaller base.
  count_ = spread && startingBase > 0 && startingBase < window_ ? startingBase : 0;
  startTime_ = 0;
  rate_ = 0.0;
}

bool RateMeter::Add(int32_t samples) {
  count_ += samples;
  if (count_ < window_) return false;
  bool measured = false;
  if (startTime_ != 0) {
    uint32_t now = MmTimeMs();
    if (now == startTime_) return false;  // clock did not advance: try again next call
    int64_t elapsed = static_cast<uint32_t>(now - startTime_);
    rate_ = static_cast<double>(static_cast<int64_t>(count_ - base_) * 1000 / elapsed);
    measured = true;
  }
  count_ -= window_;
  base_ = count_;
  startTime_ = MmTimeMs();
  // 0 marks a clock that has not started; a real reading of 0 counts as 1 ms.
  if (startTime_ == 0) startTime_ = 1;
  return measured;
}

// ---- RateTracker -------------------------------------------------------------------

RateTracker::RateTracker() {
  longPeriods_.Setup(2048, 10);
  longMeans_.Setup(128, 0);
  shortPeriods_.Setup(128, 2);
  shortCheck_.Setup(32, 2);
  jitterWindow_.Setup(16, 0);
  history_.Clear();
  Init(48000, 1, 0.0, 1.08);
}

void RateTracker::Init(int32_t base, int32_t trackLossTest, double nominal, double maxTrackRatio, bool spreadMeters) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (base < 4) base = 4;
  maxTrackRatio_ = maxTrackRatio;
  trackLossTest_ = trackLossTest;
  const int32_t longWindow = 4 * base;
  const int32_t shortWindow = static_cast<int32_t>(base * 0.25);
  for (int i = 0; i < kLongMeters; ++i)
    longMeters_[i].Begin(longWindow, static_cast<int32_t>(static_cast<double>(i) / 64.0 * 4.0 * base), spreadMeters);
  for (int j = 0; j < kShortMeters; ++j)
    shortMeters_[j].Begin(shortWindow, static_cast<int32_t>(j * 0.125 * base * 0.25), spreadMeters);
  // Every estimate starts afresh. A second Start at another rate that kept the old means
  // would see its first long measurement snap back towards the old rate.
  longPeriods_.Reset();
  longMeans_.Reset();
  shortPeriods_.Reset();
  shortCheck_.Reset();
  longRate_.store(0.0, std::memory_order_relaxed);
  shortRate_.store(0.0, std::memory_order_relaxed);
  blocks_.store(0, std::memory_order_relaxed);
  resync_.store(0, std::memory_order_relaxed);
  lastTime_ = 0;
  lastInterval_ = 0;
  jitterWindow_.Reset();
  jitter_.store(-100.0, std::memory_order_relaxed);
  history_.Clear();
  if (nominal != 0.0) {
    longPeriods_.Fill(RatePeriodPs(nominal));
    longRate_.store(nominal, std::memory_order_relaxed);
  }
  PublishStability();
}

double RateTracker::Rate() const {
  double longRate = longRate_.load(std::memory_order_relaxed);
  return longRate >= 0.1 ? longRate : shortRate_.load(std::memory_order_relaxed);
}

void RateTracker::PublishStability() {
  longStable_.store(longRate_.load(std::memory_order_relaxed) > 6000.0 && longPeriods_.Held() > 25,
                    std::memory_order_relaxed);
  shortStable_.store(shortRate_.load(std::memory_order_relaxed) > 6000.0 && shortPeriods_.Held() > 10,
                     std::memory_order_relaxed);
}

void RateTracker::Update(int32_t n) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  RecordBlockLocked(n);
  for (RateMeter& meter : longMeters_) {
    if (!meter.Add(n)) continue;
    longPeriods_.Add(RatePeriodPs(meter.Rate()));
    if (longPeriods_.Mean() != 0) longMeans_.Add(longPeriods_.Mean());
    if (longMeans_.Mean() != 0) longRate_.store(kPsPerSecond / longMeans_.MeanF(), std::memory_order_relaxed);
  }
  for (RateMeter& meter : shortMeters_) {
    if (!meter.Add(n)) continue;
    double p = RatePeriodPsF(meter.Rate());
    double shortMean = shortPeriods_.MeanF();
    if (longRate_.load(std::memory_order_relaxed) > 4000.0 && shortMean != 0.0 && p != 0.0) {
      double check = shortMean / p;
      if (check < 0.25 || check > 4.0) {
        LogPrintf("SRC lost track: first_check=%.02f. resetting\n", check);
        trackLosses_.fetch_add(1, std::memory_order_relaxed);
        ResetLocked();
      }
    }
    shortPeriods_.Add(static_cast<int32_t>(p));
    if (trackLossTest_) {
      shortCheck_.Add(static_cast<int32_t>(p));
      if (shortCheck_.Mean() != 0 && shortPeriods_.Mean() != 0 && shortCheck_.Full()) {
        double test = (kPsPerSecond / shortPeriods_.MeanF()) / (kPsPerSecond / shortCheck_.MeanF());
        double min = 1.0 / maxTrackRatio_;
        if (test < min || test > maxTrackRatio_) {
          LogPrintf("SRC losing track (test=%.02f min=%.02f max=%.02f), resetting.\n", test, min, maxTrackRatio_);
          trackLosses_.fetch_add(1, std::memory_order_relaxed);
          ResetLocked();
          resync_.store(1, std::memory_order_release);
        }
      }
    }
    if (shortPeriods_.Mean() != 0) shortRate_.store(kPsPerSecond / shortPeriods_.MeanF(), std::memory_order_relaxed);
  }
  PublishStability();
}

void RateTracker::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  ResetLocked();
  PublishStability();
}

void RateTracker::ResetLocked() {
  shortPeriods_.Reset();
  shortCheck_.Reset();
  longPeriods_.Reset();
  longMeans_.Reset();
  // After a reset every measurement of the first long completion is skipped.
  longPeriods_.SetSkip(64);
  for (RateMeter& meter : longMeters_) meter.Restart();
  for (RateMeter& meter : shortMeters_) meter.Restart();
  longRate_.store(0.0, std::memory_order_relaxed);
  shortRate_.store(0.0, std::memory_order_relaxed);
  blocks_.store(0, std::memory_order_relaxed);
  history_.Clear();
}

void RateTracker::RecordBlock(int32_t n) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  RecordBlockLocked(n);
}

void RateTracker::RecordBlockLocked(int32_t n) {
  int32_t blocks = blocks_.load(std::memory_order_relaxed) + 1;
  blocks_.store(blocks, std::memory_order_relaxed);
  uint32_t now = MmTimeMs();
  if (now == 0) now = 1;
  if (blocks > 16) {
    history_.entries[history_.next] = {now, n};
    history_.next = (history_.next + 1) % history_.modulus;
  }
  if (lastTime_ != 0) {
    lastInterval_ = static_cast<int32_t>(now - lastTime_);
    double rate = Rate();
    int32_t r = rate >= static_cast<double>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(rate);
    jitterWindow_.Add(BlockJitterValue(lastInterval_, n, r));
    jitter_.store(JitterPercent(jitterWindow_), std::memory_order_relaxed);
  }
  lastTime_ = now;
}

void RateTracker::CopyHistory(BlockTimingHistory* dst) {
  if (dst == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  *dst = history_;
}
