// A wave device that disappears while it streams: its null sink is unloaded with pactl.
// The program must stay alive, the interface either reports the failure or keeps running,
// Close must still return promptly, and the side must open again on another device.
// Its own executable: Wine lists the wave devices once per process, so the extra cable
// has to exist before the first wave call.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "audio/wave/WaveRigSupport.h"
#include "rig/RigClient.h"

namespace {
using Clock = std::chrono::steady_clock;

struct Counter : AudioStreamCallback {
  std::atomic<int> in{0}, out{0};
  void OnRawInput(AudioPort*, void*, uint32_t) override {}
  void OnRawOutput(AudioPort*, void*, uint32_t) override {}
  void OnInputBlock(AudioPort*, int32_t* const*, int32_t) override { ++in; }
  void OnOutputBlock(AudioPort*, int32_t* const* ch, int32_t n) override {
    ++out;
    for (int c = 0; c < 2; ++c)
      for (int32_t f = 0; f < n; ++f) ch[c][f] = (f % 64) * 256;
  }
  void OnFifoBlock(AudioPort*) override {}
};

AudioOpenParams Params(const char* id, int rate) {
  AudioOpenParams p;
  p.deviceId = id;
  p.sampleRate = rate;
  p.channels = 2;
  p.bufferFrames = 512;
  p.bufferCount = 8;
  return p;
}

// Unloads the module on every way out of the test.
struct ModuleGuard {
  std::string index;
  ~ModuleGuard() {
    if (!index.empty()) rig::Shell("pactl unload-module " + index, 10000);
  }
};
}  // namespace

TEST(WaveUnplug, ADeviceVanishingWhileStreamingLeavesTheProgramAliveAndCloseOnTime) {
  std::string why = rig::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  AudioPort::SetInterfaceFactory(&waverig::WaveFactory);

  ModuleGuard module;
  ASSERT_EQ(rig::Shell("pactl load-module module-null-sink sink_name=cableGone rate=48000 channels=2 "
                       "sink_properties=device.description=CableGone",
                       10000, &module.index),
            0)
      << module.index;
  while (!module.index.empty() && (module.index.back() == '\n' || module.index.back() == '\r')) module.index.pop_back();
  ASSERT_FALSE(module.index.empty());

  Counter cb;
  AudioPort out, in;
  out.SetCallback(&cb);
  in.SetCallback(&cb);
  out.Create(false, kAudioTypeWave);
  in.Create(true, kAudioTypeWave);
  ASSERT_GT(waverig::FindEntry(*out.GetInterface(), "CableGone"), 0) << "the new cable is not listed";
  ASSERT_EQ(in.Open(Params("Monitor of CableGone", 48000)), 0) << in.GetErrorText();
  ASSERT_EQ(out.Open(Params("CableGone", 48000)), 0) << out.GetErrorText();
  for (int i = 0; i < 50 && (cb.out < 20 || cb.in < 20); ++i) Sleep(100);
  const int outBefore = cb.out, inBefore = cb.in;
  std::printf("before unplug: %d output and %d input blocks\n", outBefore, inBefore);
  EXPECT_GT(outBefore, 10);

  std::string text;
  ASSERT_EQ(rig::Shell("pactl unload-module " + module.index, 10000, &text), 0) << text;
  module.index.clear();
  Sleep(2000);
  const bool outFailed = out.GetInterface()->HasFailed(), inFailed = in.GetInterface()->HasFailed();
  const int outAfter = cb.out - outBefore, inAfter = cb.in - inBefore;

  auto t0 = Clock::now();
  out.Close();
  const double outClose = waverig::Seconds(Clock::now() - t0);
  t0 = Clock::now();
  in.Close();
  const double inClose = waverig::Seconds(Clock::now() - t0);
  std::printf("after unplug: output %s, %d blocks in 2 s, close %.0f ms; input %s, %d blocks, close %.0f ms\n",
              outFailed ? "reported failure" : "kept running", outAfter, outClose * 1000,
              inFailed ? "reported failure" : "kept running", inAfter, inClose * 1000);
  EXPECT_LT(outClose, 5.0);
  EXPECT_LT(inClose, 5.0);
  EXPECT_FALSE(out.GetInterface()->IsRunning());
  EXPECT_FALSE(in.GetInterface()->IsRunning());

  // The side is usable again on a device that still exists.
  ASSERT_EQ(out.Open(Params("CableA", 44100)), 0) << out.GetErrorText();
  const int before = cb.out;
  Sleep(500);
  EXPECT_GT(cb.out - before, 5);
  out.Close();
}
