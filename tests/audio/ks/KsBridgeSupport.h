// The bridge as the main dialog wires it (input port -> AsyncResampler -> output port),
// for the Kernel Streaming tone tests.
#pragma once

#include "audio/AudioPort.h"
#include "engine/AsyncResampler.h"

#include <algorithm>
#include <atomic>

namespace ksbridge {

struct Bridge : AudioStreamCallback {
  AsyncResampler resampler;
  int32_t channels = 2;
  std::atomic<int64_t> inBlocks{0}, outBlocks{0};
  void OnRawInput(AudioPort*, void*, uint32_t) override {}
  void OnRawOutput(AudioPort*, void*, uint32_t) override {}
  void OnFifoBlock(AudioPort*) override {}
  void OnInputBlock(AudioPort*, int32_t* const* ch, int32_t frames) override {
    resampler.PushInput(ch, frames);
    inBlocks.fetch_add(1, std::memory_order_relaxed);
  }
  void OnOutputBlock(AudioPort*, int32_t* const* ch, int32_t frames) override {
    resampler.PullOutput(ch, frames);
    for (int32_t c = 0; c < channels; ++c)
      for (int32_t f = 0; f < frames; ++f) ch[c][f] = std::clamp(ch[c][f], -32768, 32767);
    outBlocks.fetch_add(1, std::memory_order_relaxed);
  }
};

// What Start builds from the lists. variableRatio false holds the ratio at the nominal
// rates, which isolates the device path from the ratio control.
inline ResamplerConfig Config(int32_t frames, int32_t count, double inRate, double outRate,
                              bool variableRatio) {
  ResamplerConfig cfg;
  cfg.quality = -1;
  cfg.trackingBase = 48000;
  cfg.fifoSamples = std::max(3, count) * frames;
  cfg.channels = 2;
  cfg.maxBlock = 2 * frames;
  cfg.trackLossTest = 1;
  cfg.variableRatio = variableRatio ? 1 : 0;
  cfg.inputRate = inRate;
  cfg.outputRate = outRate;
  return cfg;
}

inline AudioOpenParams Params(const std::string& device, int32_t rate, int32_t frames, int32_t count) {
  AudioOpenParams p;
  p.deviceId = device;
  p.deviceName = device;
  p.sampleRate = rate;
  p.channels = 2;
  p.bufferFrames = frames;
  p.bufferCount = count;
  return p;
}

}  // namespace ksbridge
