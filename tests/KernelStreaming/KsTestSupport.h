// Shared pieces of the kernel-streaming tests: a simulated driver installed for one test,
// trace capture, and builders for simulated filters.
#pragma once

#include "KernelStreaming/KsSimDriver.h"
#include "KernelStreaming/KsTrace.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Installs a fresh simulated driver for the life of the object and captures every trace.
class KsSimScope {
 public:
  KsSimScope() : driver_(std::make_unique<KsSimDriver>()) {
    previous_ = KsSetSystem(driver_.get());
    KsSetTraceThreshold(6);
    KsSetTraceHook(&KsSimScope::Hook, this);
  }
  ~KsSimScope() {
    KsSetTraceHook(nullptr, nullptr);
    KsSetTraceThreshold(0);
    KsSetSystem(nullptr);
    driver_.reset();
  }
  KsSimDriver& Driver() { return *driver_; }
  bool HasTrace(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& t : traces_)
      if (t.find(text) != std::string::npos) return true;
    return false;
  }
  int CountTraces(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (auto& t : traces_)
      if (t.find(text) != std::string::npos) ++n;
    return n;
  }
  void ClearTraces() {
    std::lock_guard<std::mutex> lock(mutex_);
    traces_.clear();
  }
  // Level-6 leaving traces are many; tests that do not need them can drop them.
  void SetThreshold(int level) { KsSetTraceThreshold(level); }

 private:
  static void Hook(int32_t, const char* text, void* context) {
    auto* self = static_cast<KsSimScope*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->traces_.emplace_back(text);
  }
  std::unique_ptr<KsSimDriver> driver_;
  KsSystem* previous_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<std::string> traces_;
};

inline KsSimPinSpec RenderPinSpec() {
  KsSimPinSpec p;
  p.communication = KSPIN_COMMUNICATION_SINK;
  p.dataFlow = KSPIN_DATAFLOW_IN;
  return p;
}

inline KsSimPinSpec CapturePinSpec() {
  KsSimPinSpec p;
  p.communication = KSPIN_COMMUNICATION_SINK;
  p.dataFlow = KSPIN_DATAFLOW_OUT;
  return p;
}

// An audio device registered in KSCATEGORY_AUDIO and enabled in the direction's category.
inline KsSimFilterSpec AudioFilterSpec(const std::string& name, bool render, int index) {
  KsSimFilterSpec f;
  f.devicePath = "\\\\?\\root#media#" + std::to_string(1000 + index) +
                 "#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\" + (render ? "render" : "capture");
  f.friendlyName = name;
  f.categories = {{KSCATEGORY_AUDIO, SPINT_ACTIVE},
                  {render ? KSCATEGORY_RENDER : KSCATEGORY_CAPTURE, SPINT_ACTIVE}};
  f.pins.push_back(render ? RenderPinSpec() : CapturePinSpec());
  return f;
}

inline WAVEFORMATEXTENSIBLE MakeFormat(WORD channels, DWORD rate, bool extensible) {
  WAVEFORMATEXTENSIBLE f = {};
  f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = 16;
  f.Format.nBlockAlign = static_cast<WORD>(channels * 2);
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  f.Format.cbSize = extensible ? 22 : 0;
  f.Samples.wValidBitsPerSample = 16;
  f.dwChannelMask = channels == 2 ? 0x3 : 0;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

// A real-time (WaveRT) pin: only the looped interface, the cyclic buffer with notifications.
inline KsSimPinSpec WaveRtPinSpec(bool render) {
  KsSimPinSpec p = render ? RenderPinSpec() : CapturePinSpec();
  p.interfaces[0].Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
  p.waveRt = true;
  return p;
}
