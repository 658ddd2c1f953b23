// Moving window of int32 values with a 64-bit running sum: every mean, smoothing and
// maximum of the engine. No lock: its owner serialises writers. Setup allocates (call it
// at construction or initialisation); Add, Mean, MeanF, Full and Held are constant time
// and allocation-free, Max scans the held values.
#pragma once

#include <cstdint>
#include <memory>

class StatWindow {
 public:
  StatWindow() = default;
  StatWindow(int32_t size, int32_t initialSkip) { Setup(size, initialSkip); }
  StatWindow(const StatWindow&) = delete;
  StatWindow& operator=(const StatWindow&) = delete;

  // Replaces the value array by one of `size` values (at least 1) and resets.
  void Setup(int32_t size, int32_t initialSkip);
  // Empties the window and restores the initial skip.
  void Reset();
  // Ignored while values are still to be skipped; otherwise replaces the oldest value.
  void Add(int32_t v);
  // sum / held truncated toward zero; 0 when empty.
  int32_t Mean() const { return held_ ? static_cast<int32_t>(sum_ / held_) : 0; }
  double MeanF() const { return held_ ? static_cast<double>(sum_) / held_ : 0.0; }
  bool Full() const { return held_ == size_; }
  int32_t Held() const { return held_; }
  int32_t Size() const { return size_; }
  int64_t Sum() const { return sum_; }
  void SetSkip(int32_t n) { skip_ = n; }
  int32_t Skip() const { return skip_; }
  // Largest held value; 0 when empty.
  int32_t Max() const;
  // Every slot = v and the window counts as full; index and skip unchanged.
  void Fill(int32_t v);

 private:
  std::unique_ptr<int32_t[]> values_;
  int32_t index_ = 0;
  int64_t sum_ = 0;
  int32_t skip_ = 0;
  int32_t held_ = 0;
  int32_t size_ = 0;
  int32_t initialSkip_ = 0;
};

// Arrival times and sizes of the last 256 blocks of one side, copied whole to the timing
// report. Entries not yet written are zero; a written entry never has time stamp 0.
struct BlockTimingHistory {
  static constexpr int32_t kEntries = 256;
  struct Entry {
    uint32_t timeMs;      // milliseconds of the engine clock (MmTimeMs)
    int32_t blockFrames;  // samples per channel in that block
  };
  Entry entries[kEntries];
  int32_t next;     // entry written next
  int32_t modulus;  // kEntries

  void Clear();
};

// Jitter value of one block interval: 1000 when the block arrived exactly on time, growing
// with the relative deviation either way (1500 = 50 percent early or late); 0 when the
// rate is below 2 Hz or either interval is 0. Used by RateTracker::RecordBlock.
int32_t BlockJitterValue(int32_t intervalMs, int32_t blockFrames, int32_t rateHz);

// (max - 1000) * 0.1 percent: the largest deviation among the window's values; -100.0
// with an empty window.
double JitterPercent(const StatWindow& jitterWindow);
