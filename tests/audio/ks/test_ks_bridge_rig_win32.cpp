// KS input from the simulated driver (a 997 Hz tone at -6 dBFS, 48000 Hz) -> AsyncResampler
// -> Wave output into the rig's cableA (44100 Hz), recorded from the cable's monitor with
// parec and analysed: frequency, level, THD+N, continuity.
#include "KernelStreaming/KsTestSupport.h"
#include "audio/ks/KsAudioInterface.h"
#include "audio/wave/WaveAudioInterface.h"
#include "KsBridgeSupport.h"
#include "rig/RigClient.h"
#include "testutil/SignalAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

namespace {

constexpr double kToneHz = 997.0;
constexpr double kAmplitude = 0.5;
constexpr double kRunSeconds = 12.0;

CAudioInterface* Factory(bool isInput, int32_t type) {
  if (type == kAudioTypeKernelStreaming) return new CKsAudioInterface(isInput);
  if (type == kAudioTypeWave) return CreateWaveAudioInterface(isInput);
  return nullptr;
}

TEST(KsBridgeRig, SimulatedKsInputToWaveCable) {
  std::string why = rig::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  KsSimScope sim;
  sim.SetThreshold(0);
  KsSimFilterSpec mic = AudioFilterSpec("Sim Mic", false, 0);
  mic.pins[0].toneHz = kToneHz;
  mic.pins[0].toneAmplitude = kAmplitude;
  sim.Driver().AddFilter(mic);
  AudioInterfaceFactory previous = AudioPort::SetInterfaceFactory(&Factory);

  const int32_t frames = 512, count = 8;
  ksbridge::Bridge bridge;
  ASSERT_TRUE(bridge.resampler.Init(ksbridge::Config(frames, count, 48000, 44100, false)));
  AudioPort in, out;
  in.SetCallback(&bridge);
  out.SetCallback(&bridge);
  in.Create(true, kAudioTypeKernelStreaming);
  out.Create(false, kAudioTypeWave);
  const std::string rec = rig::TempPath("ks-bridge") + ".raw";
  // The output first, and the input once Wine's wave output has settled in: its first
  // seconds take buffers well below the rate, which at a fixed ratio would leave the FIFO
  // full for the rest of the run, every later callback jitter an overrun. What is judged
  // here is the KS path, not Wine's start-up.
  ASSERT_EQ(out.Open(ksbridge::Params("CableA", 44100, frames, count)), 0) << out.GetErrorText();
  Sleep(3000);
  ASSERT_EQ(in.Open(ksbridge::Params("Sim Mic", 48000, frames, count)), 0) << in.GetErrorText();
  rig::Job recorder = rig::Job::Start("exec parec -d cableA.monitor --raw --format=s16le --channels=2 "
                                      "--rate=44100 --latency-msec=20 > " + rig::Quote(rec));
  ASSERT_TRUE(recorder.Started());
  Sleep(static_cast<DWORD>(kRunSeconds * 1000));
  recorder.Stop(5000);
  const int32_t underruns = bridge.resampler.UnderrunCount();
  const int32_t overruns = bridge.resampler.OverrunCount();
  const double ratio = bridge.resampler.CurrentRatio();
  const bool failed = in.GetInterface()->HasFailed() || out.GetInterface()->HasFailed();
  in.Close();
  out.Close();
  AudioPort::SetInterfaceFactory(previous);
  EXPECT_FALSE(failed);

  std::vector<int16_t> samples;
  ASSERT_TRUE(sigan::ReadRaw16(rig::HostPath(rec), &samples));
  std::vector<float> left = sigan::Channel(samples, 2, 0), right = sigan::Channel(samples, 2, 1);
  ASSERT_GT(left.size(), 44100u * 8) << "recording too short";
  const size_t onset = sigan::FindOnset(left.data(), left.size(), 0.25);
  ASSERT_LT(onset, left.size()) << "no tone came out of the cable";
  const size_t len = 44100 * 4;
  const size_t start = onset + 44100 * 4;  // ratio control settles first
  ASSERT_LE(start + len, left.size());
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
  for (size_t i = 0; i < gaps.size() && i < 10; ++i)
    std::printf("  discontinuity (left) at %.3f s: %s %.3f\n", (start + gaps[i].index) / 44100.0,
                gaps[i].kind.c_str(), gaps[i].magnitude);
  std::printf("KS sim input 48000 -> Wave CableA 44100: %.3f Hz, level %.2f dB, THD+N %.1f dB, "
              "%zu discontinuities in 4 s, resampler underruns %d overruns %d, ratio %.6f\n",
              fit.frequency, level, medianThdn, gaps.size() + gapsR.size(), underruns, overruns, ratio);
  EXPECT_NEAR(fit.frequency, kToneHz, 0.5);
  EXPECT_NEAR(level, 20.0 * std::log10(kAmplitude), 0.5);
  EXPECT_LT(medianThdn, -60.0);
  // The simulated bridge (test_ks_bridge_sim_win32) holds the KS path to zero
  // discontinuities; here the tone also crosses Wine's wave output, PulseAudio and parec,
  // which on a loaded machine now and then slip a few samples (0 to 2 such events per 4 s
  // seen here, each on both channels). Up to four events are tolerated; a KS path that
  // loses, repeats or reorders buffers gives one per buffer, hundreds in 4 s.
  EXPECT_LE(gaps.size() + gapsR.size(), 8u);
}

}  // namespace
