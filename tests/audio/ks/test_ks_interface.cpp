// CKsAudioInterface and its stream object against the simulated driver: the
// extensible-then-PCM fallback and its log lines, the error texts, the silent first
// buffers of an input and the all-at-once first fill of an output, stopping on a driver
// that keeps its buffers, failed submissions, and repeated open/close without leaks.
#include "audio/ks/KsAudioInterface.h"
#include "KernelStreaming/KsTestSupport.h"
#include "engine/LogPrintf.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct LogCapture {
  LogCapture() { LogSetFunction(&LogCapture::Sink, this); }
  ~LogCapture() { LogSetFunction(nullptr, nullptr); }
  static void Sink(const char* text, void* context) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->text += text;
  }
  std::string Text() {
    std::lock_guard<std::mutex> lock(mutex);
    return text;
  }
  std::mutex mutex;
  std::string text;
};

// Records what the interface hands over; for an output it fills a tone.
class RecordingSink : public AudioBufferSink {
 public:
  explicit RecordingSink(KsSimDriver* driver = nullptr, int32_t filter = 0) : driver_(driver), filter_(filter) {}
  void OnBuffer(CAudioInterface* source, void* data, uint32_t bytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto* samples = static_cast<int16_t*>(data);
    if (!source->IsInput()) {
      for (uint32_t i = 0; i < bytes / 2; ++i) samples[i] = static_cast<int16_t>(1000 + (counter_++ % 7));
    }
    if (buffers_.size() < 32) {
      buffers_.emplace_back(samples, samples + bytes / 2);
      pointers_.push_back(data);
      completionsAtCall_.push_back(driver_ ? driver_->PinStats(filter_, 0).completions : -1);
    }
    calls_.fetch_add(1);
  }
  int Calls() const { return calls_.load(); }
  bool WaitCalls(int n, int timeoutMs = 10000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Calls() < n && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return Calls() >= n;
  }
  std::vector<std::vector<int16_t>> Buffers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffers_;
  }
  std::vector<void*> Pointers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pointers_;
  }
  std::vector<int32_t> CompletionsAtCall() {
    std::lock_guard<std::mutex> lock(mutex_);
    return completionsAtCall_;
  }

 private:
  KsSimDriver* driver_;
  int32_t filter_;
  std::mutex mutex_;
  std::vector<std::vector<int16_t>> buffers_;
  std::vector<void*> pointers_;
  std::vector<int32_t> completionsAtCall_;
  std::atomic<int> calls_{0};
  uint32_t counter_ = 0;
};

AudioOpenParams Params(const std::string& device, int channels, int rate, int frames, int count) {
  AudioOpenParams p;
  p.deviceId = device;
  p.channels = channels;
  p.sampleRate = rate;
  p.bufferFrames = frames;
  p.bufferCount = count;
  return p;
}

bool AllZero(const std::vector<int16_t>& v) {
  for (int16_t s : v)
    if (s != 0) return false;
  return true;
}

TEST(KsAudioInterface, ExtensibleRefusedFallsBackToPcmAndLogsIt) {
  KsSimScope sim;
  sim.SetThreshold(0);
  KsSimFilterSpec spec = AudioFilterSpec("Speakers", true, 0);
  spec.pins[0].acceptExtensible = false;
  int32_t index = sim.Driver().AddFilter(spec);
  LogCapture log;
  RecordingSink sink;
  CKsAudioInterface out(false);
  out.SetSink(&sink);
  EXPECT_EQ(out.GetType(), kAudioTypeKernelStreaming);
  ASSERT_EQ(out.Open(Params("Speakers", 2, 48000, 256, 3)), 0) << out.ErrorText();
  EXPECT_STREQ(out.ErrorText(), "Opened OK!");
  EXPECT_EQ(log.Text(), "KS: Trying to open stereo output as 2 ch 48000 hz... Extensible failed, success!\n");
  EXPECT_EQ(sim.Driver().PinStats(index, 0).lastFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(out.GetBytesPerFrame(), 4);
  EXPECT_EQ(out.GetLatency(), 3 * 256);
  EXPECT_TRUE(sink.WaitCalls(10));
  EXPECT_TRUE(out.IsRunning());
  out.Close();
  EXPECT_FALSE(out.IsRunning());
  EXPECT_EQ(out.GetLatency(), 0);
  EXPECT_EQ(out.GetBytesPerFrame(), 0);
  // The pin went PAUSE, RUN at open and PAUSE, STOP at stop, then STOP again at close.
  std::vector<KSSTATE> expected = {KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_STOP, KSSTATE_STOP};
  EXPECT_EQ(sim.Driver().PinStats(index, 0).states, expected);
  EXPECT_EQ(sim.Driver().OpenHandleCount(), 0);

  // A driver that takes the extensible format opens at once.
  sim.Driver().Filter(index).pins[0].acceptExtensible = true;
  LogCapture log2;
  ASSERT_EQ(out.Open(Params("Speakers", 2, 44100, 256, 3)), 0);
  EXPECT_EQ(log2.Text(), "KS: Trying to open stereo output as 2 ch 44100 hz... success!\n");
  EXPECT_EQ(sim.Driver().PinStats(index, 0).lastFormatTag, WAVE_FORMAT_EXTENSIBLE);
}

TEST(KsAudioInterface, ErrorTexts) {
  KsSimScope sim;
  sim.SetThreshold(0);
  KsSimFilterSpec busy = AudioFilterSpec("Busy Speakers", true, 0);
  busy.pins[0].busy = true;
  sim.Driver().AddFilter(busy);
  KsSimFilterSpec mic = AudioFilterSpec("Busy Mic", false, 1);
  mic.pins[0].busy = true;
  sim.Driver().AddFilter(mic);
  sim.Driver().AddFilter(AudioFilterSpec("Good Speakers", true, 2));

  CKsAudioInterface out(false);
  CKsAudioInterface in(true);
  {
    LogCapture log;
    EXPECT_EQ(out.Open(Params("Busy Speakers", 2, 48000, 256, 3)), 1);
    EXPECT_STREQ(out.ErrorText(),
                 "Failed to create output pin (0x8000001A).\n\nSound device busy?\nCheck Rate and Channels.");
    EXPECT_EQ(log.Text(), "KS: Trying to open stereo output as 2 ch 48000 hz... Extensible failed, Normal failed.\n");
  }
  EXPECT_EQ(in.Open(Params("busy mic", 2, 48000, 256, 3)), 1);  // names match ignoring case
  EXPECT_STREQ(in.ErrorText(), "Failed to create input pin (0x8000001B)");
  EXPECT_EQ(out.Open(Params("Default Device", 2, 48000, 256, 3)), 1);
  EXPECT_STREQ(out.ErrorText(), "Output device not found (0x80000048)");
  EXPECT_EQ(in.Open(Params("Default Device", 2, 48000, 256, 3)), 1);
  EXPECT_STREQ(in.ErrorText(), "Input device not found (0x80000049)");
  EXPECT_EQ(out.Open(Params("None", 2, 48000, 256, 3)), 2);
  EXPECT_STREQ(out.ErrorText(), "No Output Device Selected");
  EXPECT_EQ(in.Open(Params("", 2, 48000, 256, 3)), 2);
  EXPECT_STREQ(in.ErrorText(), "No Input Device Selected");
  EXPECT_EQ(out.Open(Params("Good Speakers", 2, 48000, 256, 64)), 1);  // beyond one wait
  EXPECT_EQ(out.Stream(), nullptr);

  // The device list gives paths as identifiers; both a path and a name open the device.
  ASSERT_EQ(out.GetDeviceCount(), 2);
  AudioDeviceInfo info;
  out.GetDeviceInfo(&info, 1);
  EXPECT_EQ(info.name, "Good Speakers");
  EXPECT_EQ(info.identifier, AudioFilterSpec("", true, 2).devicePath);
  ASSERT_EQ(out.Open(Params(info.identifier, 2, 48000, 256, 3)), 0);
  EXPECT_EQ(out.Open(Params(info.identifier, 2, 48000, 512, 6)), 1);
  EXPECT_STREQ(out.ErrorText(), "Output Object Already Opened");
  EXPECT_EQ(out.GetLatency(), 3 * 256);  // the running stream's figures stay
  EXPECT_TRUE(out.IsRunning());  // the first open is untouched
  out.Close();
  EXPECT_EQ(in.GetDeviceCount(), 1);
  // The listing object is built once; a device added later is not listed.
  sim.Driver().AddFilter(AudioFilterSpec("Late Speakers", true, 3));
  EXPECT_EQ(out.GetDeviceCount(), 2);

  for (int c : {3, 4, 5, 7}) EXPECT_EQ(KsChannelMask(c), 0u);
  EXPECT_EQ(KsChannelMask(1), 0x4u);
  EXPECT_EQ(KsChannelMask(2), 0x3u);
  EXPECT_EQ(KsChannelMask(6), 0x3Fu);
  EXPECT_EQ(KsChannelMask(8), 0xFFu);
}

TEST(KsAudioInterface, InputDeliversTheZeroFilledBuffersFirst) {
  KsSimScope sim;
  sim.SetThreshold(0);
  sim.Driver().AddFilter(AudioFilterSpec("Mic", false, 0));
  RecordingSink sink;
  CKsAudioInterface in(true);
  in.SetSink(&sink);
  const int n = 4;
  ASSERT_EQ(in.Open(Params("Mic", 2, 48000, 480, n)), 0) << in.ErrorText();
  ASSERT_TRUE(sink.WaitCalls(n + 4));
  in.Close();
  auto buffers = sink.Buffers();
  for (int i = 0; i < n; ++i) EXPECT_TRUE(AllZero(buffers[static_cast<size_t>(i)])) << "buffer " << i;
  for (size_t i = n; i < buffers.size(); ++i) EXPECT_FALSE(AllZero(buffers[i])) << "buffer " << i;
  EXPECT_EQ(buffers[0].size(), 480u * 2);
  EXPECT_EQ(sim.Driver().OpenHandleCount(), 0);
}

TEST(KsAudioInterface, OutputFillsEveryBufferAtOnceInIndexOrder) {
  KsSimScope sim;
  sim.SetThreshold(0);
  int32_t index = sim.Driver().AddFilter(AudioFilterSpec("Speakers", true, 0));
  RecordingSink sink(&sim.Driver(), index);
  CKsAudioInterface out(false);
  out.SetSink(&sink);
  const int n = 5;
  ASSERT_EQ(out.Open(Params("Speakers", 2, 48000, 480, n)), 0);
  ASSERT_TRUE(sink.WaitCalls(n + 2));
  out.Close();
  auto completions = sink.CompletionsAtCall();
  auto pointers = sink.Pointers();
  for (int i = 0; i < n; ++i) EXPECT_EQ(completions[static_cast<size_t>(i)], 0) << "call " << i;
  KsSimPinStats stats = sim.Driver().PinStats(index, 0);
  ASSERT_GE(stats.firstSubmittedData.size(), static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(stats.firstSubmittedData[static_cast<size_t>(i)], pointers[static_cast<size_t>(i)]);
    if (i > 0)
      EXPECT_EQ(static_cast<uint8_t*>(pointers[static_cast<size_t>(i)]) -
                    static_cast<uint8_t*>(pointers[static_cast<size_t>(i - 1)]),
                480 * 4);
  }
  // What the sink wrote is what the driver played.
  std::vector<int16_t> played = sim.Driver().RenderedSamples(index, 0);
  auto buffers = sink.Buffers();
  ASSERT_GE(played.size(), buffers[0].size());
  EXPECT_TRUE(std::equal(buffers[0].begin(), buffers[0].end(), played.begin()));
}

TEST(KsAudioInterface, StopEndsWithinTheDrainWaitsWhenTheDriverKeepsBuffers) {
  KsSimScope sim;
  sim.SetThreshold(0);
  KsSimFilterSpec spec = AudioFilterSpec("Sticky", true, 0);
  spec.pins[0].stallAfterCompletions = 6;
  spec.pins[0].holdBuffersAtStop = true;
  int32_t index = sim.Driver().AddFilter(spec);
  KsSimFilterSpec mic = AudioFilterSpec("Sticky Mic", false, 1);
  mic.pins[0].stallAfterCompletions = 6;
  mic.pins[0].holdBuffersAtStop = true;
  sim.Driver().AddFilter(mic);
  RecordingSink sink;
  for (bool input : {false, true}) {
    CKsAudioInterface dev(input);
    dev.SetSink(&sink);
    ASSERT_EQ(dev.Open(Params(input ? "Sticky Mic" : "Sticky", 2, 48000, 480, 4)), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the driver now holds all
    EXPECT_GT(sim.Driver().PendingRequestCount(), 0);
    uint64_t passes = dev.Stream()->LoopPasses();
    auto start = Clock::now();
    dev.Close();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_LT(seconds, 2.8) << (input ? "input" : "output");
    if (!input) EXPECT_GT(seconds, 0.9);  // the output waited for its buffers to drain
    (void)passes;
    EXPECT_EQ(sim.Driver().OpenHandleCount(), 0);
    EXPECT_EQ(sim.Driver().PendingRequestCount(), 0);
  }
  EXPECT_GT(sim.Driver().PinStats(index, 0).cancellations, 0);
}

// While an output stops, the buffers still with the driver come back one by one during
// the drain wait; the first becomes current and keeps its event signalled. The loop must
// not spin on it at time-critical priority until the drain ends.
TEST(KsStreamDevice, StoppingDoesNotSpin) {
  KsSimScope sim;
  sim.SetThreshold(0);
  sim.Driver().AddFilter(AudioFilterSpec("Speakers", true, 0));
  CKsStreamDevice stream(false, 2400 * 4, 4);  // 4 x 50 ms: a drain of up to 200 ms
  WAVEFORMATEXTENSIBLE f = MakeFormat(2, 48000, true);
  ASSERT_TRUE(stream.OpenDevice("Speakers", &f.Format)) << stream.GetErrorText();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const uint64_t before = stream.LoopPasses();
  auto start = Clock::now();
  stream.StopStream();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GT(seconds, 0.05);  // it did wait for returning buffers
  EXPECT_LT(seconds, 2.8);
  EXPECT_LT(stream.LoopPasses() - before, 50u);
  EXPECT_EQ(stream.GetState(), CKsStreamDevice::kIdle);
}

TEST(KsAudioInterface, FailedSubmissionSetsTheErrorFlag) {
  KsSimScope sim;
  sim.SetThreshold(0);
  KsSimFilterSpec spec = AudioFilterSpec("Speakers", true, 0);
  spec.pins[0].failSubmissionAfter = 6;
  sim.Driver().AddFilter(spec);
  KsSimFilterSpec mic = AudioFilterSpec("Mic", false, 1);
  mic.pins[0].failSubmissionAfter = 6;
  sim.Driver().AddFilter(mic);
  RecordingSink sink;
  for (bool input : {false, true}) {
    CKsAudioInterface dev(input);
    dev.SetSink(&sink);
    ASSERT_EQ(dev.Open(Params(input ? "Mic" : "Speakers", 2, 48000, 480, 4)), 0);
    auto end = Clock::now() + std::chrono::seconds(10);
    while (!dev.HasFailed() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(dev.HasFailed());
    if (!input) EXPECT_STREQ(dev.Stream()->GetErrorText(), "KS write failed!\n");
    // A refused read is the driver's failure too, not a failed open.
    if (input) EXPECT_STREQ(dev.Stream()->GetErrorText(), "KS capture request failed!\n");
    int calls = sink.Calls();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sink.Calls(), calls);  // no further buffers are exchanged
    auto start = Clock::now();
    dev.Close();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);  // no drain wait
    EXPECT_FALSE(dev.HasFailed());
  }
  EXPECT_EQ(sim.Driver().OpenHandleCount(), 0);
}

namespace {
// Records what a capture stream delivers; stalls in the callback for every buffer whose
// slot is `stallSlot`, so the buffers queued behind it complete meanwhile.
struct CaptureRecorder : KsStreamClient {
  uint32_t bufferBytes = 0;
  int32_t stallSlot = -1;
  int32_t stallMs = 0;
  int stallFromCall = 0;  // the buffers that start out free are not stalled on
  std::mutex mutex;
  std::vector<std::vector<int16_t>> buffers;
  std::vector<uint8_t*> pointers;
  std::atomic<int> calls{0};
  void BufferDone(CKsStreamDevice*) override {}
  bool Render(CKsStreamDevice*, void*, uint32_t) override { return true; }
  bool Captured(CKsStreamDevice*, void* data, uint32_t bytes) override {
    auto* samples = static_cast<int16_t*>(data);
    int32_t slot = -1;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!pointers.empty()) slot = static_cast<int32_t>((static_cast<uint8_t*>(data) - pointers[0]) / bufferBytes);
      if (buffers.size() < 200) {
        buffers.emplace_back(samples, samples + bytes / 2);
        pointers.push_back(static_cast<uint8_t*>(data));
      }
    }
    const int call = calls.fetch_add(1);
    if (slot == stallSlot && call >= stallFromCall && call < 40)
      std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
    return true;
  }
  bool WaitCalls(int n) {
    auto end = Clock::now() + std::chrono::seconds(10);
    while (calls.load() < n && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return calls.load() >= n;
  }
};
}  // namespace

// Three 10 ms buffers; while the client sits 60 ms on buffer 1, buffers 2 and 0 both
// complete. The wait names 0 first, yet 2 holds the older audio: served in ring order, the
// device's frame counter only ever moves forward from one buffer to the next.
TEST(KsStreamDevice, CaptureServesBuffersInRingOrderAfterALateWake) {
  KsSimScope sim;
  sim.SetThreshold(0);
  KsSimFilterSpec mic = AudioFilterSpec("Mic", false, 0);
  mic.pins[0].captureCounter = true;
  sim.Driver().AddFilter(mic);
  const uint32_t n = 3, bytes = 480 * 4;
  CaptureRecorder rec;
  rec.bufferBytes = bytes;
  rec.stallSlot = 1;
  rec.stallMs = 60;
  rec.stallFromCall = 2 * n;  // from a steady rotation 0, 1, 2 on
  CKsStreamDevice stream(true, bytes, n);
  stream.SetClient(&rec);
  WAVEFORMATEXTENSIBLE f = MakeFormat(2, 48000, true);
  ASSERT_TRUE(stream.OpenDevice("Mic", &f.Format)) << stream.GetErrorText();
  ASSERT_TRUE(rec.WaitCalls(30));
  stream.StopStream();
  std::lock_guard<std::mutex> lock(rec.mutex);
  int wraps = 0;
  for (size_t i = n + 1; i < rec.buffers.size(); ++i) {
    const auto step = static_cast<uint16_t>((rec.buffers[i][0] - rec.buffers[i - 1][0]) & 0x7FFF);
    EXPECT_TRUE(step > 0 && step < 0x4000) << "buffer " << i << " goes back in time";
    if (rec.pointers[i] < rec.pointers[i - 1]) ++wraps;
  }
  EXPECT_GE(wraps, 5);
}

// A request the driver ends with an error holds no audio: it is not delivered and stops
// the loop with the failure flag. A short one delivers only the bytes it holds.
TEST(KsStreamDevice, FailedAndShortCaptureRequests) {
  KsSimScope sim;
  sim.SetThreshold(0);
  KsSimFilterSpec mic = AudioFilterSpec("Mic", false, 0);
  mic.pins[0].shortCompletionAt = 1;
  mic.pins[0].shortCompletionBytes = 100 * 4;
  mic.pins[0].failCompletionAt = 4;
  sim.Driver().AddFilter(mic);
  const uint32_t n = 3, bytes = 480 * 4;
  CaptureRecorder rec;
  rec.bufferBytes = bytes;
  CKsStreamDevice stream(true, bytes, n);
  stream.SetClient(&rec);
  WAVEFORMATEXTENSIBLE f = MakeFormat(2, 48000, true);
  ASSERT_TRUE(stream.OpenDevice("Mic", &f.Format)) << stream.GetErrorText();
  auto end = Clock::now() + std::chrono::seconds(10);
  while (!stream.HasError() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(stream.HasError());
  EXPECT_STREQ(stream.GetErrorText(), "KS capture request failed!\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  stream.StopStream();
  std::lock_guard<std::mutex> lock(rec.mutex);
  // The n free buffers of the start, then completions 0 to 3; completion 4 failed.
  ASSERT_EQ(rec.buffers.size(), n + 4);
  EXPECT_EQ(rec.buffers[n].size(), bytes / 2);
  EXPECT_EQ(rec.buffers[n + 1].size(), 100u * 2);
  EXPECT_EQ(rec.buffers[n + 2].size(), bytes / 2);
}

TEST(KsAudioInterface, OpenCloseFiftyTimesLeavesNothingBehind) {
  KsSimScope sim;
  sim.SetThreshold(0);
  sim.Driver().AddFilter(AudioFilterSpec("Speakers", true, 0));
  sim.Driver().AddFilter(AudioFilterSpec("Mic", false, 1));
  RecordingSink sink;
  CKsAudioInterface out(false);
  CKsAudioInterface in(true);
  out.SetSink(&sink);
  in.SetSink(&sink);
  for (int i = 0; i < 50; ++i) {
    CKsAudioInterface& dev = (i % 2) ? in : out;
    ASSERT_EQ(dev.Open(Params(i % 2 ? "Mic" : "Speakers", 2, 48000, 128, 3)), 0) << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    dev.Close();
    ASSERT_EQ(sim.Driver().OpenHandleCount(), 0) << i;
    ASSERT_EQ(KsObjectCounts::filters.load(), 0) << i;
    ASSERT_EQ(KsObjectCounts::pins.load(), 0) << i;
  }
  EXPECT_GT(sink.Calls(), 50);
}

}  // namespace

namespace {

// The switch a test build of the program uses: with VELORAND_KS_SIMULATED set, the "KS"
// device lists show the standard simulated devices, which open and stream.
TEST(KsSimulatedSwitch, EnvironmentInstallsTheStandardDevices) {
  SetEnvironmentVariableA("VELORAND_KS_SIMULATED", nullptr);
  _putenv("VELORAND_KS_SIMULATED=");
  EXPECT_EQ(KsSimInstallFromEnvironment(), nullptr);
  _putenv("VELORAND_KS_SIMULATED=1");
  KsSimDriver* driver = KsSimInstallFromEnvironment();
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(KsGetSystem(), driver);
  EXPECT_EQ(KsSimInstallStandardDevices(), driver);  // one driver for the process
  {
    CKsAudioInterface out(false), in(true);
    ASSERT_EQ(out.GetDeviceCount(), 1);
    ASSERT_EQ(in.GetDeviceCount(), 1);
    AudioDeviceInfo info;
    out.GetDeviceInfo(&info, 0);
    EXPECT_EQ(info.name, "Simulated KS Speakers");
    in.GetDeviceInfo(&info, 0);
    EXPECT_EQ(info.name, "Simulated KS Microphone");
    RecordingSink sink;
    in.SetSink(&sink);
    ASSERT_EQ(in.Open(Params(info.identifier, 2, 48000, 256, 4)), 0) << in.ErrorText();
    EXPECT_TRUE(sink.WaitCalls(8));
    in.Close();
  }
  EXPECT_EQ(driver->OpenHandleCount(), 0);
  KsSetSystem(nullptr);
  _putenv("VELORAND_KS_SIMULATED=");
}

}  // namespace

namespace {

// The Win32 seam under Wine, which has no kernel-streaming audio devices: the lists are
// empty, opening fails with the device text, nothing is left open.
TEST(KsWin32System, NoKernelStreamingDevicesUnderWine) {
  ASSERT_EQ(KsSetSystem(nullptr), KsGetSystem());  // the Win32 implementation is in use
  const GUID categories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
  HRESULT hr;
  {
    CKsFilterEnumerator e(&hr);
    EXPECT_EQ(e.EnumerateFilters(kKsFilterRender, categories, 2, true, false, true), E_FAIL);
    EXPECT_EQ(e.Filters().Count(), 0);
  }
  CKsAudioInterface out(false);
  EXPECT_EQ(out.GetDeviceCount(), 0);
  EXPECT_EQ(out.Open(Params("\\\\?\\root#media#0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\wave", 2, 48000, 256, 3)), 1);
  EXPECT_STREQ(out.ErrorText(), "Output device not found (0x80000048)");
  EXPECT_EQ(KsObjectCounts::filters.load(), 0);
  // A device path that does not exist fails to open through the real CreateFile.
  CKsFilter filter("\\\\?\\no#such#device#{6994ad04-93ef-11d0-a3cc-00a0c9223196}", &hr, "");
  EXPECT_EQ(filter.Instantiate(), E_FAIL);
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(filter.GetHandle()));
}

}  // namespace
