// The portable part of the WASAPI interface: identifiers and the device list, formats and
// conversions, time, texts, latency, and the stager between device packets and the port's
// fixed blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "audio/wasapi/WasapiCore.h"

namespace {

TEST(WasapiCore, IdentifiersAndTheDeviceList) {
  std::string ep;
  EXPECT_EQ(WasapiClassifyId("(none)", &ep), WasapiIdKind::kNone);
  EXPECT_EQ(WasapiClassifyId("", &ep), WasapiIdKind::kNone);
  EXPECT_EQ(WasapiClassifyId("default device", &ep), WasapiIdKind::kDefault);
  EXPECT_EQ(WasapiClassifyId("WAVE_MAPPER", &ep), WasapiIdKind::kDefault);
  EXPECT_EQ(WasapiClassifyId("Loopback:{0.0.0.00000000}.{ab}", &ep), WasapiIdKind::kLoopback);
  EXPECT_EQ(ep, "{0.0.0.00000000}.{ab}");
  EXPECT_EQ(WasapiClassifyId("Loopback:", &ep), WasapiIdKind::kEndpoint);  // nothing to loop back
  EXPECT_EQ(WasapiClassifyId("{0.0.1.00000000}.{cd}", &ep), WasapiIdKind::kEndpoint);
  EXPECT_EQ(ep, "{0.0.1.00000000}.{cd}");

  const std::string longName(80, 'n');  // no truncation of friendly names
  const std::vector<WasapiEndpoint> own = {{"{c1}", "Monitor of CableA"}, {"{c2}", longName}};
  const std::vector<WasapiEndpoint> render = {{"{r1}", "CableA"}};
  EXPECT_EQ(WasapiDeviceCount(own, render, true), 4);
  EXPECT_EQ(WasapiDeviceCount(own, {}, false), 2);
  AudioDeviceInfo info;
  WasapiDeviceInfoAt(own, render, true, 0, &info);
  EXPECT_EQ(info.name, "Default Device");
  EXPECT_EQ(info.identifier, "Default Device");
  WasapiDeviceInfoAt(own, render, true, 2, &info);
  EXPECT_EQ(info.name, longName);
  EXPECT_EQ(info.identifier, "{c2}");
  EXPECT_EQ(info.deviceIndex, 1);
  WasapiDeviceInfoAt(own, render, true, 3, &info);
  EXPECT_EQ(info.name, "Loopback: CableA");
  EXPECT_EQ(info.identifier, "Loopback:{r1}");
  std::string back;
  EXPECT_EQ(WasapiClassifyId(info.identifier.c_str(), &back), WasapiIdKind::kLoopback);
  EXPECT_EQ(back, "{r1}");
  WasapiDeviceInfoAt(own, render, false, 0, &info);
  EXPECT_EQ(info.identifier, "{c1}");
  WasapiDeviceInfoAt(own, render, true, 4, &info);
  EXPECT_TRUE(info.name.empty() && info.identifier.empty());
  EXPECT_EQ(info.deviceIndex, -1);
}

TEST(WasapiCore, FormatsMasksAndTheExclusiveOrder) {
  const WasapiFormat f = WasapiBuildFormat(2, 48000, kWasapiInt24In32);
  EXPECT_EQ(f.blockAlign, 8);
  EXPECT_EQ(f.avgBytesPerSec, 384000u);
  EXPECT_EQ(f.sample.validBits, 24);
  EXPECT_EQ(f.channelMask, 0x3u);
  EXPECT_EQ(WasapiBuildFormat(6, 44100, kWasapiInt16).blockAlign, 12);
  EXPECT_EQ(WasapiChannelMask(1), 0x4u);
  EXPECT_EQ(WasapiChannelMask(4), 0x33u);
  EXPECT_EQ(WasapiChannelMask(6), 0x3Fu);
  EXPECT_EQ(WasapiChannelMask(8), 0x63Fu);
  EXPECT_EQ(WasapiChannelMask(3), 0x7u);
  EXPECT_EQ(WasapiChannelMask(32), 0u);
  EXPECT_TRUE(kWasapiExclusiveOrder[0] == kWasapiInt16);
  EXPECT_TRUE(kWasapiExclusiveOrder[1] == kWasapiInt24In32);
  EXPECT_TRUE(kWasapiExclusiveOrder[2] == kWasapiFloat32);
  WasapiSampleType t;
  EXPECT_TRUE(WasapiPortSampleType(16, &t) && t == kWasapiInt16);
  EXPECT_TRUE(WasapiPortSampleType(32, &t) && t == kWasapiFloat32);
  EXPECT_FALSE(WasapiPortSampleType(24, &t));
}

TEST(WasapiCore, ConversionsAreExactWhereTheyCanBeAndSaturateElsewhere) {
  const int16_t in[4] = {-32768, -1, 1, 32767};
  int32_t wide[4];
  WasapiConvertSamples(in, kWasapiInt16, wide, kWasapiInt24In32, 4);
  EXPECT_EQ(wide[0], -32768 * 65536);
  EXPECT_EQ(wide[3], 32767 * 65536);
  int16_t back[4];
  WasapiConvertSamples(wide, kWasapiInt24In32, back, kWasapiInt16, 4);
  EXPECT_EQ(std::memcmp(in, back, sizeof in), 0);
  // 24 valid bits: the padding byte of a 32-bit value from a float stays clear.
  const float odd = 0.1234567f;  // 0x0FCD6E9B on the 2^31 scale
  int32_t padded = -1;
  WasapiConvertSamples(&odd, kWasapiFloat32, &padded, kWasapiInt24In32, 1);
  EXPECT_EQ(padded & 0xff, 0);
  EXPECT_EQ(padded >> 8, static_cast<int32_t>(0.1234567 * 8388608.0));

  float f[4];
  WasapiConvertSamples(in, kWasapiInt16, f, kWasapiFloat32, 4);
  EXPECT_FLOAT_EQ(f[0], -1.0f);
  EXPECT_FLOAT_EQ(f[2], 1.0f / 32768.0f);
  WasapiConvertSamples(f, kWasapiFloat32, back, kWasapiInt16, 4);
  EXPECT_EQ(std::memcmp(in, back, sizeof in), 0);
  const float wild[3] = {1.5f, -2.0f, std::numeric_limits<float>::quiet_NaN()};
  int16_t clipped[3];
  WasapiConvertSamples(wild, kWasapiFloat32, clipped, kWasapiInt16, 3);
  EXPECT_EQ(clipped[0], 32767);
  EXPECT_EQ(clipped[1], -32768);
  EXPECT_EQ(clipped[2], 0);
}

TEST(WasapiCore, TimeTextsAndLatency) {
  EXPECT_EQ(WasapiFramesToHns(512, 44100), 116100);  // 11.6099... ms
  EXPECT_EQ(WasapiFramesToHns(480, 48000), 100000);
  EXPECT_EQ(WasapiHnsToFrames(100000, 44100), 441);
  EXPECT_EQ(WasapiExclusivePeriodHns(64, 48000, 30000), 30000);  // below the device minimum
  EXPECT_EQ(WasapiExclusivePeriodHns(512, 48000, 30000), 106667);
  EXPECT_EQ(WasapiWaitBoundMs(100000), 20u);
  EXPECT_EQ(WasapiWaitBoundMs(1000000), 200u);
  EXPECT_EQ(WasapiWaitBoundMs(100000000), 500u);

  EXPECT_STREQ(WasapiExclusiveRefusalText(kWasapiErrDeviceInUse), "Exclusive mode not available: device in use");
  EXPECT_NE(WasapiExclusiveRefusalText(kWasapiErrExclusiveNotAllowed), nullptr);
  EXPECT_EQ(WasapiExclusiveRefusalText(kWasapiErrDeviceInvalidated), nullptr);

  EXPECT_EQ(WasapiRenderTargetFrames(512, 8, 441, 4096), 3584);
  EXPECT_EQ(WasapiRenderTargetFrames(512, 2, 441, 1323), 882);   // two 10 ms periods, not one block
  EXPECT_EQ(WasapiRenderTargetFrames(4096, 16, 480, 44100), 44100);  // what the engine granted
  EXPECT_EQ(WasapiSharedBufferHns(512, 8, 44100, 100000), 928798);
  EXPECT_EQ(WasapiSharedBufferHns(48, 2, 48000, 100000), 300000);
  EXPECT_EQ(WasapiLatencyFrames(false, false, 4096, 100, 512, 0), 0);
  EXPECT_EQ(WasapiLatencyFrames(true, false, 4096, 100, 512, 64), 4096 + 100 + 64);
  EXPECT_EQ(WasapiLatencyFrames(true, true, 4096, 100, 512, 0), 512 + 100);
}

// Records every block the stager hands over.
struct BlockLog : AudioBufferSink {
  std::vector<std::vector<int16_t>> blocks;
  int16_t next = 0;  // playback: the ramp value the next block starts with
  bool play = false;
  void OnBuffer(CAudioInterface*, void* data, uint32_t bytes) override {
    auto* s = static_cast<int16_t*>(data);
    const size_t n = bytes / 2;
    if (play) {
      for (size_t i = 0; i < n; i += 2) s[i] = s[i + 1] = next++;
    }
    blocks.emplace_back(s, s + n);
  }
};

TEST(WasapiStager, CapturePacketsOfAnySizeBecomeWholeBlocksInOrder) {
  WasapiBlockStager st;
  st.Setup(512, 2, kWasapiInt16, kWasapiInt24In32);
  BlockLog log;
  // 10 ms packets of a 44.1 kHz engine, values counting frame by frame, one silent packet.
  std::vector<int32_t> packet(441 * 2);
  int32_t frame = 0;
  for (int p = 0; p < 12; ++p) {
    for (int i = 0; i < 441; ++i, ++frame) packet[2 * i] = packet[2 * i + 1] = frame * 65536;
    st.Capture(p == 5 ? nullptr : packet.data(), 441, &log, nullptr);
  }
  ASSERT_EQ(log.blocks.size(), 12u * 441u / 512u);
  EXPECT_EQ(st.PendingFrames(), static_cast<int32_t>(12 * 441 % 512));
  for (size_t b = 0; b < log.blocks.size(); ++b) {
    ASSERT_EQ(log.blocks[b].size(), 1024u);
    for (int i = 0; i < 512; ++i) {
      const int f = static_cast<int>(b) * 512 + i;
      const int expect = (f >= 5 * 441 && f < 6 * 441) ? 0 : f;
      ASSERT_EQ(log.blocks[b][2 * i], expect) << "block " << b << " frame " << i;
      ASSERT_EQ(log.blocks[b][2 * i + 1], expect);
    }
  }
}

TEST(WasapiStager, PlaybackAsksForABlockExactlyWhenTheLastIsUsedUp) {
  WasapiBlockStager st;
  st.Setup(512, 2, kWasapiInt16, kWasapiFloat32);
  BlockLog log;
  log.play = true;
  std::vector<float> device(480 * 2);
  std::vector<float> all;
  for (int p = 0; p < 16; ++p) {
    st.Render(device.data(), 480, &log, nullptr);
    all.insert(all.end(), device.begin(), device.end());
  }
  EXPECT_EQ(log.blocks.size(), (16u * 480u + 511u) / 512u);
  EXPECT_EQ(st.BlocksDone(), log.blocks.size());
  EXPECT_EQ(st.PendingFrames(), static_cast<int32_t>(log.blocks.size() * 512 - 16 * 480));
  for (size_t i = 0; i < all.size() / 2; ++i) {
    ASSERT_FLOAT_EQ(all[2 * i], static_cast<float>(i) / 32768.0f) << i;
    ASSERT_FLOAT_EQ(all[2 * i + 1], static_cast<float>(i) / 32768.0f);
  }
  // Without a sink the device gets silence, not the last block again.
  std::vector<float> quiet(1024 * 2, 1.0f);
  st.Render(quiet.data(), 1024, nullptr, nullptr);
  EXPECT_FLOAT_EQ(quiet.back(), 0.0f);
}

}  // namespace
