// Real-time (WaveRT) pins against the simulated driver: recognition and creation in the
// pin layer, the refusals real drivers give (a buffer size, notifications), the stream's
// choice between stream requests and the cyclic buffer, a starved client and a capture
// client that falls behind, and stall detection in both streaming loops.
#include "audio/ks/KsAudioInterface.h"
#include "KernelStreaming/KsTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Renders a frame counter (1, 2, 3 ... on every channel) and can be told to stall once.
struct CounterClient : KsStreamClient {
  std::atomic<int32_t> next{1};
  std::atomic<int32_t> stallMs{0};
  std::atomic<int32_t> calls{0};
  std::atomic<int32_t> lastCaptured{-1};
  std::atomic<int32_t> captureRepeats{0};  // captured frames not after the previous one
  void BufferDone(CKsStreamDevice*) override {}
  bool Render(CKsStreamDevice*, void* data, uint32_t bytes) override {
    Stall();
    auto* s = static_cast<int16_t*>(data);
    for (uint32_t i = 0; i < bytes / 4; ++i) {
      const int16_t v = static_cast<int16_t>(next.fetch_add(1) % 32000 + 1);
      s[2 * i] = s[2 * i + 1] = v;
    }
    calls.fetch_add(1);
    return true;
  }
  bool Captured(CKsStreamDevice*, void* data, uint32_t bytes) override {
    Stall();
    auto* s = static_cast<int16_t*>(data);
    for (uint32_t i = 0; i < bytes / 4; ++i) {
      const int32_t v = s[2 * i];
      const int32_t last = lastCaptured.exchange(v);
      // The driver's counter runs mod 32768; a gap of less than half that is lost audio,
      // anything else a frame delivered again.
      const int32_t step = (v - last) & 0x7FFF;
      if (last >= 0 && (step == 0 || step > 16384)) captureRepeats.fetch_add(1);
    }
    calls.fetch_add(1);
    return true;
  }
  void Stall() {
    const int32_t ms = stallMs.exchange(0);
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

WAVEFORMATEXTENSIBLE Stereo48k() { return MakeFormat(2, 48000, true); }

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return done();
}

TEST(KsWaveRtPin, RecognisedCreatedLoopedAndRefusalsAsRealDriversGive) {
  KsSimScope sim;
  sim.SetThreshold(0);
  KsSimFilterSpec spec = AudioFilterSpec("RT", true, 0);
  spec.pins[0] = WaveRtPinSpec(true);
  spec.pins[0].rtBufferAlignBytes = 4096;
  spec.pins[0].rtNotifications = false;
  const int32_t index = sim.Driver().AddFilter(spec);

  HRESULT hr;
  CKsRenderFilter filter(spec.devicePath.c_str(), &hr, "");
  ASSERT_EQ(filter.Instantiate(), S_OK);
  ASSERT_EQ(filter.DiscoverPins(), S_OK);
  ASSERT_EQ(filter.m_listRenderSinkPins.Count(), 1);
  auto* listed = static_cast<CKsAudioPin*>(filter.m_listRenderSinkPins.Head()->item);
  EXPECT_TRUE(listed->OffersLoopedStreaming());
  EXPECT_FALSE(listed->OffersStandardStreaming());
  WAVEFORMATEXTENSIBLE f = Stereo48k();
  // Stream requests are not offered: no pin for them, and nothing was tried.
  EXPECT_EQ(filter.OpenRenderPin(&f.Format, false), nullptr);
  EXPECT_EQ(sim.Driver().PinStats(index, 0).createAttempts, 0);
  CKsAudioPin* pin = filter.OpenRenderPin(&f.Format, true);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(sim.Driver().PinStats(index, 0).lastCreateInterfaceId, static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING));
  EXPECT_TRUE(pin->SupportsRealTime());

  uint8_t* base = nullptr;
  ULONG actual = 0;
  DWORD error = 0;
  EXPECT_TRUE(FAILED(pin->AllocateCyclicBuffer(8192, 2, &base, &actual, &error)));  // no notifications
  EXPECT_TRUE(FAILED(pin->AllocateCyclicBuffer(6000, 0, &base, &actual, &error)));  // size refused
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  ASSERT_EQ(pin->AllocateCyclicBuffer(8192, 0, &base, &actual, &error), S_OK);
  EXPECT_NE(base, nullptr);
  EXPECT_EQ(actual, 8192u);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_TRUE(FAILED(pin->RegisterNotificationEvent(event, true)));

  // The position runs on the clock once the pin runs, inside the buffer, and wraps.
  OVERLAPPED ov = {};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  KSPROPERTY request = {};
  KSAUDIO_POSITION reply = {};
  ULONGLONG at = 1;
  ASSERT_EQ(pin->ReadPosition(&ov, &request, &reply, 1000, &at), S_OK);
  EXPECT_EQ(at, 0u);
  ASSERT_EQ(pin->SetPinState(KSSTATE_PAUSE), S_OK);
  ASSERT_EQ(pin->SetPinState(KSSTATE_RUN), S_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // 8192 bytes: 42.7 ms
  ASSERT_EQ(pin->ReadPosition(&ov, &request, &reply, 1000, &at), S_OK);
  EXPECT_LT(at, 8192u);
  EXPECT_EQ(at % 4, 0u);
  EXPECT_GE(sim.Driver().PinStats(index, 0).rtPositionWraps, 2);
  pin->Close();
  delete pin;
  CloseHandle(ov.hEvent);
  CloseHandle(event);
  EXPECT_EQ(sim.Driver().OpenHandleCount(), 1);  // the filter
}

// A stream on a real-time device: the notification path, or the polling fallback when the
// driver has no notifications, and a first buffer size the driver refuses.
TEST(KsWaveRtStream, NotificationsOrPollingAndARefusedFirstSize) {
  for (bool notifications : {true, false}) {
    KsSimScope sim;
    sim.SetThreshold(0);
    KsSimFilterSpec spec = AudioFilterSpec("RT", true, 0);
    spec.pins[0] = WaveRtPinSpec(true);
    spec.pins[0].rtNotifications = notifications;
    spec.pins[0].rtBufferAlignBytes = 4096;  // 5 + 2 blocks of 512 frames (14336 bytes) refused
    const int32_t index = sim.Driver().AddFilter(spec);
    CounterClient client;
    {
      CKsStreamDevice stream(false, 512 * 4, 5);
      stream.SetClient(&client);
      WAVEFORMATEXTENSIBLE f = Stereo48k();
      ASSERT_TRUE(stream.OpenDevice("RT", &f.Format)) << stream.GetErrorText();
      EXPECT_TRUE(stream.IsRealTime());
      EXPECT_EQ(stream.UsesNotifications(), notifications);
      EXPECT_EQ(stream.CyclicBufferBytes(), 16384u);
      ASSERT_TRUE(WaitFor([&] { return client.calls.load() >= 100; }, 10000));
      EXPECT_FALSE(stream.HasError()) << stream.GetErrorText();
      stream.StopStream();
    }
    const KsSimPinStats stats = sim.Driver().PinStats(index, 0);
    ASSERT_GE(stats.rtBufferRequests.size(), 2u);
    EXPECT_EQ(stats.rtBufferRequests[0], 14336u);
    EXPECT_EQ(stats.rtBufferRequests.back(), 16384u);
    EXPECT_EQ(stats.rtEventsRegistered, notifications ? 1 : 0);
    if (notifications) {
      EXPECT_GT(stats.rtNotificationsSignalled, 10);
    }
    EXPECT_GT(stats.rtPositionWraps, 5);
    EXPECT_EQ(sim.Driver().OpenHandleCount(), 0);
  }
}

TEST(KsWaveRtStream, FilterWithBothKindsKeepsStreamRequests) {
  KsSimScope sim;
  sim.SetThreshold(0);
  KsSimFilterSpec spec = AudioFilterSpec("Both", true, 0);
  spec.pins.push_back(WaveRtPinSpec(true));
  std::swap(spec.pins[0], spec.pins[1]);  // the real-time pin first
  const int32_t index = sim.Driver().AddFilter(spec);
  CKsStreamDevice stream(false, 512 * 4, 4);
  WAVEFORMATEXTENSIBLE f = Stereo48k();
  ASSERT_TRUE(stream.OpenDevice("Both", &f.Format)) << stream.GetErrorText();
  EXPECT_FALSE(stream.IsRealTime());
  EXPECT_EQ(stream.Pin()->GetId(), 1u);
  EXPECT_EQ(sim.Driver().PinStats(index, 0).createAttempts, 0);
}

TEST(KsWaveRtStream, NeitherPathUsableSaysWhatTheDeviceOffers) {
  KsSimScope sim;
  sim.SetThreshold(0);
  KsSimFilterSpec spec = AudioFilterSpec("RT", true, 0);
  spec.pins[0] = WaveRtPinSpec(true);
  spec.pins[0].rtMaxBufferBytes = 1024;  // every size refused
  sim.Driver().AddFilter(spec);
  {
    CKsStreamDevice stream(false, 512 * 4, 4);
    WAVEFORMATEXTENSIBLE f = Stereo48k();
    EXPECT_FALSE(stream.OpenDevice("RT", &f.Format));
    EXPECT_STREQ(stream.GetErrorText(),
                 "The real-time (WaveRT) pin refused cyclic buffers of 12288 to 24576 bytes (error 50).");
  }
  sim.Driver().Filter(0).pins[0].busy = true;
  {
    CKsStreamDevice stream(false, 512 * 4, 4);
    WAVEFORMATEXTENSIBLE f = Stereo48k();
    EXPECT_FALSE(stream.OpenDevice("RT", &f.Format));
    EXPECT_STREQ(stream.GetErrorText(),
                 "Failed to create output pin (0x8000001A).\n\nSound device busy?\nCheck Rate and Channels.\n\n"
                 "The device offers real-time (WaveRT) pins only; none accepted 48000 Hz, 2 channels.");
  }
  EXPECT_EQ(sim.Driver().OpenHandleCount(), 0);
}

// A render client that misses its turn by more than the audio it had written: counted as
// an underrun, and the hardware meanwhile plays the ring's guard of silence, never the
// buffer's old contents. A capture client held up past the whole ring loses audio but
// never gets a frame twice.
TEST(KsWaveRtStream, StarvedClientsCountUnderrunsAndNothingStaleIsPlayedOrCaptured) {
  KsSimScope sim;
  sim.SetThreshold(0);
  KsSimFilterSpec out = AudioFilterSpec("RT Out", true, 0);
  out.pins[0] = WaveRtPinSpec(true);
  KsSimFilterSpec in = AudioFilterSpec("RT In", false, 1);
  in.pins[0] = WaveRtPinSpec(false);
  in.pins[0].captureCounter = true;
  const int32_t outIndex = sim.Driver().AddFilter(out);
  sim.Driver().AddFilter(in);
  CounterClient render, capture;
  // Blocks of 2048 frames (42.7 ms), two of them buffered, a ring of four (170.7 ms).
  CKsStreamDevice playback(false, 2048 * 4, 2), recording(true, 2048 * 4, 2);
  playback.SetClient(&render);
  recording.SetClient(&capture);
  WAVEFORMATEXTENSIBLE f = Stereo48k();
  ASSERT_TRUE(playback.OpenDevice("RT Out", &f.Format)) << playback.GetErrorText();
  ASSERT_TRUE(recording.OpenDevice("RT In", &f.Format)) << recording.GetErrorText();
  ASSERT_EQ(playback.CyclicBufferBytes(), 4u * 2048 * 4);
  ASSERT_TRUE(WaitFor([&] { return render.calls.load() >= 10 && capture.calls.load() >= 10; }, 10000));
  // Past the 42.7 to 85.3 ms written ahead, short of the guard's end beyond it.
  render.stallMs = 110;
  capture.stallMs = 250;  // past the whole ring
  ASSERT_TRUE(WaitFor([&] { return render.stallMs.load() == 0 && capture.stallMs.load() == 0; }, 5000));
  const int32_t renderCalls = render.calls.load(), captureCalls = capture.calls.load();
  ASSERT_TRUE(WaitFor([&] { return render.calls.load() >= renderCalls + 10 && capture.calls.load() >= captureCalls + 10; }, 10000));
  EXPECT_GE(playback.Underruns(), 1u);
  EXPECT_GE(recording.Underruns(), 1u);
  EXPECT_FALSE(playback.HasError() || recording.HasError());
  playback.StopStream();
  recording.StopStream();
  EXPECT_EQ(capture.captureRepeats.load(), 0);

  // Played: silence, then the counter rising; the stall leaves silence, after which the
  // counter goes on. A value at or below one already played is the old ring replayed.
  const std::vector<int16_t> played = sim.Driver().RenderedSamples(outIndex, 0);
  int32_t last = 0, silentRuns = 0, stale = 0, heard = 0;
  bool inSilence = true;
  for (size_t i = 0; i < played.size(); i += 2) {
    const int32_t v = played[i];
    if (v == 0) {
      if (!inSilence) ++silentRuns;
      inSilence = true;
      continue;
    }
    inSilence = false;
    ++heard;
    if (v <= last && !(last > 30000 && v < 2000)) ++stale;  // the counter wraps at 32000
    last = v;
  }
  EXPECT_EQ(stale, 0);
  EXPECT_GE(silentRuns, 1);
  EXPECT_GT(heard, 2048 * 15);
}

// A device that disappears: its position stops, or its position reads fail. Either ends the
// loop with the side failed and a plain text, within the stall bound; the request loop does
// the same for a driver that stops completing requests.
TEST(KsStall, StoppedPositionFailedPositionAndStoppedRequestsMarkTheSideFailed) {
  struct Case {
    bool realTime;
    double stopAfter;
    int32_t failReadsAfter;
    int32_t stallAfter;
    const char* text;
  } cases[] = {
      {true, 0.3, -1, -1, "Device stopped delivering audio"},
      {true, -1, 40, -1, "Device failed to report its position"},
      {false, -1, -1, 30, "Device stopped delivering audio"},
  };
  for (const Case& c : cases) {
    KsSimScope sim;
    sim.SetThreshold(0);
    KsSimFilterSpec spec = AudioFilterSpec("Dev", false, 0);
    if (c.realTime) spec.pins[0] = WaveRtPinSpec(false);
    spec.pins[0].rtStopPositionAfterSeconds = c.stopAfter;
    spec.pins[0].rtFailPositionAfter = c.failReadsAfter;
    spec.pins[0].stallAfterCompletions = c.stallAfter;
    sim.Driver().AddFilter(spec);
    CounterClient client;
    CKsStreamDevice stream(true, 256 * 4, 4);
    stream.SetClient(&client);
    WAVEFORMATEXTENSIBLE f = Stereo48k();
    ASSERT_TRUE(stream.OpenDevice("Dev", &f.Format)) << stream.GetErrorText();
    EXPECT_EQ(stream.IsRealTime(), c.realTime);
    EXPECT_EQ(stream.StallTimeoutMs(), 500u);  // 4 x 21 ms is below the floor
    const auto started = Clock::now();
    ASSERT_TRUE(WaitFor([&] { return stream.HasError(); }, 5000)) << c.text;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    EXPECT_STREQ(stream.GetErrorText(), c.text);
    if (c.failReadsAfter < 0) {
      EXPECT_GE(took, 500);  // a stall is judged on the bound, not sooner
    }
    EXPECT_GT(client.calls.load(), 0);
    const auto stopAt = Clock::now();
    stream.StopStream();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopAt).count(), 1500);
  }
}

TEST(KsStall, BoundFollowsTheBufferedTime) {
  KsSimScope sim;
  sim.SetThreshold(0);
  sim.Driver().AddFilter(AudioFilterSpec("Dev", true, 0));
  CKsStreamDevice stream(false, 4800 * 4, 8);  // 8 x 100 ms
  WAVEFORMATEXTENSIBLE f = Stereo48k();
  ASSERT_TRUE(stream.OpenDevice("Dev", &f.Format)) << stream.GetErrorText();
  EXPECT_EQ(stream.StallTimeoutMs(), 3200u);
}

}  // namespace
