// A whole bridge on the simulated driver alone: KS input (a 997 Hz tone at -6 dBFS from the
// driver's capture pin, 48000 Hz) -> AsyncResampler -> KS output (the driver's render pin,
// 44100 Hz). The render pin keeps what it played; that recording is analysed like a cable
// recording: frequency, level, THD+N and continuity. Both simulated pins run on the same
// clock, so the ratio is held at the nominal 44100/48000: any pitch error, distortion or
// gap then comes from the Kernel Streaming path (buffer order, lost or repeated buffers,
// the silent first buffers), not from the ratio control.
#include "KernelStreaming/KsTestSupport.h"
#include "audio/ks/KsAudioInterface.h"
#include "KsBridgeSupport.h"
#include "testutil/SignalAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <thread>

namespace {

constexpr double kToneHz = 997.0;
constexpr double kAmplitude = 0.5;

CAudioInterface* KsFactory(bool isInput, int32_t type) {
  return type == kAudioTypeKernelStreaming ? new CKsAudioInterface(isInput) : nullptr;
}

TEST(KsBridgeSimulated, Tone48000To44100ThroughTheResampler) {
  KsSimScope sim;
  sim.SetThreshold(0);
  KsSimFilterSpec mic = AudioFilterSpec("Sim Mic", false, 0);
  mic.pins[0].toneHz = kToneHz;
  mic.pins[0].toneAmplitude = kAmplitude;
  const int32_t micIndex = sim.Driver().AddFilter(mic);
  const int32_t speakers = sim.Driver().AddFilter(AudioFilterSpec("Sim Speakers", true, 1));
  AudioInterfaceFactory previous = AudioPort::SetInterfaceFactory(&KsFactory);

  const int32_t frames = 512, count = 6;
  ksbridge::Bridge bridge;
  ASSERT_TRUE(bridge.resampler.Init(ksbridge::Config(frames, count, 48000, 44100, false)));
  AudioPort in, out;
  in.SetCallback(&bridge);
  out.SetCallback(&bridge);
  in.Create(true, kAudioTypeKernelStreaming);
  out.Create(false, kAudioTypeKernelStreaming);
  ASSERT_EQ(in.Open(ksbridge::Params("Sim Mic", 48000, frames, count)), 0) << in.GetErrorText();
  ASSERT_EQ(out.Open(ksbridge::Params("Sim Speakers", 44100, frames, count)), 0) << out.GetErrorText();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const int32_t underruns = bridge.resampler.UnderrunCount();
  const int32_t overruns = bridge.resampler.OverrunCount();
  const double ratio = bridge.resampler.CurrentRatio();
  const bool failed = in.GetInterface()->HasFailed() || out.GetInterface()->HasFailed();
  in.Close();
  out.Close();
  AudioPort::SetInterfaceFactory(previous);
  EXPECT_FALSE(failed);

  KsSimPinStats stats = sim.Driver().PinStats(speakers, 0);
  std::vector<int16_t> played = sim.Driver().RenderedSamples(speakers, 0);
  std::vector<float> left = sigan::Channel(played, 2, 0), right = sigan::Channel(played, 2, 1);
  ASSERT_GT(left.size(), 44100u * 8);
  const size_t onset = sigan::FindOnset(left.data(), left.size(), 0.25);
  ASSERT_LT(onset, left.size()) << "no tone reached the render pin";
  // Ratio control settles in the first seconds; the last 4 s are checked.
  const size_t len = 44100 * 4;
  const size_t start = left.size() - len - 44100 / 2;
  ASSERT_GT(start, onset);
  sigan::ToneFit fit = sigan::FitTone(left.data() + start, len, 44100.0, kToneHz);
  ASSERT_TRUE(fit.valid);
  std::vector<double> thdn;
  for (size_t s = 0; s + 44100 <= len; s += 44100)
    thdn.push_back(sigan::FitTone(left.data() + start + s, 44100, 44100.0, kToneHz).thdnDb);
  std::sort(thdn.begin(), thdn.end());
  const double medianThdn = thdn[thdn.size() / 2];
  const double level = sigan::LevelDb(left.data() + start, len);
  auto gaps = sigan::FindDiscontinuities(left.data() + start, len, 44100.0, fit.frequency);
  auto gapsR = sigan::FindDiscontinuities(right.data() + start, len, 44100.0, fit.frequency);
  std::printf("KS sim bridge 48000 -> 44100: %.3f Hz, level %.2f dB, THD+N %.1f dB, %zu discontinuities in 4 s, "
              "render-pin underruns %d, capture-pin overruns %d, resampler underruns %d overruns %d, ratio %.6f, onset %.1f ms\n",
              fit.frequency, level, medianThdn, gaps.size() + gapsR.size(), stats.underruns,
              sim.Driver().PinStats(micIndex, 0).underruns, underruns, overruns,
              ratio, 1000.0 * onset / 44100.0);
  EXPECT_NEAR(fit.frequency, kToneHz, 0.5);
  EXPECT_NEAR(level, 20.0 * std::log10(kAmplitude), 0.5);
  EXPECT_LT(medianThdn, -60.0);
  EXPECT_EQ(gaps.size() + gapsR.size(), 0u);
  EXPECT_EQ(sim.Driver().OpenHandleCount(), 0);
}

}  // namespace
