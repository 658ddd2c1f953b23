// The Wave interface against real wave devices: Wine's winmm over the private PulseAudio
// rig, whose null sinks CableA (44100 Hz) and CableB (48000 Hz) are playback devices and
// whose monitors are capture devices.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <chrono>
#include <set>

#include "audio/wave/WaveRigSupport.h"
#include "rig/RigClient.h"

namespace {
using Clock = std::chrono::steady_clock;

struct CountingCallback : AudioStreamCallback {
  std::atomic<int> inBlocks{0}, outBlocks{0};
  std::atomic<int> frames{0};
  void OnRawInput(AudioPort*, void*, uint32_t) override {}
  void OnRawOutput(AudioPort*, void*, uint32_t) override {}
  void OnInputBlock(AudioPort*, int32_t* const*, int32_t n) override {
    ++inBlocks;
    frames = n;
  }
  void OnOutputBlock(AudioPort*, int32_t* const* ch, int32_t n) override {
    ++outBlocks;
    for (int c = 0; c < 2; ++c)
      for (int32_t f = 0; f < n; ++f) ch[c][f] = 0;
  }
  void OnFifoBlock(AudioPort*) override {}
};

AudioOpenParams Params(const std::string& id, int rate, int frames = 512, int count = 8) {
  AudioOpenParams p;
  p.deviceId = id;
  p.deviceName = id;
  p.sampleRate = rate;
  p.channels = 2;
  p.bufferFrames = frames;
  p.bufferCount = count;
  return p;
}

class WaveDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = rig::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    previous_ = AudioPort::SetInterfaceFactory(&waverig::WaveFactory);
    static const std::string priority = rig::RaiseAudioPriority(-15, 10);  // see the bridge test
  }
  void TearDown() override { AudioPort::SetInterfaceFactory(previous_); }
  AudioInterfaceFactory previous_ = nullptr;
};
}  // namespace

TEST_F(WaveDevices, ListsTheCablesTheirMonitorsAndTheDefaultEntry) {
  CWaveAudioInterface out(false), in(true);
  ASSERT_GE(out.GetDeviceCount(), 3);
  AudioDeviceInfo info;
  out.GetDeviceInfo(&info, 0);
  EXPECT_EQ(info.name, "Default Device");
  EXPECT_EQ(info.identifier, "WAVE_MAPPER");
  AudioDeviceInfo a, b, ma, mb;
  EXPECT_GT(waverig::FindEntry(out, "CableA", &a), 0);
  EXPECT_GT(waverig::FindEntry(out, "CableB", &b), 0);
  EXPECT_GT(waverig::FindEntry(in, "Monitor of CableA", &ma), 0);
  EXPECT_GT(waverig::FindEntry(in, "Monitor of CableB", &mb), 0);
  EXPECT_LT(waverig::FindEntry(out, "Monitor of CableA"), 0);  // monitors capture only
  // Identifiers: non-empty and distinct per direction (Wine reports an interface path).
  std::set<std::string> ids;
  for (int32_t i = 0; i < out.GetDeviceCount(); ++i) {
    out.GetDeviceInfo(&info, i);
    EXPECT_FALSE(info.identifier.empty()) << info.name;
    ids.insert(info.identifier);
    EXPECT_EQ(info.deviceIndex, i == 0 ? info.deviceIndex : i - 1);
  }
  EXPECT_EQ(ids.size(), static_cast<size_t>(out.GetDeviceCount()));
  std::printf("output devices: %d, CableA id %s; input: Monitor of CableA id %s\n", out.GetDeviceCount(),
              a.identifier.c_str(), ma.identifier.c_str());

  // The port fills a list from the real devices and finds a saved identifier again.
  AudioPort port;
  port.Create(false, kAudioTypeWave);
  MemoryDeviceList list;
  EXPECT_EQ(port.FillDeviceList(&list, false, b.identifier.c_str()), out.GetDeviceCount());
  ASSERT_GE(list.Selection(), 0);
  EXPECT_EQ(list.Text(list.Selection()), "CableB");
  char id[256];
  EXPECT_EQ(port.GetSelectedDevice(&list, id, sizeof id), 1);
  EXPECT_EQ(std::string(id), b.identifier);
}

TEST_F(WaveDevices, OpenFailuresAgainstRealDevices) {
  AudioPort out;
  out.Create(false, kAudioTypeWave);
  EXPECT_EQ(out.Open(Params("NoSuchCable", 48000)), 1);
  EXPECT_STREQ(out.GetErrorText(), "Couldn't find output device \"NoSuchCable\"");
  EXPECT_EQ(out.Open(Params("None", 48000)), 2);
  EXPECT_STREQ(out.GetErrorText(), "No Output Device Selected");
  AudioOpenParams wide = Params("CableB", 48000);
  wide.bitsPerSample = 64;  // the device refuses the format
  EXPECT_EQ(out.Open(wide), 1);
  EXPECT_STREQ(out.GetErrorText(), "ERROR - Couldn't open 48000 hz, 2 ch, 64 bits");
  EXPECT_FALSE(out.GetInterface()->IsRunning());

  AudioPort in;
  in.SetAllowDefaultDevice(false);
  in.Create(true, kAudioTypeWave);
  EXPECT_EQ(in.Open(Params("Default Device", 44100)), 1);
  EXPECT_STREQ(in.GetErrorText(), "Default input device not allowed - must select explicitly.");
  // By name, case ignored, the monitor opens; a second open is refused by the port.
  ASSERT_EQ(in.Open(Params("monitor of cablea", 44100)), 0) << in.GetErrorText();
  EXPECT_EQ(in.Open(Params("Monitor of CableA", 44100)), 1);
  EXPECT_STREQ(in.GetErrorText(), "Already Running!");
  in.Close();
}

TEST_F(WaveDevices, BuffersFlowAtTheDeviceRateAndLatencyFollowsTheGeometry) {
  CountingCallback cb;
  AudioPort in, out;
  in.SetCallback(&cb);
  out.SetCallback(&cb);
  in.Create(true, kAudioTypeWave);
  out.Create(false, kAudioTypeWave);
  ASSERT_EQ(in.Open(Params("Monitor of CableA", 44100, 512, 8)), 0) << in.GetErrorText();
  AudioOpenParams po = Params("CableB", 48000, 256, 4);
  po.prefillOutput = 1;
  ASSERT_EQ(out.Open(po), 0) << out.GetErrorText();
  EXPECT_EQ(in.GetInterface()->GetLatency(), 7 * 512);
  EXPECT_EQ(out.GetInterface()->GetLatency(), 3 * 256);
  EXPECT_EQ(in.GetInterface()->GetBytesPerFrame(), 4);
  EXPECT_EQ(cb.outBlocks.load(), 3);  // prefill asked for buffers 1 to 3
  // Measure after the streams have started: the first second includes PulseAudio's
  // stream start-up under Wine.
  Sleep(1500);
  const int in0 = cb.inBlocks, out0 = cb.outBlocks;
  auto t0 = Clock::now();
  Sleep(3000);
  const double secs = waverig::Seconds(Clock::now() - t0);
  const double inRate = (cb.inBlocks - in0) * 512 / secs;
  const double outRate = (cb.outBlocks - out0) * 256 / secs;
  std::printf("delivered: input %.0f frames/s, output %.0f frames/s\n", inRate, outRate);
  // Loose bounds: a loaded machine under Wine is late sometimes, but never at half or
  // double speed.
  EXPECT_GT(inRate, 44100 * 0.7);
  EXPECT_LT(inRate, 44100 * 1.3);
  EXPECT_GT(outRate, 48000 * 0.7);
  EXPECT_LT(outRate, 48000 * 1.3);
  EXPECT_EQ(cb.frames.load(), 512);
  EXPECT_FALSE(in.GetInterface()->HasFailed());
  EXPECT_FALSE(out.GetInterface()->HasFailed());
  in.Close();
  out.Close();
  EXPECT_EQ(in.GetInterface()->GetLatency(), 0);
  const int after = cb.inBlocks + cb.outBlocks;
  Sleep(200);
  EXPECT_EQ(cb.inBlocks + cb.outBlocks, after);  // nothing after close
}

TEST_F(WaveDevices, FiftyOpenCloseCyclesLeaveNoThreadLeakOrHang) {
  CountingCallback cb;
  AudioPort in, out;
  in.SetCallback(&cb);
  out.SetCallback(&cb);
  in.Create(true, kAudioTypeWave);
  out.Create(false, kAudioTypeWave);
  // One cycle first, so the driver's one-time threads exist before counting.
  ASSERT_EQ(in.Open(Params("Monitor of CableB", 48000, 256, 4)), 0);
  ASSERT_EQ(out.Open(Params("CableA", 44100, 256, 4)), 0);
  in.Close();
  out.Close();
  const int threadsBefore = waverig::SettleThreads(0, 1000);
  PROCESS_MEMORY_COUNTERS mem0{};
  GetProcessMemoryInfo(GetCurrentProcess(), &mem0, sizeof mem0);
  DWORD handles0 = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles0);

  double slowestClose = 0;
  auto t0 = Clock::now();
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(in.Open(Params("Monitor of CableB", 48000, 256 + 64 * (i % 3), 2 + i % 6)), 0)
        << "cycle " << i << ": " << in.GetErrorText();
    ASSERT_EQ(out.Open(Params("CableA", 44100, 256, 2 + i % 6)), 0) << "cycle " << i << ": " << out.GetErrorText();
    Sleep(i % 10 == 0 ? 600 : 20);  // some cycles long enough for buffers to flow both ways
    auto c0 = Clock::now();
    if (i % 2) {
      in.Close();
      out.Close();
    } else {
      out.Close();
      in.Close();
    }
    slowestClose = std::max(slowestClose, waverig::Seconds(Clock::now() - c0));
  }
  const double total = waverig::Seconds(Clock::now() - t0);
  const int threadsAfter = waverig::SettleThreads(threadsBefore);
  PROCESS_MEMORY_COUNTERS mem1{};
  GetProcessMemoryInfo(GetCurrentProcess(), &mem1, sizeof mem1);
  DWORD handles1 = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles1);
  std::printf("50 cycles in %.1f s, slowest close %.0f ms; threads %d -> %d; handles %lu -> %lu; "
              "private bytes %.1f -> %.1f MB\n",
              total, slowestClose * 1000, threadsBefore, threadsAfter, handles0, handles1,
              mem0.PagefileUsage / 1e6, mem1.PagefileUsage / 1e6);
  EXPECT_LE(threadsAfter, threadsBefore);
  EXPECT_LT(slowestClose, 5.0);
  if (handles0 != 0) {
    EXPECT_LE(handles1, handles0 + 10);
  }
  // 50 cycles of up to 7 x 4 KB buffers: a leak of them all would be ~1.4 MB.
  EXPECT_LT(static_cast<double>(mem1.PagefileUsage), static_cast<double>(mem0.PagefileUsage) + 4e6);
  EXPECT_GT(cb.inBlocks.load() + cb.outBlocks.load(), 0);
}
