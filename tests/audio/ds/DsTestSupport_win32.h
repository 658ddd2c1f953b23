// Helpers of the DirectSound device tests under Wine: finding the rig's cables in a device
// list, a tone source and a timestamped recorder that sit directly on an interface's sink.
#pragma once

#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "audio/AudioInterface.h"

namespace dstest {

// Milliseconds of a high-resolution clock, for block arrival times.
inline double NowMs() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

// The identifier of the entry whose name is `name`; empty when not listed.
inline std::string FindIdentifier(CAudioInterface& iface, const std::string& name) {
  const int32_t n = iface.GetDeviceCount();
  for (int32_t i = 0; i < n; ++i) {
    AudioDeviceInfo info;
    iface.GetDeviceInfo(&info, i);
    if (info.name == name) return info.identifier;
  }
  return {};
}

// Why the rig is missing, or empty when its cables are listed.
std::string RigMissingReason();

inline AudioOpenParams Params(const std::string& id, int32_t rate, int32_t channels,
                              int32_t frames, int32_t count) {
  AudioOpenParams p;
  p.deviceId = id;
  p.sampleRate = rate;
  p.channels = channels;
  p.bufferFrames = frames;
  p.bufferCount = count;
  return p;
}

// Plays a sine (the same on every channel, interleaved 16-bit) after `silentFrames` of
// silence. Device thread: arithmetic only.
class ToneSource : public AudioBufferSink {
 public:
  ToneSource(double frequency, double rate, double amplitude, int channels, int64_t silentFrames)
      : step_(2.0 * 3.14159265358979323846 * frequency / rate), amplitude_(amplitude),
        channels_(channels), silent_(silentFrames) {}
  void OnBuffer(CAudioInterface*, void* data, uint32_t bytes) override {
    auto* out = static_cast<int16_t*>(data);
    const uint32_t frames = bytes / (2u * static_cast<uint32_t>(channels_));
    for (uint32_t f = 0; f < frames; ++f, ++frame_) {
      double v = 0.0;
      if (frame_ >= silent_) {
        v = amplitude_ * 32767.0 * std::sin(step_ * static_cast<double>(frame_ - silent_));
      }
      const auto s = static_cast<int16_t>(std::lround(v));
      for (int c = 0; c < channels_; ++c) *out++ = s;
    }
    calls_.fetch_add(1, std::memory_order_relaxed);
  }
  int32_t Calls() const { return calls_.load(std::memory_order_relaxed); }

 private:
  double step_;
  double amplitude_;
  int channels_;
  int64_t silent_;
  int64_t frame_ = 0;
  std::atomic<int32_t> calls_{0};
};

// Keeps what a capture interface delivers (up to a capacity reserved up front) and the
// arrival time of each buffer. Device thread: copies only.
class Recorder : public AudioBufferSink {
 public:
  Recorder(size_t capacitySamples, size_t maxBuffers) {
    samples_.resize(capacitySamples);
    arrivalMs_.resize(maxBuffers);
    firstSample_.resize(maxBuffers);
  }
  void OnBuffer(CAudioInterface*, void* data, uint32_t bytes) override {
    const size_t n = bytes / 2u;
    const size_t at = used_.load(std::memory_order_relaxed);
    const size_t b = buffers_.load(std::memory_order_relaxed);
    if (at + n > samples_.size() || b >= arrivalMs_.size()) return;
    std::memcpy(samples_.data() + at, data, n * 2u);
    arrivalMs_[b] = NowMs();
    firstSample_[b] = at;
    buffers_.store(b + 1, std::memory_order_release);
    used_.store(at + n, std::memory_order_release);
  }
  // Read after the interface has closed.
  std::vector<int16_t> Samples() const {
    return std::vector<int16_t>(samples_.begin(),
                                samples_.begin() + static_cast<long>(used_.load()));
  }
  size_t Used() const { return used_.load(std::memory_order_acquire); }
  // Time (ms, NowMs scale) at which interleaved sample `index` arrived, taken as the end of
  // its buffer minus the frames after it.
  double TimeOfSample(size_t index, int channels, double rate) const {
    const size_t nb = buffers_.load();
    for (size_t b = 0; b < nb; ++b) {
      const size_t end = b + 1 < nb ? firstSample_[b + 1] : used_.load();
      if (index >= firstSample_[b] && index < end) {
        const double framesAfter = static_cast<double>(end - 1 - index) / channels;
        return arrivalMs_[b] - 1000.0 * framesAfter / rate;
      }
    }
    return 0.0;
  }

 private:
  std::vector<int16_t> samples_;
  std::vector<double> arrivalMs_;
  std::vector<size_t> firstSample_;
  std::atomic<size_t> used_{0};
  std::atomic<size_t> buffers_{0};
};

}  // namespace dstest
