// The bridge with WASAPI (shared mode) playback, wired as the main dialog wires it:
// capture (WASAPI or Wave) from one cable's monitor -> AsyncResampler -> WASAPI playback
// into the other cable, at 44100 <-> 48000 Hz. A 997 Hz tone is played into the input
// cable with pacat; both monitors are recorded with parec and analysed: pitch, level
// against the input, continuity, THD+N, and the latency onset to onset (the recorders'
// offset calibrated with a burst into both cables). Wave -> Wave and DS -> DS runs of
// the same geometry can be added by hand as the baselines of the figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "WasapiRigSupport_win32.h"
#include "audio/ds/DsAudioInterface.h"
#include "audio/wave/WaveAudioInterface.h"
#include "engine/AsyncResampler.h"

namespace {

constexpr double kToneHz = 997.0;
constexpr double kSettleSeconds = 3.0;  // the ratio control settles after the onset
constexpr double kCheckSeconds = 8.0;   // judged stretch

CAudioInterface* Factory(bool isInput, int32_t type) {
  if (type == kAudioTypeWave) return CreateWaveAudioInterface(isInput);
  if (type == kAudioTypeDirectSound) return new CDsAudioInterface(isInput);
  return wasapirig::Factory(isInput, type);
}

// What the main dialog does in its two stream callbacks.
struct Bridge : AudioStreamCallback {
  AsyncResampler resampler;
  void OnRawInput(AudioPort*, void*, uint32_t) override {}
  void OnRawOutput(AudioPort*, void*, uint32_t) override {}
  void OnFifoBlock(AudioPort*) override {}
  void OnInputBlock(AudioPort*, int32_t* const* ch, int32_t frames) override { resampler.PushInput(ch, frames); }
  void OnOutputBlock(AudioPort*, int32_t* const* ch, int32_t frames) override {
    const auto begin = std::chrono::steady_clock::now();
    resampler.PullOutput(ch, frames);
    for (int32_t c = 0; c < 2; ++c)
      for (int32_t f = 0; f < frames; ++f) ch[c][f] = std::clamp(ch[c][f], -32768, 32767);
    outFrames.fetch_add(frames, std::memory_order_relaxed);
    longestOut.Note(begin);
  }
  std::atomic<int64_t> outFrames{0};
  rig::LongestCall longestOut;
};

struct Case {
  const char* name;
  int32_t inType, outType;  // port type ids (WASAPI: wasapirig::kPortTypeForWasapi)
  const char* inCable;
  const char* outCable;
  int inRate, outRate;
};

struct Result {
  bool analysed = false;
  double frequency = 0, inLevelDb = 0, outLevelDb = 0, thdnDb = 0, latencyMs = 0;
  size_t gaps = 0, inputGaps = 0;  // discontinuities (a dropout and its end one event)
  int32_t moves = 0;                // the FIFO's deliberate moves during the judged stretch
  uint32_t engineGaps = 0;  // capture packets the engine flagged after dropping frames
  int32_t reportedFrames = 0;
  bool failed = false;
  double outRate = 0;        // frames per second the output took over the judged stretch
  int64_t longestOutUs = 0;  // the longest our output callback took
  bool outputHeld = false;   // Wine's output ran off its rate while ours kept pace
};

std::string Description(const char* cable) {
  std::string d = cable;
  d[0] = 'C';  // cableA is shown as "CableA"
  return d;
}

void RunOnce(const Case& k, Result* r) {
  Bridge bridge;
  const int32_t frames = 512, count = 8;
  ResamplerConfig cfg;  // as Start builds it
  cfg.quality = -1;
  cfg.trackingBase = 48000;
  cfg.fifoSamples = std::max(3, count) * frames;
  cfg.channels = 2;
  cfg.maxBlock = 2 * frames;
  cfg.trackLossTest = 1;
  cfg.variableRatio = 1;
  cfg.inputRate = k.inRate;
  cfg.outputRate = k.outRate;
  ASSERT_TRUE(bridge.resampler.Init(cfg));

  AudioPort in, out;
  in.SetCallback(&bridge);
  out.SetCallback(&bridge);
  in.Create(true, k.inType);
  out.Create(false, k.outType);
  ASSERT_TRUE(in.HasInterface() && out.HasInterface());
  const std::string inId = wasapirig::FindId(*in.GetInterface(), "Monitor of " + Description(k.inCable));
  const std::string outId = wasapirig::FindId(*out.GetInterface(), Description(k.outCable));
  ASSERT_FALSE(inId.empty() || outId.empty());

  const double toneSeconds = kSettleSeconds + kCheckSeconds + 2.0;
  const std::string tone = rig::TempPath("wasapi-bridge-tone") + ".raw";
  ASSERT_TRUE(sigan::WriteRaw16(rig::HostPath(tone), sigan::MakeTone(kToneHz, k.inRate,
                                                                      static_cast<size_t>(toneSeconds * k.inRate), 2, 0.5)));
  const std::string recIn = rig::TempPath("wasapi-rec-in") + ".raw", recOut = rig::TempPath("wasapi-rec-out") + ".raw";
  rig::Job ri = wasapirig::StartRecorder(k.inCable, k.inRate, recIn);
  rig::Job ro = wasapirig::StartRecorder(k.outCable, k.outRate, recOut);
  ASSERT_TRUE(ri.Started() && ro.Started());
  Sleep(700);
  // A burst into both cables at once: its onset in each recording is the recorders' offset.
  const std::string burst = rig::TempPath("wasapi-burst") + ".raw";
  ASSERT_TRUE(sigan::WriteRaw16(rig::HostPath(burst), sigan::MakeTone(kToneHz, 48000, 48000 * 3 / 10, 2, 0.5)));
  std::string module, text;
  ASSERT_EQ(rig::Shell("pactl load-module module-combine-sink sink_name=velorandCalib slaves=cableA,cableB", 10000,
                       &module), 0) << module;
  while (!module.empty() && (module.back() == '\n' || module.back() == '\r')) module.pop_back();
  const int burstStatus = rig::Shell("nice -n -15 pacat -d velorandCalib --raw --format=s16le --channels=2 "
                                     "--rate=48000 --latency-msec=50 < " + rig::Quote(burst), 20000, &text);
  rig::Shell("pactl unload-module " + module, 10000);
  ASSERT_EQ(burstStatus, 0) << text;
  Sleep(500);

  ASSERT_EQ(in.Open(wasapirig::Params(inId, k.inRate, frames, count)), 0) << in.GetErrorText();
  ASSERT_EQ(out.Open(wasapirig::Params(outId, k.outRate, frames, count)), 0) << out.GetErrorText();
  Sleep(1000);
  rig::Job player = wasapirig::StartPlayer(k.inCable, k.inRate, tone);
  // The FIFO's own moves (the ratio control's deliberate jumps, counted by the engine) from
  // a little before the judged stretch on.
  Sleep(static_cast<DWORD>((kSettleSeconds - 0.5) * 1000));
  const int32_t movesBefore = bridge.resampler.FifoShifts();
  const auto rateFrom = std::chrono::steady_clock::now();
  const int64_t framesFrom = bridge.outFrames.load();
  int status = -1;
  player.Wait(static_cast<int>(toneSeconds * 1000) + 20000, &status);
  {
    // Frames per second the output took over the judged stretch (see rig::OutputHeld).
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - rateFrom).count();
    r->outRate = seconds > 1.0 ? (bridge.outFrames.load() - framesFrom) / seconds : 0.0;
    r->longestOutUs = bridge.longestOut.us.load();
    r->outputHeld = rig::OutputHeld(r->outRate, k.outRate, r->longestOutUs, frames);
  }
  Sleep(800);
  ri.Stop(5000);
  ro.Stop(5000);
  r->reportedFrames = out.GetInterface()->GetLatency();
  r->failed = in.GetInterface()->HasFailed() || out.GetInterface()->HasFailed();
  if (k.inType == wasapirig::kPortTypeForWasapi)
    r->engineGaps = static_cast<CWasapiAudioInterface*>(in.GetInterface())->CaptureDiscontinuities();
  in.Close();
  out.Close();
  ASSERT_EQ(status, 0) << player.Output();

  const std::vector<float> a = wasapirig::ReadLeft(recIn), b = wasapirig::ReadLeft(recOut);
  const size_t calIn = sigan::FindOnset(a.data(), a.size(), 0.25), calOut = sigan::FindOnset(b.data(), b.size(), 0.25);
  ASSERT_LT(calIn, a.size()) << "no calibration burst in the input cable";
  ASSERT_LT(calOut, b.size()) << "no calibration burst in the output cable";
  const size_t skipIn = std::min(a.size(), calIn + static_cast<size_t>(k.inRate / 2));
  const size_t skipOut = std::min(b.size(), calOut + static_cast<size_t>(k.outRate / 2));
  const size_t onIn = skipIn + sigan::FindOnset(a.data() + skipIn, a.size() - skipIn, 0.25);
  const size_t onOut = skipOut + sigan::FindOnset(b.data() + skipOut, b.size() - skipOut, 0.25);
  ASSERT_LT(onIn, a.size()) << "no tone in the input cable";
  ASSERT_LT(onOut, b.size()) << "no tone came out of the bridge";
  const double skewMs = 1000.0 * (static_cast<double>(calOut) / k.outRate - static_cast<double>(calIn) / k.inRate);
  r->latencyMs = 1000.0 * (static_cast<double>(onOut) / k.outRate - static_cast<double>(onIn) / k.inRate) - skewMs;

  const size_t startOut = onOut + static_cast<size_t>(kSettleSeconds * k.outRate);
  const size_t lenOut = static_cast<size_t>(kCheckSeconds * k.outRate);
  const size_t startIn = onIn + static_cast<size_t>(kSettleSeconds * k.inRate);
  const size_t lenIn = static_cast<size_t>(kCheckSeconds * k.inRate);
  ASSERT_LE(startOut + lenOut, b.size()) << "recording of the output too short";
  ASSERT_LE(startIn + lenIn, a.size()) << "recording of the input too short";
  const sigan::ToneFit whole = sigan::FitTone(b.data() + startOut, lenOut, k.outRate, kToneHz);
  ASSERT_TRUE(whole.valid);
  r->frequency = whole.frequency;
  r->outLevelDb = sigan::LevelDb(b.data() + startOut, lenOut);
  r->inLevelDb = sigan::LevelDb(a.data() + startIn, lenIn);
  // THD+N over 100 ms pieces, so the ratio control's slow frequency movement is not read
  // as distortion; the median piece is the figure.
  std::vector<double> thdn;
  const size_t piece = static_cast<size_t>(k.outRate / 10);
  for (size_t s = 0; s + piece <= lenOut; s += piece)
    thdn.push_back(sigan::FitTone(b.data() + startOut + s, piece, k.outRate, kToneHz).thdnDb);
  std::sort(thdn.begin(), thdn.end());
  r->thdnDb = thdn[thdn.size() / 2];
  r->inputGaps = sigan::FindDiscontinuities(a.data() + startIn, lenIn, k.inRate, kToneHz).size();
  const auto found = sigan::FindDiscontinuities(b.data() + startOut, lenOut, k.outRate, whole.frequency);
  // A dropout and the jump at its end a sample later are one event.
  for (size_t i = 0; i < found.size(); ++i)
    if (i == 0 || found[i].index - found[i - 1].index > static_cast<size_t>(k.outRate / 100)) ++r->gaps;
  r->moves = bridge.resampler.FifoShifts() - movesBefore;
  for (size_t i = 0; i < found.size() && i < 5; ++i)
    std::printf("  %s at %.3f s after the onset\n", found[i].kind.c_str(),
                static_cast<double>(startOut + found[i].index - onOut) / k.outRate);
  std::printf("%s %d -> %d Hz: %.3f Hz, level in %.2f dB out %.2f dB, THD+N %.1f dB, latency %.1f ms onset to "
              "onset (output side reports %d frames = %.1f ms), %zu discontinuities in %.0f s (input cable %zu), "
              "underruns %d, FIFO moves %d there, capture gaps flagged by the engine %u, output took %.0f frames/s\n",
              k.name, k.inRate, k.outRate, r->frequency, r->inLevelDb, r->outLevelDb, r->thdnDb, r->latencyMs,
              r->reportedFrames, 1000.0 * r->reportedFrames / k.outRate, r->gaps, kCheckSeconds, r->inputGaps,
              bridge.resampler.UnderrunCount(), r->moves, r->engineGaps, r->outRate);
  r->analysed = true;
}

// Wine's mixer and the sound server's tools run without real-time guarantees on a shared
// machine, so one isolated slip in the 8 s judged is let pass (seen: single jumps at
// random times, no underrun, no gap flagged by the engine). What the interface's own
// logic gets wrong (a packet lost or repeated, a block out of order) repeats every
// period, many times a second, and fails. The ratio control's own moves of the FIFO (its
// start, a device's step) are the engine's, judged by its own tests: each explains one
// discontinuity here, up to kAllowedMoves; more than that in 8 s is a fault.
constexpr size_t kAllowedSlips = 1;
constexpr int32_t kAllowedMoves = 2;

size_t Allowed(const Result& r) { return kAllowedSlips + static_cast<size_t>(std::clamp(r.moves, 0, kAllowedMoves)); }

bool Good(const Result& r) {
  return r.analysed && std::fabs(r.frequency - kToneHz) <= 0.5 && std::fabs(r.outLevelDb - r.inLevelDb) <= 0.5 &&
         r.gaps <= Allowed(r) && r.moves <= kAllowedMoves && r.inputGaps == 0 && r.thdnDb < -70.0 && r.latencyMs > 0.0 && r.latencyMs < 2000.0 &&
         !r.failed;
}

// Up to three runs: once more when a run was not clean, and a run in which Wine's output
// fell off its rate (see outputHeld) is not judged. A stall of the shared machine (not of
// the bridge) can make a tool or Wine's own stream under-run; a fault of the bridge fails
// every judged run. When no run could be judged the test is skipped, saying why: the
// engine's own continuity is judged in-process by the drift tests.
void Check(const Case& k) {
  Result r;
  int judged = 0;
  for (int attempt = 1; attempt <= 3 && judged < 2; ++attempt) {
    Result t;
    RunOnce(k, &t);
    if (::testing::Test::HasFatalFailure()) return;
    if (t.analysed && t.outputHeld && !Good(t)) {
      std::printf("run %d: Wine's output took %.0f frames/s for %d (longest callback of ours %.2f ms); not judged\n",
                  attempt, t.outRate, k.outRate, t.longestOutUs * 1e-3);
      continue;
    }
    ++judged;
    r = t;
    if (Good(r)) break;
    std::printf("run %d not clean; once more\n", attempt);
  }
  if (judged == 0) GTEST_SKIP() << "Wine's output ran more than 1 % off its rate in every run; nothing to judge the bridge on";
  ASSERT_TRUE(r.analysed);
  EXPECT_EQ(r.inputGaps, 0u) << "the tone played into " << k.inCable << " was already broken";
  EXPECT_NEAR(r.frequency, kToneHz, 0.5);
  EXPECT_NEAR(r.outLevelDb, r.inLevelDb, 0.5);
  EXPECT_LE(r.gaps, Allowed(r));
  EXPECT_LE(r.moves, kAllowedMoves);
  EXPECT_LT(r.thdnDb, -70.0);
  EXPECT_GT(r.latencyMs, 0.0);
  EXPECT_LT(r.latencyMs, 2000.0);
  EXPECT_FALSE(r.failed);
}

class WasapiBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = wasapirig::SkipReason();
    if (why.rfind("REQUIRED:", 0) == 0) FAIL() << why;
    if (!why.empty()) GTEST_SKIP() << why;
    previous_ = AudioPort::SetInterfaceFactory(&Factory);
    static const std::string priority = rig::RaiseAudioPriority(-15, 10);
    std::printf("%s\n", priority.c_str());
  }
  void TearDown() override { AudioPort::SetInterfaceFactory(previous_); }
  AudioInterfaceFactory previous_ = nullptr;
};

constexpr int32_t kW = wasapirig::kPortTypeForWasapi;

}  // namespace

TEST_F(WasapiBridge, WasapiToWasapi44100To48000) { Check({"WASAPI->WASAPI", kW, kW, "cableA", "cableB", 44100, 48000}); }
TEST_F(WasapiBridge, WasapiToWasapi48000To44100) { Check({"WASAPI->WASAPI", kW, kW, "cableB", "cableA", 48000, 44100}); }
TEST_F(WasapiBridge, WaveToWasapi44100To48000) {
  Check({"Wave->WASAPI", kAudioTypeWave, kW, "cableA", "cableB", 44100, 48000});
}
TEST_F(WasapiBridge, WaveToWasapi48000To44100) {
  Check({"Wave->WASAPI", kAudioTypeWave, kW, "cableB", "cableA", 48000, 44100});
}
// The same geometry through Wave and DirectSound alone: the baselines the figures above
// are compared with, run by hand in the same process (--gtest_also_run_disabled_tests).
// Those paths are judged by their own tests, with their own allowances.
TEST_F(WasapiBridge, DISABLED_WaveToWave44100To48000Comparison) {
  Check({"Wave->Wave", kAudioTypeWave, kAudioTypeWave, "cableA", "cableB", 44100, 48000});
}
TEST_F(WasapiBridge, DISABLED_DirectSoundToDirectSound44100To48000Comparison) {
  Check({"DS->DS", kAudioTypeDirectSound, kAudioTypeDirectSound, "cableA", "cableB", 44100, 48000});
}
