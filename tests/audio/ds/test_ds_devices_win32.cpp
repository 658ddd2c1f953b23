// CDsAudioInterface against Wine's DirectSound on the virtual cables: enumeration,
// identifiers that open the same device again, the default entry, refusals with their
// texts, and many open/close rounds without leaks or hangs.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <cctype>
#include <thread>
#include <cstdlib>
#include <memory>
#include <string>

#include "audio/AudioPort.h"
#include "audio/DeviceList.h"
#include "audio/ds/DSoundManager_win32.h"
#include "audio/ds/DsAudioInterface.h"
#include "DsTestSupport_win32.h"
#include "rig/RigClient.h"
#include "testutil/SignalAnalysis.h"

namespace {

using dstest::FindIdentifier;
using dstest::Params;

class DsDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason = rig::Unavailable();
    if (reason.empty()) reason = dstest::RigMissingReason();
    if (!reason.empty()) {
      const char* required = std::getenv("VELORAND_RIG_REQUIRED");
      if (required != nullptr && std::string(required) == "1") FAIL() << reason;
      GTEST_SKIP() << reason;
    }
  }
};

bool IsGuidText(const std::string& s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!std::isxdigit(static_cast<unsigned char>(c)) ||
               std::isupper(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

struct Take {
  double levelDb = -200.0;  // of the last half second
  sigan::ToneFit fit;       // of the last second
  size_t discontinuities = 0;
};

// Records `ms` of a capture device and analyses channel 0 of what came.
Take Record(const std::string& captureId, int rate, int ms, double tone) {
  dstest::Recorder rec(static_cast<size_t>(rate) * 2 * (ms + 1000) / 1000, 4096);
  CDsAudioInterface in(true);
  in.SetSink(&rec);
  EXPECT_EQ(in.Open(Params(captureId, rate, 2, 512, 8)), 0) << in.ErrorText();
  // Wine's capture takes up to about a second and a half to deliver its first block.
  const size_t wanted = static_cast<size_t>(rate) * 2 * ms / 1000;
  for (int waited = 0; rec.Used() < wanted && waited < ms + 5000; waited += 20) Sleep(20);
  in.Close();
  const std::vector<int16_t> s = rec.Samples();
  Take take;
  if (s.size() < static_cast<size_t>(rate) * 2) return take;
  std::vector<float> left = sigan::Channel(s, 2, 0);
  // The last half second / second: the stream is well under way by then.
  const size_t n = static_cast<size_t>(rate) / 2;
  take.levelDb = sigan::LevelDb(left.data() + left.size() - n, n);
  if (tone > 0 && take.levelDb > -40.0) {
    const float* x = left.data() + left.size() - 2 * n;
    take.fit = sigan::FitTone(x, 2 * n, rate, tone);
    take.discontinuities = sigan::FindDiscontinuities(x, 2 * n, rate, take.fit.frequency).size();
  }
  return take;
}

TEST_F(DsDevices, ListsCablesAndMonitorsWithGuidIdentifiersAndDefaultEntry) {
  for (bool isInput : {false, true}) {
    CDsAudioInterface iface(isInput);
    const int32_t count = iface.GetDeviceCount();
    ASSERT_EQ(count, static_cast<int32_t>(iface.Devices().size()) + 1);
    AudioDeviceInfo info;
    iface.GetDeviceInfo(&info, 0);
    EXPECT_EQ(info.name, "Default Device");
    EXPECT_EQ(info.identifier, "WAVE_MAPPER");
    for (int32_t i = 1; i < count; ++i) {
      iface.GetDeviceInfo(&info, i);
      EXPECT_TRUE(IsGuidText(info.identifier)) << info.identifier;
      EXPECT_EQ(info.deviceIndex, i - 1);
      DsGuid back;
      ASSERT_EQ(DsGuidFromText(info.identifier.c_str(), &back), DsGuidParse::kParsed);
      EXPECT_TRUE(back == iface.Devices()[static_cast<size_t>(i - 1)].guid);
      EXPECT_FALSE(back.IsNull());
    }
    iface.GetDeviceInfo(&info, count);
    EXPECT_EQ(info.name, "invalid");
    EXPECT_EQ(info.deviceIndex, -1);

    const std::string prefix = isInput ? "Monitor of " : "";
    const std::string a = FindIdentifier(iface, prefix + "CableA");
    const std::string b = FindIdentifier(iface, prefix + "CableB");
    EXPECT_TRUE(IsGuidText(a));
    EXPECT_TRUE(IsGuidText(b));
    EXPECT_NE(a, b);
    // A second enumeration lists the same GUIDs (identifiers survive in the settings).
    CDsAudioInterface again(isInput);
    EXPECT_EQ(FindIdentifier(again, prefix + "CableA"), a);

    // Without the default entry the devices start at index 0.
    iface.SetAllowDefaultDevice(false);
    EXPECT_EQ(iface.GetDeviceCount(), count - 1);
    iface.GetDeviceInfo(&info, 0);
    EXPECT_TRUE(IsGuidText(info.identifier));
  }
}

TEST_F(DsDevices, InputAndOutputEnumerateAtTheSameTime) {
  // The dialog's two sides may fill their lists while the other side enumerates; every
  // enumeration must see the whole list.
  CDsAudioInterface in(true);
  CDsAudioInterface out(false);
  const int32_t inCount = in.GetDeviceCount();
  const int32_t outCount = out.GetDeviceCount();
  std::atomic<int> wrong{0};
  std::thread other([&] {
    CoInitialize(nullptr);
    for (int i = 0; i < 20; ++i) {
      if (out.GetDeviceCount() != outCount) ++wrong;
    }
    CoUninitialize();
  });
  for (int i = 0; i < 20; ++i) {
    if (in.GetDeviceCount() != inCount) ++wrong;
  }
  other.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(DsDevices, IdentifierOpensThatSameDevice) {
  CDsAudioInterface lister(false);
  const std::string idB = FindIdentifier(lister, "CableB");
  CDsAudioInterface inLister(true);
  const std::string monA = FindIdentifier(inLister, "Monitor of CableA");
  const std::string monB = FindIdentifier(inLister, "Monitor of CableB");

  // A tone into CableB by its identifier (upper-cased: the same GUID) is heard on CableB's
  // monitor and not on CableA's.
  std::string upper = idB;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  dstest::ToneSource tone(997.0, 48000.0, 0.5, 2, 0);
  CDsAudioInterface out(false);
  out.SetSink(&tone);
  ASSERT_EQ(out.Open(Params(upper, 48000, 2, 1024, 8)), 0) << out.ErrorText();
  EXPECT_TRUE(out.IsRunning());
  EXPECT_EQ(DsGuidToText(out.OpenedGuid()), idB);
  EXPECT_EQ(out.GetLatency(), 4 * 1024);
  EXPECT_EQ(out.GetBytesPerFrame(), 4);
  // The notification loop runs on a time-critical thread.
  HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, out.Worker().GetThreadId());
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_TIME_CRITICAL);
  CloseHandle(thread);
  EXPECT_EQ(out.Worker().GetActiveCount(), 1);
  Take takeB = Record(monB, 48000, 2500, 997.0);
  for (int again = 0; again < 2 && (takeB.discontinuities != 0 || takeB.fit.thdnDb > -70.0);
       ++again) {
    // Once more: on a loaded machine Wine's own mixer, which runs at normal priority, can
    // miss a period now and then; a fault of the streaming buffer shows every time.
    takeB = Record(monB, 48000, 2500, 997.0);
  }
  const double onB = takeB.levelDb;
  const double onA = Record(monA, 44100, 1200, 0.0).levelDb;
  out.Close();
  EXPECT_FALSE(out.IsRunning());
  EXPECT_EQ(out.Worker().GetActiveCount(), 0);
  EXPECT_EQ(out.GetLatency(), 0);
  EXPECT_FALSE(out.HasFailed());
  EXPECT_NEAR(onB, -6.0, 1.5);
  EXPECT_LT(onA, -60.0);
  // What the streaming buffer played is the tone, whole: refills keep up with the cursor.
  std::printf("DirectSound playback alone: %.3f Hz, %.2f dB, THD+N %.1f dB, %zu discontinuities\n",
              takeB.fit.frequency, takeB.fit.levelDb, takeB.fit.thdnDb, takeB.discontinuities);
  EXPECT_NEAR(takeB.fit.frequency, 997.0, 0.2);
  EXPECT_LT(takeB.fit.thdnDb, -70.0);
  EXPECT_EQ(takeB.discontinuities, 0u);
  // The loop kept the buffer fed: 1.2 s x 2 recordings at 100 blocks/s, generously.
  EXPECT_GT(tone.Calls(), 100);
}

TEST_F(DsDevices, DefaultAndLengthRuleOpenTheDefaultDevice) {
  CDsAudioInterface lister(false);
  const std::string idA = FindIdentifier(lister, "CableA");
  dstest::ToneSource tone(440.0, 44100.0, 0.25, 2, 0);
  // Any text that is not 36 characters long names the default device.
  for (const std::string& id : {std::string("WAVE_MAPPER"), std::string("Default Device"),
                                idA.substr(0, 35), idA + "0"}) {
    CDsAudioInterface out(false);
    out.SetSink(&tone);
    EXPECT_EQ(out.Open(Params(id, 44100, 2, 441, 4)), 0) << id << ": " << out.ErrorText();
    EXPECT_TRUE(out.OpenedGuid().IsNull()) << id;
    out.Close();
  }
  // The default capture device delivers (the rig's default source is a cable monitor, so
  // something plays into the default output meanwhile).
  CDsAudioInterface player(false);
  player.SetSink(&tone);
  ASSERT_EQ(player.Open(Params("WAVE_MAPPER", 44100, 2, 441, 4)), 0) << player.ErrorText();
  CDsAudioInterface in(true);
  dstest::Recorder rec(1 << 20, 4096);
  in.SetSink(&rec);
  EXPECT_EQ(in.Open(Params("WAVE_MAPPER", 48000, 2, 480, 4)), 0) << in.ErrorText();
  for (int waited = 0; rec.Used() == 0 && waited < 6000; waited += 20) Sleep(20);
  EXPECT_FALSE(in.HasFailed()) << in.ErrorText();
  in.Close();
  player.Close();
  EXPECT_GT(rec.Used(), 0u);

  // With the default device not allowed, the default names select nothing.
  CDsAudioInterface strict(false);
  strict.SetAllowDefaultDevice(false);
  EXPECT_EQ(strict.Open(Params("WAVE_MAPPER", 44100, 2, 441, 4)), 2);
  EXPECT_STREQ(strict.ErrorText(), "No Output Device Selected");
}

TEST_F(DsDevices, RefusalsCarryTheirTexts) {
  CDsAudioInterface in(true);
  CDsAudioInterface out(false);
  dstest::Recorder rec(1 << 16, 64);
  in.SetSink(&rec);
  EXPECT_EQ(in.Open(Params("Disable", 48000, 2, 480, 4)), 2);
  EXPECT_STREQ(in.ErrorText(), "No Input Device Selected");
  EXPECT_EQ(out.Open(Params("", 48000, 2, 480, 4)), 2);
  EXPECT_STREQ(out.ErrorText(), "No Output Device Selected");

  // 33 buffers do not fit the 32 notification slots; one buffer cannot rotate.
  EXPECT_EQ(in.Open(Params("WAVE_MAPPER", 48000, 2, 480, 33)), 1);
  EXPECT_STREQ(in.ErrorText(), "DirectSound needs 2 to 32 buffers, not 33");
  EXPECT_EQ(out.Open(Params("WAVE_MAPPER", 48000, 2, 480, 1)), 1);
  EXPECT_FALSE(out.IsRunning());

  // A damaged 36-character identifier is reported, not opened as the default device.
  EXPECT_EQ(in.Open(Params("zzzzzzzz-zzzz-zzzz-zzzz-zzzzzzzzzzzz", 48000, 2, 480, 4)), 1);
  EXPECT_STREQ(in.ErrorText(),
               "Invalid DirectSound device identifier: zzzzzzzz-zzzz-zzzz-zzzz-zzzzzzzzzzzz");

  // A well-formed GUID of no device: the platform's refusal with its code.
  const std::string nobody = "0badf00d-0001-0002-0304-050607080900";
  EXPECT_EQ(in.Open(Params(nobody, 48000, 2, 480, 4)), 1);
  EXPECT_EQ(std::string(in.ErrorText()).rfind("DirectSoundCaptureCreate failed: ", 0), 0u)
      << in.ErrorText();
  EXPECT_EQ(std::string(in.ErrorText()).size(),
            std::string("DirectSoundCaptureCreate failed: ").size() + 8);
  EXPECT_EQ(out.Open(Params(nobody, 48000, 2, 480, 4)), 1);
  EXPECT_EQ(std::string(out.ErrorText()).rfind("DSoundManager::Initialize failed: ", 0), 0u)
      << out.ErrorText();
  EXPECT_FALSE(in.IsRunning());
  EXPECT_FALSE(out.IsRunning());

  // A loop thread that cannot start is a failed open, not a silent stream.
  WorkerThread::FailNextStartsForTesting(1);
  EXPECT_EQ(out.Open(Params("WAVE_MAPPER", 48000, 2, 480, 4)), 1);
  EXPECT_STREQ(out.ErrorText(), "DS: could not start the output thread: the system refused to create the thread");
  EXPECT_FALSE(out.IsRunning());

  // After the refusals the same objects open normally.
  EXPECT_EQ(in.Open(Params("WAVE_MAPPER", 48000, 2, 480, 4)), 0) << in.ErrorText();
  in.Close();
  dstest::ToneSource tone(440.0, 48000.0, 0.1, 2, 0);
  out.SetSink(&tone);
  EXPECT_EQ(out.Open(Params("WAVE_MAPPER", 48000, 2, 480, 4)), 0) << out.ErrorText();
  out.Close();
}

// The slot a new handle lands in. The handle table hands out its lowest free slot, so a
// leaked handle pushes this up for good; the probe itself is closed again.
int FreshHandleSlot() {
  HANDLE probe = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  const int slot = static_cast<int>(reinterpret_cast<uintptr_t>(probe) / 4);
  CloseHandle(probe);
  return slot;
}

int ThreadCount() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 te;
  te.dwSize = sizeof(te);
  int n = 0;
  for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te)) {
    if (te.th32OwnerProcessID == GetCurrentProcessId()) ++n;
  }
  CloseHandle(snap);
  return n;
}

TEST_F(DsDevices, FiftyOpenCloseRoundsLeaveNothingBehind) {
  CDsAudioInterface inLister(true);
  CDsAudioInterface outLister(false);
  const std::string monA = FindIdentifier(inLister, "Monitor of CableA");
  const std::string cableB = FindIdentifier(outLister, "CableB");
  dstest::ToneSource tone(997.0, 48000.0, 0.5, 2, 0);
  dstest::Recorder rec(8u << 20, 1u << 16);

  // One warm-up round, so that what DirectSound and Wine keep for the process once it has
  // used a device is counted in the baseline.
  CDsAudioInterface in(true);
  CDsAudioInterface out(false);
  in.SetSink(&rec);
  out.SetSink(&tone);
  ASSERT_EQ(in.Open(Params(monA, 44100, 2, 441, 4)), 0) << in.ErrorText();
  ASSERT_EQ(out.Open(Params(cableB, 48000, 2, 480, 4)), 0) << out.ErrorText();
  Sleep(50);
  in.Close();
  out.Close();
  const int handlesBefore = FreshHandleSlot();
  const int threadsBefore = ThreadCount();

  const double start = dstest::NowMs();
  for (int round = 0; round < 50; ++round) {
    ASSERT_EQ(in.Open(Params(monA, 44100, 2, 441, 4)), 0) << round << ": " << in.ErrorText();
    ASSERT_EQ(out.Open(Params(cableB, 48000, 2, 480, 4)), 0) << round << ": " << out.ErrorText();
    Sleep(round % 5 == 0 ? 40 : 5);  // some rounds close mid-stream, some at once
    in.Close();
    out.Close();
    ASSERT_FALSE(in.IsRunning());
    ASSERT_FALSE(in.HasFailed());
    ASSERT_FALSE(out.HasFailed());
  }
  const double elapsed = dstest::NowMs() - start;
  const int handlesAfter = FreshHandleSlot();
  const int threadsAfter = ThreadCount();
  std::printf("50 rounds in %.0f ms; lowest free handle slot %d -> %d; threads %d -> %d\n",
              elapsed, handlesBefore, handlesAfter, threadsBefore, threadsAfter);
  // Events, threads and buffers are all returned: a leak of one handle per round would
  // move the lowest free slot by 50 or more, a leaked worker per round the thread count.
  EXPECT_LE(handlesAfter, handlesBefore + 10);
  EXPECT_LE(threadsAfter, threadsBefore + 3);
  EXPECT_LT(elapsed, 40000.0);
}

CAudioInterface* MakeDs(bool isInput, int32_t type) {
  return type == kAudioTypeDirectSound ? new CDsAudioInterface(isInput) : nullptr;
}

// What the dialog does when "DS" is chosen: the port fills the list from the interface
// and selects the saved identifier; what it reads back opens that device.
TEST_F(DsDevices, PortFillsTheListAndRestoresTheSavedDevice) {
  AudioPort::SetInterfaceFactory(MakeDs);
  for (bool isInput : {true, false}) {
    AudioPort port;
    port.Create(isInput, kAudioTypeDirectSound);
    ASSERT_TRUE(port.HasInterface());
    const std::string name = isInput ? "Monitor of CableB" : "CableB";
    const std::string saved = FindIdentifier(*port.GetInterface(), name);
    ASSERT_FALSE(saved.empty());

    MemoryDeviceList list;
    const int32_t n = port.FillDeviceList(&list, true, saved.c_str());
    ASSERT_GE(n, 4);  // "Disable", "Default Device", the two cables (or monitors)
    EXPECT_EQ(list.Text(0), "Disable");
    EXPECT_EQ(list.Text(1), "Default Device");
    ASSERT_GE(list.Selection(), 0);
    EXPECT_EQ(list.Text(list.Selection()), name);
    char id[256] = {};
    EXPECT_EQ(port.GetSelectedDevice(&list, id, sizeof(id)), 1);
    EXPECT_EQ(std::string(id), saved);

    // "WAVE_MAPPER" is restored as the default entry, "Disable" as the Disable entry.
    port.FillDeviceList(&list, true, "WAVE_MAPPER");
    EXPECT_EQ(list.Selection(), 1);
    port.FillDeviceList(&list, true, "Disable");
    EXPECT_EQ(list.Selection(), 0);
    EXPECT_EQ(port.GetSelectedDevice(&list, id, sizeof(id)), 0);
    EXPECT_STREQ(id, "Disable");
    // An identifier of a device that is gone selects nothing.
    port.FillDeviceList(&list, true, "0badf00d-0001-0002-0304-050607080900");
    EXPECT_EQ(list.Selection(), -1);
  }
  AudioPort::SetInterfaceFactory(nullptr);
}

}  // namespace
