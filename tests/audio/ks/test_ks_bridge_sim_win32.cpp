// A whole bridge on the simulated driver alone: KS input (a 997 Hz tone at -6 dBFS from the
// driver's capture pin, 48000 Hz) -> AsyncResampler -> KS output (the driver's render pin,
// 44100 Hz). The render pin keeps what it played; that recording is analysed like a cable
// recording: frequency, level, THD+N and continuity. Both simulated pins run on the same
// clock. With the ratio held at the nominal 44100/48000, any pitch error, distortion or
// gap comes from the Kernel Streaming path (buffer order, lost or repeated buffers, the
// silent first buffers); with the ratio free, as Start configures it, the ratio control
// is in the loop too. It moves the pitch slowly while it steers the FIFO level, so
// distortion is judged on 100 ms pieces, over which that movement is negligible.
// The same bridge runs on real-time (WaveRT) pins in both directions, with the driver's
// notifications and with the polling fallback: what the render pin's position passed in
// its cyclic buffer is what it played, so a block copied at the wrong place, too close to
// the position or across the wrap shows as a gap or distortion.
#include "KernelStreaming/KsTestSupport.h"
#include "audio/ks/KsAudioInterface.h"
#include "KsBridgeSupport.h"
#include "testutil/SignalAnalysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

namespace {

constexpr double kToneHz = 997.0;
constexpr double kAmplitude = 0.5;

CAudioInterface* KsFactory(bool isInput, int32_t type) {
  return type == kAudioTypeKernelStreaming ? new CKsAudioInterface(isInput) : nullptr;
}

enum class Pins { kStandard, kRealTime, kRealTimePolled };

void RunSimulatedBridge(bool variableRatio, Pins pins = Pins::kStandard) {
  KsSimScope sim;
  sim.SetThreshold(0);
  KsSimFilterSpec mic = AudioFilterSpec("Sim Mic", false, 0);
  KsSimFilterSpec speakerSpec = AudioFilterSpec("Sim Speakers", true, 1);
  if (pins != Pins::kStandard) {
    mic.pins[0] = WaveRtPinSpec(false);
    speakerSpec.pins[0] = WaveRtPinSpec(true);
    mic.pins[0].rtNotifications = speakerSpec.pins[0].rtNotifications = pins == Pins::kRealTime;
  }
  mic.pins[0].toneHz = kToneHz;
  mic.pins[0].toneAmplitude = kAmplitude;
  const int32_t micIndex = sim.Driver().AddFilter(mic);
  const int32_t speakers = sim.Driver().AddFilter(speakerSpec);
  AudioInterfaceFactory previous = AudioPort::SetInterfaceFactory(&KsFactory);

  const int32_t frames = 512, count = 6;
  ksbridge::Bridge bridge;
  ASSERT_TRUE(bridge.resampler.Init(ksbridge::Config(frames, count, 48000, 44100, variableRatio)));
  AudioPort in, out;
  in.SetCallback(&bridge);
  out.SetCallback(&bridge);
  in.Create(true, kAudioTypeKernelStreaming);
  out.Create(false, kAudioTypeKernelStreaming);
  ASSERT_EQ(in.Open(ksbridge::Params("Sim Mic", 48000, frames, count)), 0) << in.GetErrorText();
  ASSERT_EQ(out.Open(ksbridge::Params("Sim Speakers", 44100, frames, count)), 0) << out.GetErrorText();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const auto* inKs = static_cast<const CKsAudioInterface*>(in.GetInterface());
  const auto* outKs = static_cast<const CKsAudioInterface*>(out.GetInterface());
  ASSERT_TRUE(inKs->Stream() && outKs->Stream());
  EXPECT_EQ(inKs->Stream()->IsRealTime(), pins != Pins::kStandard);
  EXPECT_EQ(outKs->Stream()->IsRealTime(), pins != Pins::kStandard);
  EXPECT_EQ(outKs->Stream()->UsesNotifications(), pins == Pins::kRealTime);
  const uint32_t rtUnderruns = inKs->Stream()->Underruns() + outKs->Stream()->Underruns();
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
  const size_t piece = 4410;
  std::vector<double> pieceHz;
  for (size_t s = 0; s + piece <= len; s += piece) {
    const sigan::ToneFit p = sigan::FitTone(left.data() + start + s, piece, 44100.0, kToneHz);
    thdn.push_back(p.thdnDb);
    pieceHz.push_back(p.frequency);
  }
  std::sort(pieceHz.begin(), pieceHz.end());
  // With the ratio moving, one fit over 4 s is a poor pitch estimate; the pieces are not.
  const double medianHz = pieceHz[pieceHz.size() / 2];
  std::sort(thdn.begin(), thdn.end());
  const double medianThdn = thdn[thdn.size() / 2];
  const double level = sigan::LevelDb(left.data() + start, len);
  auto gaps = sigan::FindDiscontinuities(left.data() + start, len, 44100.0, medianHz);
  auto gapsR = sigan::FindDiscontinuities(right.data() + start, len, 44100.0, medianHz);
  if (pins != Pins::kStandard) {
    // Ten seconds through a ring of 8 blocks (93 ms at 44100 Hz): the position wrapped.
    EXPECT_GT(stats.rtPositionWraps, 80);
    EXPECT_GT(sim.Driver().PinStats(micIndex, 0).rtPositionWraps, 80);
    EXPECT_EQ(rtUnderruns, 0u);
  }
  std::printf("KS sim bridge (%s pins) 48000 -> 44100, %s ratio: %.3f Hz (median of 100 ms pieces), level %.2f dB, THD+N %.1f dB, %zu discontinuities in 4 s, "
              "render-pin underruns %d, capture-pin overruns %d, resampler underruns %d overruns %d, ratio %.6f, onset %.1f ms\n",
              pins == Pins::kStandard ? "standard" : pins == Pins::kRealTime ? "WaveRT, notified" : "WaveRT, polled",
              variableRatio ? "free" : "fixed", medianHz, level, medianThdn, gaps.size() + gapsR.size(), stats.underruns,
              sim.Driver().PinStats(micIndex, 0).underruns, underruns, overruns,
              ratio, 1000.0 * onset / 44100.0);
  // Steering the FIFO level may hold the ratio up to 0.1 % off the clocks for a while.
  EXPECT_NEAR(medianHz, kToneHz, variableRatio ? 1.5 : 0.5);
  EXPECT_NEAR(level, 20.0 * std::log10(kAmplitude), 0.5);
  EXPECT_LT(medianThdn, -60.0);
  // A device thread that Wine runs late by more than half the FIFO makes the resampler
  // under- or overrun, at a fixed ratio and a steered one alike (once or twice in 10 s
  // seen on a slow build machine): each xrun it counted explains a dropout and a jump on
  // each channel. The KS path is judged by what the resampler cannot account for (the
  // control's own xruns are judged by the drift tests, on simulated clocks); more than two
  // xruns in 10 s is no hiccup.
  const int32_t xruns = underruns + overruns;
  EXPECT_LE(xruns, 2);
  EXPECT_LE(gaps.size() + gapsR.size(), 4u * static_cast<size_t>(xruns));
  EXPECT_EQ(sim.Driver().OpenHandleCount(), 0);
}

TEST(KsBridgeSimulated, Tone48000To44100AtTheNominalRatio) { RunSimulatedBridge(false); }

TEST(KsBridgeSimulated, Tone48000To44100WithRatioControl) { RunSimulatedBridge(true); }

// With the ratio free, as Start configures it: the FIFO level is steered, so the judgement
// does not hang on the level the first blocks happened to leave.
TEST(KsBridgeSimulated, WaveRtBothDirectionsWithNotifications) { RunSimulatedBridge(true, Pins::kRealTime); }

TEST(KsBridgeSimulated, WaveRtBothDirectionsPolled) { RunSimulatedBridge(true, Pins::kRealTimePolled); }

}  // namespace
