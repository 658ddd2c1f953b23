// CWaveAudioInterface against a scripted wave driver (no sound server needed): the device
// list, every open failure and its text, what a failed open gives back, prefill, the
// queue-order loop and a failure inside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/wave/WaveAudioInterface.h"
#include "engine/MmClock.h"

#include <mmreg.h>
#include "support/WorkerThread.h"

namespace {

struct FakeWaveDriver : WaveDriver {
  struct Dev {
    std::string name;
    std::wstring path;  // empty: the driver reports no interface path
  };
  std::vector<Dev> devices;
  MMRESULT openResult = MMSYSERR_NOERROR;
  int failPrepareAt = -1, failQueueAt = -1;  // header index
  bool failRequeue = false;                  // every Queue after open fails
  std::atomic<bool> opened{false};
  HANDLE event = nullptr;
  WAVEFORMATEXTENSIBLE format{};     // the last format offered, extensible part included
  std::vector<WORD> offeredTags;     // wFormatTag of every open attempt
  bool refuseExtensible = false;
  MMRESULT startResult = MMSYSERR_NOERROR;
  int completeOnStart = 0;           // buffers the device finishes inside waveInStart
  ULONG reportedPathSize = 0;        // non-zero: the size message reports this instead
  UINT openedDevice = 0;
  int opens = 0, closes = 0, resets = 0, prepared = 0, starts = 0;
  std::mutex mutex;
  std::vector<DWORD_PTR> queued;  // dwUser of every Queue, in order
  WAVEHDR* headers[64] = {};

  UINT NumDevs(bool) override { return static_cast<UINT>(devices.size()); }
  MMRESULT GetProductName(bool, UINT d, std::string* name) override {
    if (d >= devices.size()) return MMSYSERR_BADDEVICEID;
    *name = devices[d].name;
    return MMSYSERR_NOERROR;
  }
  MMRESULT DeviceMessage(bool, UINT d, UINT msg, DWORD_PTR p1, DWORD_PTR p2) override {
    if (d >= devices.size()) return MMSYSERR_BADDEVICEID;
    const std::wstring& path = devices[d].path;
    if (msg == 2061) {
      *reinterpret_cast<ULONG*>(p1) = reportedPathSize != 0 ? reportedPathSize
                                      : path.empty()        ? 0
                                                            : static_cast<ULONG>((path.size() + 1) * sizeof(WCHAR));
      return MMSYSERR_NOERROR;
    }
    if (msg == 2060) {
      if (p2 < (path.size() + 1) * sizeof(WCHAR)) return MMSYSERR_INVALPARAM;
      std::copy(path.c_str(), path.c_str() + path.size() + 1, reinterpret_cast<WCHAR*>(p1));
      return MMSYSERR_NOERROR;
    }
    return MMSYSERR_NOTSUPPORTED;
  }
  MMRESULT Open(bool, HANDLE* h, UINT d, const WAVEFORMATEX* f, HANDLE e) override {
    ++opens;
    offeredTags.push_back(f->wFormatTag);
    format = {};
    std::memcpy(&format, f, sizeof(WAVEFORMATEX) + (f->wFormatTag == WAVE_FORMAT_PCM ? 0 : std::min<WORD>(f->cbSize, 22)));
    if (openResult != MMSYSERR_NOERROR) return openResult;
    if (refuseExtensible && f->wFormatTag == WAVE_FORMAT_EXTENSIBLE) return WAVERR_BADFORMAT;
    openedDevice = d;
    event = e;
    *h = reinterpret_cast<HANDLE>(0x5150);
    opened = true;
    return MMSYSERR_NOERROR;
  }
  MMRESULT Prepare(bool, HANDLE, WAVEHDR* h) override {
    if (static_cast<int>(h->dwUser) == failPrepareAt) return MMSYSERR_NOMEM;
    h->dwFlags |= WHDR_PREPARED;
    ++prepared;
    headers[h->dwUser] = h;
    return MMSYSERR_NOERROR;
  }
  MMRESULT Unprepare(bool, HANDLE, WAVEHDR* h) override {
    h->dwFlags &= ~static_cast<DWORD>(WHDR_PREPARED);
    --prepared;
    return MMSYSERR_NOERROR;
  }
  MMRESULT Queue(bool, HANDLE, WAVEHDR* h) override {
    std::lock_guard<std::mutex> g(mutex);
    if (static_cast<int>(h->dwUser) == failQueueAt || failRequeue) return MMSYSERR_ERROR;
    queued.push_back(h->dwUser);
    std::atomic_ref<DWORD>(h->dwFlags).fetch_or(WHDR_INQUEUE);
    return MMSYSERR_NOERROR;
  }
  MMRESULT StartInput(HANDLE) override {
    ++starts;
    for (int i = 0; i < completeOnStart; ++i) Complete(i, 64);
    return startResult;
  }
  MMRESULT Halt(bool, HANDLE) override { return MMSYSERR_NOERROR; }
  MMRESULT Reset(bool, HANDLE) override {
    ++resets;
    return MMSYSERR_NOERROR;
  }
  MMRESULT Close(bool, HANDLE) override {
    ++closes;
    opened = false;
    return MMSYSERR_NOERROR;
  }
  // What the driver does when the device finished buffer i.
  void Complete(int i, DWORD recorded) {
    WAVEHDR* h = headers[i];
    h->dwBytesRecorded = recorded;
    std::atomic_ref<DWORD> flags(h->dwFlags);
    flags.fetch_and(~static_cast<DWORD>(WHDR_INQUEUE));
    flags.fetch_or(WHDR_DONE);
    SetEvent(event);
  }
  std::vector<DWORD_PTR> Queued() {
    std::lock_guard<std::mutex> g(mutex);
    return queued;
  }
};

struct RecordingSink : AudioBufferSink {
  std::mutex mutex;
  std::vector<std::pair<void*, uint32_t>> calls;
  std::vector<DWORD> threads;
  void OnBuffer(CAudioInterface*, void* data, uint32_t bytes) override {
    std::lock_guard<std::mutex> g(mutex);
    calls.emplace_back(data, bytes);
    threads.push_back(GetCurrentThreadId());
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(mutex);
    return calls.size();
  }
};

AudioOpenParams Params(const char* device, int32_t count = 4, int32_t frames = 256) {
  AudioOpenParams p;
  p.deviceId = device;
  p.sampleRate = 44100;
  p.channels = 2;
  p.bufferFrames = frames;
  p.bufferCount = count;
  return p;
}

template <typename F>
bool WaitFor(F cond) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Sleep(1);
  }
  return true;
}

struct TwoDevices : FakeWaveDriver {
  TwoDevices() { devices = {{"CableA", L"\\\\?\\SWD#MMDEVAPI#{0.0.0.00000000}.{aaaa}"}, {"CableB", L""}}; }
};
}  // namespace

TEST(WaveInterface, DeviceListHasTheDefaultEntryAndPrefersInterfacePaths) {
  TwoDevices drv;
  CWaveAudioInterface wave(false, &drv);
  EXPECT_EQ(wave.GetType(), kAudioTypeWave);
  EXPECT_TRUE(wave.HasDefaultDevice());
  EXPECT_TRUE(wave.IsDefaultDeviceName("default device"));
  EXPECT_FALSE(wave.IsDefaultDeviceName("CableA"));
  ASSERT_EQ(wave.GetDeviceCount(), 3);
  AudioDeviceInfo info;
  wave.GetDeviceInfo(&info, 0);
  EXPECT_EQ(info.name, "Default Device");
  EXPECT_EQ(info.identifier, "WAVE_MAPPER");
  wave.GetDeviceInfo(&info, 1);
  EXPECT_EQ(info.name, "CableA");
  EXPECT_EQ(info.identifier, "\\\\?\\SWD#MMDEVAPI#{0.0.0.00000000}.{aaaa}");
  EXPECT_EQ(info.deviceIndex, 0);
  wave.GetDeviceInfo(&info, 2);  // entry 2 is platform device 1
  EXPECT_EQ(info.name, "CableB");
  EXPECT_EQ(info.identifier, "CableB");  // no path: the product name
  EXPECT_EQ(info.deviceIndex, 1);

  drv.reportedPathSize = 0x7FFFFFF0;  // not believed: no allocation, the name stays
  wave.GetDeviceInfo(&info, 1);
  EXPECT_EQ(info.identifier, "CableA");
  drv.reportedPathSize = 0;

  wave.SetAllowDefaultDevice(false);
  ASSERT_EQ(wave.GetDeviceCount(), 2);
  wave.GetDeviceInfo(&info, 0);
  EXPECT_EQ(info.name, "CableA");
  EXPECT_EQ(info.deviceIndex, 0);
}

TEST(WaveInterface, OpenFailuresAndTheirTexts) {
  TwoDevices drv;
  CWaveAudioInterface in(true, &drv);
  CWaveAudioInterface out(false, &drv);
  EXPECT_EQ(in.Open(Params("(NONE)")), 2);
  EXPECT_STREQ(in.ErrorText(), "No Input Device Selected");
  EXPECT_EQ(out.Open(Params("")), 2);
  EXPECT_STREQ(out.ErrorText(), "No Output Device Selected");

  out.SetAllowDefaultDevice(false);
  EXPECT_EQ(out.Open(Params("DEFAULT")), 1);
  EXPECT_STREQ(out.ErrorText(), "Default output device not allowed - must select explicitly.");
  in.SetAllowDefaultDevice(false);
  EXPECT_EQ(in.Open(Params("wave_mapper")), 1);
  EXPECT_STREQ(in.ErrorText(), "Default input device not allowed - must select explicitly.");

  EXPECT_EQ(out.Open(Params("CableC")), 1);
  EXPECT_STREQ(out.ErrorText(), "Couldn't find output device \"CableC\"");
  std::string longName(300, 'x');
  EXPECT_EQ(in.Open(Params(longName.c_str())), 1);
  EXPECT_EQ(std::string(in.ErrorText()).size(), 255u);
  EXPECT_EQ(std::string(in.ErrorText()).rfind("Couldn't find input device \"xxx", 0), 0u);
  EXPECT_EQ(drv.opens, 0);

  drv.openResult = WAVERR_BADFORMAT;
  EXPECT_EQ(out.Open(Params("cableb")), 1);  // found by product name in any case
  EXPECT_STREQ(out.ErrorText(), "ERROR - Couldn't open 44100 hz, 2 ch, 16 bits");
  EXPECT_EQ(drv.opens, 1);
  EXPECT_FALSE(out.IsRunning());

  drv.openResult = MMSYSERR_NOERROR;
  AudioOpenParams fast = Params("CableB");
  fast.sampleRate = 768000;  // never reaches the driver (Wine's PulseAudio back end aborts)
  EXPECT_EQ(out.Open(fast), 1);
  EXPECT_STREQ(out.ErrorText(), "ERROR - Couldn't open 768000 hz, 2 ch, 16 bits");
  EXPECT_EQ(drv.opens, 1);
  EXPECT_EQ(out.Open(Params("CableB", 37)), 1);
  EXPECT_STREQ(out.ErrorText(), "Invalid buffer count 37 (1 to 36)");
  EXPECT_EQ(drv.opens, 1);
}

TEST(WaveInterface, AFailedBufferStepGivesBackBuffersAndTheDevice) {
  TwoDevices drv;
  CWaveAudioInterface out(false, &drv);
  drv.failPrepareAt = 2;
  EXPECT_EQ(out.Open(Params("\\\\?\\SWD#MMDEVAPI#{0.0.0.00000000}.{AAAA}")), 1);  // path, any case
  EXPECT_STREQ(out.ErrorText(), "Error: Wave buffer preparation failed\n");
  EXPECT_EQ(drv.openedDevice, 0u);
  EXPECT_EQ(drv.prepared, 0);  // headers 0 and 1 unprepared again
  EXPECT_EQ(drv.resets, 1);
  EXPECT_EQ(drv.closes, 1);  // and the device closed: no handle leaks
  EXPECT_FALSE(out.IsRunning());
  EXPECT_EQ(out.GetBytesPerFrame(), 0);

  drv.failPrepareAt = -1;
  drv.failQueueAt = 1;
  CWaveAudioInterface in(true, &drv);
  EXPECT_EQ(in.Open(Params("CableB")), 1);
  EXPECT_STREQ(in.ErrorText(), "Error: Wave buffer driver handoff failed\n");
  EXPECT_EQ(drv.prepared, 0);
  EXPECT_EQ(drv.closes, 2);
  EXPECT_EQ(drv.starts, 0);

  // A worker that cannot start: the open fails instead of leaving a stream nobody serves.
  drv.failQueueAt = -1;
  WorkerThread::FailNextStartsForTesting(1);
  EXPECT_EQ(in.Open(Params("CableB")), 1);
  EXPECT_STREQ(in.ErrorText(), "Couldn't start the input streaming thread: the system refused to create the thread");
  EXPECT_FALSE(in.IsRunning());
  EXPECT_EQ(drv.prepared, 0);
  EXPECT_EQ(drv.closes, 3);
  in.Close();  // closing a closed interface does nothing more
  EXPECT_EQ(drv.closes, 3);
}

TEST(WaveInterface, PrefillAsksTheSinkForBuffersOneToThreeAndLatencyFollowsTheGeometry) {
  TwoDevices drv;
  RecordingSink sink;
  CWaveAudioInterface out(false, &drv);
  out.SetSink(&sink);
  AudioOpenParams p = Params("Default", 4, 256);
  p.prefillOutput = 1;
  ASSERT_EQ(out.Open(p), 0) << out.ErrorText();
  EXPECT_EQ(drv.openedDevice, WAVE_MAPPER);
  EXPECT_EQ(drv.format.Format.nBlockAlign, 4);
  EXPECT_EQ(drv.format.Format.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(drv.format.Format.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(out.GetBytesPerFrame(), 4);
  EXPECT_EQ(out.GetLatency(), 768);
  EXPECT_TRUE(out.IsRunning());
  ASSERT_EQ(sink.Count(), 3u);  // buffers 1, 2, 3 filled during open, on this thread
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sink.calls[i].first, drv.headers[i + 1]->lpData);
    EXPECT_EQ(sink.calls[i].second, 1024u);
    EXPECT_EQ(sink.threads[i], GetCurrentThreadId());
  }
  EXPECT_EQ(drv.Queued(), (std::vector<DWORD_PTR>{0, 1, 2, 3}));
  EXPECT_EQ(out.Worker().GetPriority(), 15);
  EXPECT_EQ(out.Worker().GetActiveCount(), 1);
  out.Close();
  EXPECT_FALSE(out.IsRunning());
  EXPECT_EQ(out.GetLatency(), 0);
  EXPECT_EQ(out.Worker().GetActiveCount(), 0);
  EXPECT_EQ(drv.prepared, 0);
  EXPECT_EQ(drv.closes, 1);

  RecordingSink none;
  out.SetSink(&none);
  p.prefillOutput = 0;
  ASSERT_EQ(out.Open(p), 0);
  EXPECT_EQ(none.Count(), 0u);
  out.Close();
}

TEST(WaveInterface, LoopHandsBuffersOverInQueueOrder) {
  TwoDevices drv;
  RecordingSink sink;
  CWaveAudioInterface in(true, &drv);
  in.SetSink(&sink);
  ASSERT_EQ(in.Open(Params("CableA", 3, 64)), 0);
  EXPECT_EQ(drv.starts, 1);
  drv.Complete(1, 256);  // out of order: must wait for buffer 0
  Sleep(200);
  EXPECT_EQ(sink.Count(), 0u);
  drv.Complete(0, 100);
  ASSERT_TRUE(WaitFor([&] { return sink.Count() == 2; }));
  EXPECT_EQ(sink.calls[0].first, drv.headers[0]->lpData);
  EXPECT_EQ(sink.calls[0].second, 100u);  // bytes recorded
  EXPECT_EQ(sink.calls[1].first, drv.headers[1]->lpData);
  EXPECT_NE(sink.threads[0], GetCurrentThreadId());
  drv.Complete(2, 256);
  drv.Complete(0, 256);  // wraps around
  ASSERT_TRUE(WaitFor([&] { return sink.Count() == 4; }));
  EXPECT_EQ(sink.calls[3].first, drv.headers[0]->lpData);
  EXPECT_EQ(drv.Queued(), (std::vector<DWORD_PTR>{0, 1, 2, 0, 1, 2, 0}));
  EXPECT_FALSE(in.HasFailed());
  in.Close();
  EXPECT_EQ(in.Worker().GetActiveCount(), 0);
}

TEST(WaveInterface, ARefusedRequeueEndsTheLoopAndSetsFailed) {
  TwoDevices drv;
  RecordingSink sink;
  CWaveAudioInterface out(false, &drv);
  out.SetSink(&sink);
  ASSERT_EQ(out.Open(Params("CableA", 2, 64)), 0);
  drv.failRequeue = true;
  drv.Complete(0, 0);
  ASSERT_TRUE(WaitFor([&] { return out.HasFailed(); }));
  EXPECT_TRUE(WaitFor([&] { return out.Worker().GetActiveCount() == 0; }));
  EXPECT_EQ(sink.Count(), 1u);
  EXPECT_EQ(sink.calls[0].second, 256u);  // output: the buffer length
  EXPECT_STREQ(out.ErrorText(), "waveOutWrite failed with error 1");
  EXPECT_TRUE(out.IsRunning());  // until Close
  out.Close();
  EXPECT_FALSE(out.IsRunning());
  drv.failRequeue = false;
  ASSERT_EQ(out.Open(Params("CableA", 2, 64)), 0);
  EXPECT_FALSE(out.HasFailed());  // cleared at every open
  out.Close();
}

// Open queues and starts the input before the worker runs, and the worker's start clears
// the event: buffers finished in that window are served at once, not after the 1 s wait.
TEST(WaveInterface, BuffersDoneBeforeTheWorkerStartsAreServedAtOnce) {
  TwoDevices drv;
  drv.completeOnStart = 2;
  RecordingSink sink;
  CWaveAudioInterface in(true, &drv);
  in.SetSink(&sink);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(in.Open(Params("CableA", 3, 64)), 0);
  ASSERT_TRUE(WaitFor([&] { return sink.Count() == 2; }));
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.7);
  in.Close();

  drv.completeOnStart = 0;
  drv.startResult = MMSYSERR_ERROR;
  EXPECT_EQ(in.Open(Params("CableA", 3, 64)), 1);
  EXPECT_STREQ(in.ErrorText(), "ERROR - Couldn't start recording on the input device");
  EXPECT_FALSE(in.IsRunning());
  EXPECT_EQ(drv.prepared, 0);
  EXPECT_FALSE(drv.opened);
}

TEST(WaveInterface, SixChannelsAskForTheExtensibleFormatAndFallBackToPcm) {
  TwoDevices drv;
  CWaveAudioInterface out(false, &drv);
  AudioOpenParams p = Params("CableA");
  p.channels = 6;
  ASSERT_EQ(out.Open(p), 0);
  ASSERT_EQ(drv.offeredTags, (std::vector<WORD>{WAVE_FORMAT_EXTENSIBLE}));
  EXPECT_EQ(drv.format.Format.cbSize, 22);
  EXPECT_EQ(drv.format.Format.nBlockAlign, 12);
  EXPECT_EQ(drv.format.dwChannelMask, 0x3Fu);
  EXPECT_EQ(drv.format.Samples.wValidBitsPerSample, 16);
  EXPECT_EQ(drv.format.SubFormat.Data1, 1u);  // KSDATAFORMAT_SUBTYPE_PCM
  out.Close();
  EXPECT_EQ(StandardChannelMask(8), 0x63Fu);
  EXPECT_EQ(StandardChannelMask(9), 0u);

  drv.offeredTags.clear();
  drv.refuseExtensible = true;
  ASSERT_EQ(out.Open(p), 0);
  EXPECT_EQ(drv.offeredTags, (std::vector<WORD>{WAVE_FORMAT_EXTENSIBLE, WAVE_FORMAT_PCM}));
  EXPECT_EQ(drv.format.Format.cbSize, 0);
  out.Close();

  drv.offeredTags.clear();
  p.channels = 2;  // stereo stays plain PCM
  ASSERT_EQ(out.Open(p), 0);
  EXPECT_EQ(drv.offeredTags, (std::vector<WORD>{WAVE_FORMAT_PCM}));
  out.Close();
}

// A device that stops completing buffers, as a removed one does without a word: past
// the stall limit (500 ms for this geometry, on the engine clock) the side is failed.
TEST(WaveInterface, NoCompletedBufferBeyondTheStallLimitMarksTheSideFailed) {
  static std::atomic<uint32_t> now{1000};
  const MmClockFunction before = SetMmClock([] { return now.load(); });
  TwoDevices drv;
  RecordingSink sink;
  CWaveAudioInterface in(true, &drv);
  in.SetSink(&sink);
  ASSERT_EQ(in.Open(Params("CableA", 4, 256)), 0);
  drv.Complete(0, 256);
  ASSERT_TRUE(WaitFor([&] { return sink.Count() == 1; }));
  now = 1500;
  Sleep(300);  // several wake-ups of the loop at the limit itself
  EXPECT_FALSE(in.HasFailed());
  now = 1501;
  ASSERT_TRUE(WaitFor([&] { return in.HasFailed(); }));
  EXPECT_STREQ(in.ErrorText(), "Device stopped delivering audio");
  EXPECT_TRUE(WaitFor([&] { return in.Worker().GetActiveCount() == 0; }));
  in.Close();
  EXPECT_FALSE(in.IsRunning());
  SetMmClock(before);
}
