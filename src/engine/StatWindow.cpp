#include "engine/StatWindow.h"

#include <climits>
#include <cstring>

void StatWindow::Setup(int32_t size, int32_t initialSkip) {
  if (size < 1) size = 1;
  values_ = std::make_unique<int32_t[]>(static_cast<size_t>(size));
  size_ = size;
  initialSkip_ = initialSkip;
  Reset();
}

void StatWindow::Reset() {
  if (values_) std::memset(values_.get(), 0, sizeof(int32_t) * static_cast<size_t>(size_));
  index_ = 0;
  sum_ = 0;
  held_ = 0;
  skip_ = initialSkip_;
}

void StatWindow::Add(int32_t v) {
  if (size_ < 1) return;  // never set up
  if (skip_ > 0) {
    --skip_;
    return;
  }
  // The first value after a reset lands in slot 1; a window that is not yet full holds
  // its values in slots 1..held.
  index_ = (index_ + 1) % size_;
  sum_ -= values_[index_];
  if (held_ < size_) ++held_;
  values_[index_] = v;
  sum_ += v;
}

int32_t StatWindow::Max() const {
  if (held_ == 0) return 0;
  int32_t best = INT32_MIN;
  if (held_ == size_) {
    for (int32_t i = 0; i < size_; ++i)
      if (values_[i] > best) best = values_[i];
  } else {
    for (int32_t i = 1; i <= held_; ++i)
      if (values_[i] > best) best = values_[i];
  }
  return best;
}

void StatWindow::Fill(int32_t v) {
  if (size_ < 1) return;
  for (int32_t i = 0; i < size_; ++i) values_[i] = v;
  held_ = size_;
  sum_ = static_cast<int64_t>(v) * size_;
}

void BlockTimingHistory::Clear() {
  std::memset(entries, 0, sizeof(entries));
  next = 0;
  modulus = kEntries;
}

int32_t BlockJitterValue(int32_t intervalMs, int32_t blockFrames, int32_t rateHz) {
  if (rateHz < 2 || blockFrames <= 0) return 0;
  uint32_t expected = static_cast<uint32_t>(static_cast<int64_t>(blockFrames) * 1000 / rateHz);
  uint32_t interval = static_cast<uint32_t>(intervalMs);
  if (expected == 0 || interval == 0) return 0;
  uint64_t v = interval > expected ? static_cast<uint64_t>(interval) * 1000 / expected
                                   : static_cast<uint64_t>(expected) * 1000 / interval;
  return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

double JitterPercent(const StatWindow& jitterWindow) {
  if (jitterWindow.Held() == 0) return -100.0;
  return (static_cast<double>(jitterWindow.Max()) - 1000.0) * 0.1;
}
