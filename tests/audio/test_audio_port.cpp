// AudioPort natively against a fake interface: the open checks and their texts, device list
// filling and selection, the sample conversions both ways, FIFO and raw modes, and the
// close/late-buffer race with a device thread delivering as fast as it can.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioPort.h"
#include "audio/FakeAudioInterface.h"
#include "engine/CFifo.h"
#include "engine/LogPrintf.h"

namespace {

FakeAudioInterface* g_lastFake = nullptr;
std::vector<int32_t> g_factoryTypes;

CAudioInterface* MakeFake(bool isInput, int32_t type) {
  g_factoryTypes.push_back(type);
  g_lastFake = new FakeAudioInterface(isInput);
  return g_lastFake;
}

// Records every callback; optionally writes into the output blocks.
struct Recorder : AudioStreamCallback {
  std::vector<std::vector<int32_t>> lastInput;
  std::vector<int32_t> outputValues;  // per channel, written to every frame
  int rawIn = 0, rawOut = 0, inputBlocks = 0, outputBlocks = 0, fifoBlocks = 0;
  void* lastRawData = nullptr;
  uint32_t lastRawBytes = 0;
  void OnRawInput(AudioPort*, void* d, uint32_t b) override { ++rawIn; lastRawData = d; lastRawBytes = b; }
  void OnRawOutput(AudioPort*, void* d, uint32_t b) override { ++rawOut; lastRawData = d; lastRawBytes = b; }
  void OnInputBlock(AudioPort* port, int32_t* const* ch, int32_t frames) override {
    ++inputBlocks;
    lastInput.assign(static_cast<size_t>(port->GetParams().channels), {});
    for (size_t c = 0; c < lastInput.size(); ++c) lastInput[c].assign(ch[c], ch[c] + frames);
  }
  void OnOutputBlock(AudioPort*, int32_t* const* ch, int32_t frames) override {
    ++outputBlocks;
    for (size_t c = 0; c < outputValues.size(); ++c)
      for (int32_t f = 0; f < frames; ++f) ch[c][f] = outputValues[c];
  }
  void OnFifoBlock(AudioPort*) override { ++fifoBlocks; }
};

AudioOpenParams Params(int32_t rate = 48000, int32_t channels = 2, int32_t frames = 4, int32_t bits = 16) {
  AudioOpenParams p;
  p.deviceId = "dev";
  p.sampleRate = rate;
  p.channels = channels;
  p.bufferFrames = frames;
  p.bufferCount = 2;
  p.bitsPerSample = bits;
  return p;
}

class AudioPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = AudioPort::SetInterfaceFactory(&MakeFake);
    g_factoryTypes.clear();
  }
  void TearDown() override { AudioPort::SetInterfaceFactory(previous_); }
  AudioInterfaceFactory previous_ = nullptr;
};

}  // namespace

TEST(AudioInterfaceTables, NamesAndLookups) {
  EXPECT_STREQ(AudioInterfaceShortName(1), "Wave");
  EXPECT_STREQ(AudioInterfaceShortName(2), "DS");
  EXPECT_STREQ(AudioInterfaceShortName(3), "KS");
  EXPECT_STREQ(AudioInterfaceShortName(0), "Invalid");
  EXPECT_STREQ(AudioInterfaceShortName(4), "WASAPI");
  EXPECT_STREQ(AudioInterfaceShortName(5), "WASAPI Excl");
  EXPECT_STREQ(AudioInterfaceShortName(6), "Invalid");
  EXPECT_STREQ(AudioInterfaceLongName(true, 1), "Wave In");
  EXPECT_STREQ(AudioInterfaceLongName(false, 1), "Wave Out");
  EXPECT_STREQ(AudioInterfaceLongName(false, 3), "Kernel Streaming");
  EXPECT_STREQ(AudioInterfaceLongName(true, 9), "Invalid");
  EXPECT_EQ(AudioInterfaceTypeFromShortName(true, "DS"), 2);
  EXPECT_EQ(AudioInterfaceTypeFromShortName(false, "KS"), 3);
  EXPECT_EQ(AudioInterfaceTypeFromShortName(false, "WASAPI Excl"), 5);
  EXPECT_EQ(AudioInterfaceTypeFromShortName(true, "wave"), 0);  // case-sensitive
  EXPECT_EQ(AudioInterfaceTypeFromShortName(true, ""), 0);
  for (const char* n : {"", "disable", "DISABLED", "off", "None", "(none)"}) EXPECT_TRUE(IsNoDeviceName(n)) << n;
  EXPECT_FALSE(IsNoDeviceName("Nones"));
  for (const char* n : {"wave_mapper", "DEFAULT", "default device"}) EXPECT_TRUE(IsDefaultDeviceNameText(n)) << n;
  EXPECT_FALSE(IsDefaultDeviceNameText("Default Devices"));
  AudioOpenParams p;
  EXPECT_EQ(p.structSize, 84);
  EXPECT_EQ(p.deviceId, "Default Device");
  EXPECT_EQ(p.bitsPerSample, 16);
}

// Four times the buffered audio, not under 500 ms, also for records without a geometry.
TEST(AudioInterfaceTables, StallLimitFollowsTheBufferedTime) {
  AudioOpenParams p;
  EXPECT_EQ(StallLimitMs(p), 500u);  // rate 0
  p.sampleRate = 44100;
  p.bufferFrames = 512;
  p.bufferCount = 8;
  EXPECT_EQ(StallLimitMs(p), 500u);  // 93 ms buffered
  p.bufferFrames = 4096;
  p.bufferCount = 32;
  EXPECT_EQ(StallLimitMs(p), 11888u);  // 4 x 2972 ms
  p.sampleRate = 8000;
  p.bufferFrames = 1 << 20;
  p.bufferCount = 36;
  EXPECT_EQ(StallLimitMs(p), 18874368u);  // no overflow on the largest record
}

TEST_F(AudioPortTest, OpenChecksAndTheirTexts) {
  AudioPort port;
  EXPECT_EQ(port.Open(Params(25)), 1);
  EXPECT_STREQ(port.GetErrorText(), "Hello Tobrin!");
  EXPECT_EQ(port.Open(Params(7999)), 1);
  EXPECT_STREQ(port.GetErrorText(), "Invalid sample rate!");
  EXPECT_EQ(port.Open(Params(8000)), 1);  // passes the rate check, fails on the interface
  EXPECT_STREQ(port.GetErrorText(), "Must create first.");

  port.Create(true, 1);
  ASSERT_NE(g_lastFake, nullptr);
  FakeAudioInterface* fake = g_lastFake;
  EXPECT_EQ(port.Open(Params(48000, 0)), 1);
  EXPECT_STREQ(port.GetErrorText(), "Invalid channel count!");
  EXPECT_EQ(port.Open(Params(48000, 33)), 1);
  EXPECT_EQ(port.Open(Params(48000, 2, 0)), 1);
  EXPECT_STREQ(port.GetErrorText(), "Invalid buffer size!");
  EXPECT_EQ(fake->opens, 0);

  fake->openResult = 2;
  fake->openError = "No Input Device Selected";
  EXPECT_EQ(port.Open(Params(8000)), 2);
  EXPECT_STREQ(port.GetErrorText(), "No Input Device Selected");
  fake->openError = "";  // an interface failing without a text leaves an empty text
  fake->openResult = 1;
  EXPECT_EQ(port.Open(Params()), 1);
  EXPECT_STREQ(port.GetErrorText(), "");

  fake->openResult = 0;
  ASSERT_EQ(port.Open(Params(44100, 2, 64)), 0);
  EXPECT_EQ(port.GetParams().bufferFrames, 64);
  EXPECT_EQ(port.Open(Params(96000)), 1);
  EXPECT_STREQ(port.GetErrorText(), "Already Running!");
  EXPECT_TRUE(fake->IsRunning());
  EXPECT_EQ(fake->GetParams().sampleRate, 44100);  // the stream is untouched
  EXPECT_EQ(port.GetParams().sampleRate, 44100);
  port.Close();
  EXPECT_FALSE(fake->IsRunning());
  EXPECT_EQ(port.GetParams().sampleRate, 0);
  EXPECT_EQ(port.GetParams().structSize, 0);
  EXPECT_EQ(port.GetParams().deviceId, "");
  EXPECT_EQ(port.GetParams().bitsPerSample, 0);
}

TEST_F(AudioPortTest, CreateNamesAndMissingInterface) {
  AudioPort port;
  EXPECT_STREQ(port.GetName("x"), "MustCreateFirst");
  port.Create(true, 6);
  EXPECT_FALSE(port.HasInterface());
  EXPECT_TRUE(g_factoryTypes.empty());  // unknown types never reach the factory
  EXPECT_STREQ(port.GetName("x"), "MustCreateFirst");
  EXPECT_FALSE(port.IsInput());
  MemoryDeviceList list;
  EXPECT_EQ(port.FillDeviceList(&list, false, ""), -1);
  EXPECT_STREQ(port.GetErrorText(), "Must Create First");
  char buf[32];
  EXPECT_EQ(port.GetSelectedDevice(&list, buf, sizeof buf), -1);

  port.Create(true, 3);
  ASSERT_TRUE(port.HasInterface());
  EXPECT_EQ(port.GetInterface()->GetType(), 3);
  EXPECT_EQ(port.GetInterface()->GetSink(), &port);
  EXPECT_STREQ(port.GetName("x"), "KSRecx");
  EXPECT_TRUE(port.IsInput());
  port.SetAllowDefaultDevice(false);
  port.Create(false, 1);  // destroys the KS interface first
  EXPECT_STREQ(port.GetName(nullptr), "WavePlay");
  EXPECT_FALSE(port.GetInterface()->GetAllowDefaultDevice());
  EXPECT_FALSE(port.IsInput());
  port.Create(false, 2);
  EXPECT_STREQ(port.GetName("_1"), "DSPlay_1");
  EXPECT_EQ(g_factoryTypes, (std::vector<int32_t>{3, 1, 2}));

  AudioPort::SetInterfaceFactory(nullptr);  // a program that installed none
  port.Create(false, 1);
  EXPECT_FALSE(port.HasInterface());
}

TEST_F(AudioPortTest, DeviceListFillingAndSelection) {
  AudioPort port;
  port.Create(false, 1);
  FakeAudioInterface* fake = g_lastFake;
  fake->offersDefault = true;
  fake->devices = {{"Default Device", "WAVE_MAPPER"}, {"CableA", "\\\\?\\path-a"}, {"CableB", "CableB"}};
  MemoryDeviceList list;
  EXPECT_EQ(port.FillDeviceList(nullptr, false, ""), 0);

  EXPECT_EQ(port.FillDeviceList(&list, false, "Default"), 3);  // no exact match: default entry
  EXPECT_EQ(list.Selection(), 0);
  EXPECT_EQ(list.Text(1), "CableA");
  EXPECT_EQ(list.Data(2), 2);

  EXPECT_EQ(port.FillDeviceList(&list, false, "CableB"), 3);
  EXPECT_EQ(list.Selection(), 2);
  EXPECT_EQ(port.FillDeviceList(&list, false, "\\\\?\\path-a"), 3);
  EXPECT_EQ(list.Selection(), 1);
  EXPECT_EQ(port.FillDeviceList(&list, false, "cableb"), 3);  // identifiers are case-sensitive
  EXPECT_EQ(list.Selection(), -1);
  EXPECT_EQ(port.FillDeviceList(&list, false, "CableA"), 3);  // a name is no identifier
  EXPECT_EQ(list.Selection(), -1);

  EXPECT_EQ(port.FillDeviceList(&list, true, "Disable"), 4);
  EXPECT_EQ(list.Text(0), "Disable");
  EXPECT_EQ(list.Data(0), AudioPort::kDisableItemData);
  EXPECT_EQ(list.Data(1), 0);
  EXPECT_EQ(list.Selection(), 0);
  EXPECT_EQ(port.FillDeviceList(&list, true, "CableB"), 4);
  EXPECT_EQ(list.Selection(), 3);

  fake->offersDefault = false;  // the default name selects nothing without a default entry
  EXPECT_EQ(port.FillDeviceList(&list, false, "Default"), 3);
  EXPECT_EQ(list.Selection(), -1);
}

TEST_F(AudioPortTest, SelectedDeviceGivesIdentifierOrDisable) {
  AudioPort port;
  port.Create(true, 1);
  g_lastFake->devices = {{"Monitor of CableA", "{0.0.1.00000000}.{guid-a}"}, {"Mic", "Mic"}};
  MemoryDeviceList list;
  char buf[64];
  port.FillDeviceList(&list, true, "");
  EXPECT_EQ(port.GetSelectedDevice(&list, buf, sizeof buf), 0);  // nothing selected
  list.Select(0);
  std::strcpy(buf, "x");
  EXPECT_EQ(port.GetSelectedDevice(&list, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "Disable");
  list.Select(1);
  EXPECT_EQ(port.GetSelectedDevice(&list, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "{0.0.1.00000000}.{guid-a}");
  char small[6];
  EXPECT_EQ(port.GetSelectedDevice(&list, small, sizeof small), 1);
  EXPECT_STREQ(small, "{0.0.");  // cut to size - 1 and terminated
  list.SetData(2, 7);  // a datum beyond the interface's list
  list.Select(2);
  EXPECT_EQ(port.GetSelectedDevice(&list, buf, sizeof buf), 0);
}

TEST_F(AudioPortTest, InputConversion16And32Bit) {
  AudioPort port;
  Recorder rec;
  port.SetCallback(&rec);
  port.Create(true, 1);
  FakeAudioInterface* fake = g_lastFake;
  ASSERT_EQ(port.Open(Params(48000, 2, 3, 16)), 0);
  int16_t in16[6] = {static_cast<int16_t>(0x8000), 1, 0x7fff, -2, 0, 300};
  fake->Deliver(in16, sizeof in16);
  ASSERT_EQ(rec.inputBlocks, 1);
  EXPECT_EQ(rec.lastInput[0], (std::vector<int32_t>{-32768, 32767, 0}));
  EXPECT_EQ(rec.lastInput[1], (std::vector<int32_t>{1, -2, 300}));
  // A short buffer: what it holds is converted, the rest of the block is silence, and
  // nothing is read past its end.
  fake->Deliver(in16, 2 * sizeof(int16_t));
  EXPECT_EQ(rec.lastInput[0], (std::vector<int32_t>{-32768, 0, 0}));
  EXPECT_EQ(rec.lastInput[1], (std::vector<int32_t>{1, 0, 0}));
  port.Close();

  ASSERT_EQ(port.Open(Params(48000, 1, 4, 32)), 0);
  float in32[4] = {1.0f, -0.5f, 0.99999f, -1.0f};
  fake->Deliver(in32, sizeof in32);
  EXPECT_EQ(rec.lastInput[0], (std::vector<int32_t>{32767, -16383, 32766, -32767}));
  port.Close();

  ASSERT_EQ(port.Open(Params(48000, 1, 2, 24)), 0);  // unknown width: blocks untouched
  uint8_t in24[6] = {1, 2, 3, 4, 5, 6};
  fake->Deliver(in24, sizeof in24);
  EXPECT_EQ(rec.lastInput[0], (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(rec.inputBlocks, 4);
}

TEST_F(AudioPortTest, OutputConversion16And32Bit) {
  AudioPort port;
  Recorder rec;
  port.SetCallback(&rec);
  port.Create(false, 1);
  FakeAudioInterface* fake = g_lastFake;
  ASSERT_EQ(port.Open(Params(48000, 2, 2, 16)), 0);
  rec.outputValues = {40000, -32768};
  int16_t out16[4] = {9, 9, 9, 9};
  fake->Deliver(out16, sizeof out16);
  EXPECT_EQ(rec.outputBlocks, 1);
  // The low 16 bits, unclamped: 40000 - 65536.
  EXPECT_EQ(out16[0], -25536);
  EXPECT_EQ(out16[1], -32768);
  EXPECT_EQ(out16[2], -25536);
  int16_t shortOut[3] = {9, 9, 7};  // one frame's room and a guard
  fake->Deliver(shortOut, 2 * sizeof(int16_t));
  EXPECT_EQ(shortOut[0], -25536);
  EXPECT_EQ(shortOut[2], 7);
  port.Close();

  ASSERT_EQ(port.Open(Params(48000, 3, 1, 32)), 0);
  rec.outputValues = {32768, -16384, 0};
  float out32[3] = {9, 9, 9};
  fake->Deliver(out32, sizeof out32);
  EXPECT_FLOAT_EQ(out32[0], 1.0f);
  EXPECT_FLOAT_EQ(out32[1], -0.5f);
  EXPECT_FLOAT_EQ(out32[2], 0.0f);
}

TEST_F(AudioPortTest, ThirtyTwoChannelsDeinterleave) {
  AudioPort port;
  Recorder rec;
  port.SetCallback(&rec);
  port.Create(true, 1);
  ASSERT_EQ(port.Open(Params(48000, 32, 2, 16)), 0);
  std::vector<int16_t> in(64);
  for (int i = 0; i < 64; ++i) in[static_cast<size_t>(i)] = static_cast<int16_t>(i);
  g_lastFake->Deliver(in.data(), 128);
  ASSERT_EQ(rec.lastInput.size(), 32u);
  EXPECT_EQ(rec.lastInput[31], (std::vector<int32_t>{31, 63}));
}

TEST_F(AudioPortTest, RawModePassesBuffersUnconverted) {
  AudioPort port;
  Recorder rec;
  port.SetCallback(&rec);
  port.Create(true, 1);
  AudioOpenParams p = Params(48000, 2, 4);
  p.rawMode = 1;
  ASSERT_EQ(port.Open(p), 0);
  int16_t buf[8] = {};
  g_lastFake->Deliver(buf, 13);
  EXPECT_EQ(rec.rawIn, 1);
  EXPECT_EQ(rec.lastRawData, buf);
  EXPECT_EQ(rec.lastRawBytes, 13u);
  EXPECT_EQ(rec.inputBlocks, 0);
  port.Close();
  port.Create(false, 1);
  ASSERT_EQ(port.Open(p), 0);
  g_lastFake->Deliver(buf, 16);
  EXPECT_EQ(rec.rawOut, 1);
}

namespace {
std::vector<std::string> g_log;
void CaptureLog(const char* text, void*) { g_log.emplace_back(text); }
}  // namespace

TEST_F(AudioPortTest, FifoModeStoresDropsAndPlaysSilence) {
  AudioPort in;
  Recorder rec;
  in.SetCallback(&rec);
  in.Create(true, 1);
  AudioOpenParams p = Params(48000, 2, 4);  // 16 bytes per buffer
  p.fifoFrames = 8;                        // room for two buffers (32 bytes)
  ASSERT_EQ(in.Open(p), 0);
  ASSERT_NE(in.GetFifo(), nullptr);
  EXPECT_EQ(in.GetFifo()->Size(), 32);
  int16_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  g_log.clear();
  LogSetFunction(&CaptureLog, nullptr);
  in.GetInterface()->GetSink()->OnBuffer(in.GetInterface(), buf, 16);
  in.GetInterface()->GetSink()->OnBuffer(in.GetInterface(), buf, 16);
  EXPECT_EQ(in.GetFifo()->Used(), 32);
  EXPECT_TRUE(g_log.empty());
  in.GetInterface()->GetSink()->OnBuffer(in.GetInterface(), buf, 16);  // full: dropped
  LogSetFunction(nullptr, nullptr);
  EXPECT_EQ(in.GetFifo()->Used(), 32);
  ASSERT_EQ(g_log.size(), 1u);
  EXPECT_EQ(g_log[0], "fifo full\n");
  EXPECT_EQ(rec.fifoBlocks, 3);
  EXPECT_EQ(rec.inputBlocks, 0);
  in.Close();
  EXPECT_EQ(in.GetFifo(), nullptr);

  // Output side without a callback: FIFO mode still runs, nobody is called.
  AudioPort out;
  out.Create(false, 1);
  ASSERT_EQ(out.Open(p), 0);
  int16_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(out.GetFifo()->Put(data, 16, false), 16);
  int16_t play[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  g_lastFake->Deliver(play, 16);
  EXPECT_EQ(std::memcmp(play, data, 16), 0);
  g_lastFake->Deliver(play, 16);  // empty FIFO: silence
  for (int16_t v : play) EXPECT_EQ(v, 0);
}

TEST_F(AudioPortTest, ClosedPortIgnoresLateBuffersAndFailedOpenLeavesItClosed) {
  AudioPort port;
  Recorder rec;
  port.SetCallback(&rec);
  port.Create(true, 1);
  FakeAudioInterface* fake = g_lastFake;
  int16_t buf[8] = {};
  fake->Deliver(buf, sizeof buf);  // never opened
  ASSERT_EQ(port.Open(Params()), 0);
  fake->Deliver(buf, sizeof buf);
  port.Close();
  fake->Deliver(buf, sizeof buf);  // after close
  fake->openResult = 1;
  EXPECT_EQ(port.Open(Params()), 1);
  fake->Deliver(buf, sizeof buf);  // after a failed open
  EXPECT_EQ(rec.inputBlocks, 1);
  port.Destroy();
  EXPECT_FALSE(port.HasInterface());
}

// A stream whose loop failed reports IsRunning false while it is still open. Reopening
// must not allocate over the port's buffers (AddressSanitizer reports the leak), and
// Destroy must still close the interface.
TEST_F(AudioPortTest, AFailedStreamIsReopenedAndDestroyedWithoutLeaks) {
  AudioPort port;
  port.Create(true, 1);
  FakeAudioInterface* fake = g_lastFake;
  int32_t closes = 0;
  fake->closeCounter = &closes;
  AudioOpenParams p = Params();
  p.fifoFrames = 64;
  ASSERT_EQ(port.Open(p), 0);
  fake->loopFailed = true;
  ASSERT_EQ(port.Open(p), 0);  // the fake reopens over itself; the port's buffers are new
  EXPECT_EQ(closes, 0);
  port.Destroy();
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(port.HasInterface());
}

namespace {
// Touches every channel buffer of every block, so a block delivered after Close freed
// them is a use-after-free under AddressSanitizer; also counts blocks seen after Close.
struct StressCallback : AudioStreamCallback {
  std::atomic<bool> closed{true};
  std::atomic<int64_t> blocks{0};
  std::atomic<int64_t> afterClose{0};
  void OnRawInput(AudioPort*, void*, uint32_t) override {}
  void OnRawOutput(AudioPort*, void*, uint32_t) override {}
  void OnInputBlock(AudioPort* port, int32_t* const* ch, int32_t frames) override { Touch(port, ch, frames); }
  void OnOutputBlock(AudioPort* port, int32_t* const* ch, int32_t frames) override { Touch(port, ch, frames); }
  void OnFifoBlock(AudioPort*) override {}
  void Touch(AudioPort* port, int32_t* const* ch, int32_t frames) {
    if (closed.load()) afterClose.fetch_add(1);
    for (int32_t c = 0; c < port->GetParams().channels; ++c)
      for (int32_t f = 0; f < frames; ++f) ch[c][f] += 1;
    blocks.fetch_add(1);
  }
};
}  // namespace

TEST_F(AudioPortTest, CloseNeverDeadlocksAgainstADeviceThreadDeliveringFlatOut) {
  for (bool input : {true, false}) {
    AudioPort port;
    StressCallback cb;
    port.SetCallback(&cb);
    port.Create(input, 1);
    FakeAudioInterface* fake = g_lastFake;
    fake->deviceThread = true;
    int64_t lastDelivered = 0;
    for (int cycle = 0; cycle < 200; ++cycle) {
      AudioOpenParams p = Params(48000, 2 + cycle % 7, 32 + cycle % 5);
      cb.closed = false;
      ASSERT_EQ(port.Open(p), 0);
      // Let the device thread run until it has delivered a few buffers in this cycle.
      auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (fake->delivered.load() < lastDelivered + 3 && std::chrono::steady_clock::now() < end)
        std::this_thread::yield();
      if (cycle % 2 == 0) {
        port.Close();
      } else {
        port.Destroy();  // the other close path: closes while destroying the interface
        port.Create(input, 1);
        fake = g_lastFake;
        fake->deviceThread = true;
      }
      cb.closed = true;
      lastDelivered = fake->delivered.load();
    }
    EXPECT_EQ(cb.afterClose.load(), 0);
    EXPECT_GT(cb.blocks.load(), 200);
  }
}
