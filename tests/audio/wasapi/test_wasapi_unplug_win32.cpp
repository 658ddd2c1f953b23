// A WASAPI endpoint that goes away while it streams: the sound server ends the streams
// on a cable and the cable itself is unloaded, as Windows does when a device is pulled.
// Both sides must mark themselves failed within a few periods (not hang, not stream
// silence), Close must return promptly, and the side must open again elsewhere.
// Its own executable: the extra cable has to exist before the first audio call.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "WasapiRigSupport_win32.h"

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

struct ModuleGuard {
  std::string index;
  ~ModuleGuard() {
    if (!index.empty()) rig::Shell("pactl unload-module " + index, 10000);
  }
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
}  // namespace

TEST(WasapiUnplug, AnEndpointThatGoesAwayMarksBothSidesFailedAndClosesOnTime) {
  const std::string why = rig::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  AudioPort::SetInterfaceFactory(&wasapirig::Factory);
  ModuleGuard module;
  ASSERT_EQ(rig::Shell("pactl load-module module-null-sink sink_name=cableGone rate=48000 channels=2 "
                       "sink_properties=device.description=CableGone",
                       10000, &module.index),
            0)
      << module.index;
  while (!module.index.empty() && (module.index.back() == '\n' || module.index.back() == '\r')) module.index.pop_back();

  Counter cb;
  AudioPort out, in;
  out.SetCallback(&cb);
  in.SetCallback(&cb);
  out.Create(false, wasapirig::kPortTypeForWasapi);
  in.Create(true, wasapirig::kPortTypeForWasapi);
  ASSERT_TRUE(out.HasInterface() && in.HasInterface());
  const std::string outId = wasapirig::FindId(*out.GetInterface(), "CableGone");
  const std::string inId = wasapirig::FindId(*in.GetInterface(), "Monitor of CableGone");
  ASSERT_FALSE(outId.empty()) << "the new cable is not listed";
  ASSERT_FALSE(inId.empty());
  ASSERT_EQ(in.Open(wasapirig::Params(inId, 48000)), 0) << in.GetErrorText();
  ASSERT_EQ(out.Open(wasapirig::Params(outId, 48000)), 0) << out.GetErrorText();
  for (int i = 0; i < 50 && (cb.out < 20 || cb.in < 20); ++i) Sleep(100);
  ASSERT_GT(cb.out, 10);
  ASSERT_GT(cb.in, 10);

  // The server ends the cable's streams, then the cable goes.
  std::string text;
  ASSERT_EQ(rig::Shell("s=$(pactl list short sinks | awk '$2==\"cableGone\"{print $1}'); "
                       "m=$(pactl list short sources | awk '$2==\"cableGone.monitor\"{print $1}'); "
                       "for i in $(pactl list short sink-inputs | awk -v s=\"$s\" '$2==s{print $1}'); do "
                       "pactl kill-sink-input $i; done; "
                       "for i in $(pactl list short source-outputs | awk -v m=\"$m\" '$2==m{print $1}'); do "
                       "pactl kill-source-output $i; done; pactl unload-module " + module.index,
                       10000, &text),
            0)
      << text;
  module.index.clear();
  const auto t0 = Clock::now();
  while ((!out.GetInterface()->HasFailed() || !in.GetInterface()->HasFailed()) && Seconds(Clock::now() - t0) < 3.0)
    Sleep(20);
  const double noticed = Seconds(Clock::now() - t0);
  auto* o = static_cast<CWasapiAudioInterface*>(out.GetInterface());
  auto* n = static_cast<CWasapiAudioInterface*>(in.GetInterface());
  std::printf("after the cable went: output %s (%08x), input %s (%08x), after %.0f ms\n",
              o->HasFailed() ? "failed" : "still running", static_cast<unsigned>(o->LoopErrorCode()),
              n->HasFailed() ? "failed" : "still running", static_cast<unsigned>(n->LoopErrorCode()), noticed * 1000);
  EXPECT_TRUE(o->HasFailed());
  EXPECT_TRUE(n->HasFailed());
  EXPECT_TRUE(o->IsRunning()) << "a failed side stays open until it is closed";
  EXPECT_EQ(o->LoopErrorCode(), kWasapiErrDeviceInvalidated);

  auto t1 = Clock::now();
  out.Close();
  in.Close();
  EXPECT_LT(Seconds(Clock::now() - t1), 2.0);
  EXPECT_FALSE(out.GetInterface()->IsRunning());

  // The side opens again on a device that is still there, with the failure cleared.
  ASSERT_EQ(out.Open(wasapirig::Params(wasapirig::FindId(*out.GetInterface(), "CableA"), 44100)), 0)
      << out.GetErrorText();
  const int before = cb.out;
  Sleep(500);
  EXPECT_GT(cb.out - before, 5);
  EXPECT_FALSE(out.GetInterface()->HasFailed());
  out.Close();
}
