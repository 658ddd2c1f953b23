// The DirectSound interface's portable arithmetic: identifiers, format, notification
// offsets, refill order, prefill size, latency, device-list entries.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "audio/AudioInterface.h"
#include "audio/ds/DsCore.h"

namespace {

DsGuid SampleGuid() {
  // {1B2C3D4E-0001-0002-A1B2-C3D4E5F60708}
  DsGuid g;
  g.data1 = 0x1B2C3D4E;
  g.data2 = 0x0001;
  g.data3 = 0x0002;
  const uint8_t d4[8] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x08};
  std::memcpy(g.data4, d4, 8);
  return g;
}

TEST(DsGuidText, WritesLowerCaseWithoutBracesAndReadsBack) {
  const DsGuid g = SampleGuid();
  const std::string text = DsGuidToText(g);
  EXPECT_EQ(text, "1b2c3d4e-0001-0002-a1b2-c3d4e5f60708");
  EXPECT_EQ(text.size(), 36u);

  DsGuid back;
  EXPECT_EQ(DsGuidFromText(text.c_str(), &back), DsGuidParse::kParsed);
  EXPECT_TRUE(back == g);

  // Leading zeros are kept in every field, and every byte goes to its own place.
  DsGuid small;
  small.data1 = 0x5;
  small.data4[7] = 0x1;
  EXPECT_EQ(DsGuidToText(small), "00000005-0000-0000-0000-000000000001");
  EXPECT_EQ(DsGuidFromText("00000005-0000-0000-0000-000000000001", &back), DsGuidParse::kParsed);
  EXPECT_TRUE(back == small);
  EXPECT_FALSE(back.IsNull());
}

TEST(DsGuidText, UpperCaseIdentifierNamesTheSameDevice) {
  DsGuid back;
  EXPECT_EQ(DsGuidFromText("1B2C3D4E-0001-0002-A1B2-C3D4E5F60708", &back), DsGuidParse::kParsed);
  EXPECT_TRUE(back == SampleGuid());
  EXPECT_EQ(DsGuidFromText("1b2C3d4E-0001-0002-a1B2-c3D4e5F60708", &back), DsGuidParse::kParsed);
  EXPECT_TRUE(back == SampleGuid());
}

TEST(DsGuidText, OnlyThirtySixCharactersNameADevice) {
  DsGuid back = SampleGuid();
  // 35 and 37 characters, the default names and nothing at all: the default device.
  for (const char* text : {"1b2c3d4e-0001-0002-a1b2-c3d4e5f6070",
                           "1b2c3d4e-0001-0002-a1b2-c3d4e5f607080",
                           "{1b2c3d4e-0001-0002-a1b2-c3d4e5f60708}", "WAVE_MAPPER",
                           "Default Device", ""}) {
    back = SampleGuid();
    EXPECT_EQ(DsGuidFromText(text, &back), DsGuidParse::kDefault) << text;
    EXPECT_TRUE(back.IsNull()) << text;
  }
  EXPECT_EQ(DsGuidFromText(nullptr, &back), DsGuidParse::kDefault);
}

TEST(DsGuidText, DamagedThirtySixCharactersAreNotTheDefaultDevice) {
  // Each damages one field; none may come back as a GUID (and certainly not as the
  // all-zero GUID that would open the default device as if nothing were wrong).
  const char* damaged[] = {
      "zzzzzzzz-zzzz-zzzz-zzzz-zzzzzzzzzzzz",  // 36 characters of nothing
      "1b2c3d4e+0001-0002-a1b2-c3d4e5f60708",  // hyphen replaced
      "1b2c3d4g-0001-0002-a1b2-c3d4e5f60708",  // Data1
      "1b2c3d4e-00x1-0002-a1b2-c3d4e5f60708",  // Data2
      "1b2c3d4e-0001-000 -a1b2-c3d4e5f60708",  // Data3
      "1b2c3d4e-0001-0002-a1b2-c3d4e5f6070g",  // last byte of Data4
      "1b2c3d4e-0001-0002-a1b2c-3d4e5f60708",  // hyphen moved into Data4
      "1b2c3d4e00010002a1b2c3d4e5f60708----",  // digits all first
  };
  for (const char* text : damaged) {
    ASSERT_EQ(std::strlen(text), 36u) << text;
    DsGuid back = SampleGuid();
    EXPECT_EQ(DsGuidFromText(text, &back), DsGuidParse::kMalformed) << text;
    EXPECT_TRUE(back.IsNull()) << text;
  }
}

TEST(DsFormat, SixteenBitStereoAndFloat) {
  const DsWaveFormat f = DsBuildFormat(2, 44100, 16);
  EXPECT_EQ(f.formatTag, kDsFormatPcm);
  EXPECT_EQ(f.channels, 2);
  EXPECT_EQ(f.samplesPerSec, 44100u);
  EXPECT_EQ(f.blockAlign, 4);
  EXPECT_EQ(f.avgBytesPerSec, 176400u);
  EXPECT_EQ(f.bitsPerSample, 16);
  EXPECT_EQ(f.cbSize, 0);

  // Eight channels of float at a high rate: no overflow in the byte rate.
  const DsWaveFormat g = DsBuildFormat(8, 192000, 32);
  EXPECT_EQ(g.formatTag, kDsFormatIeeeFloat);
  EXPECT_EQ(g.blockAlign, 32);
  EXPECT_EQ(g.avgBytesPerSec, 6144000u);

  EXPECT_EQ(DsBuildFormat(1, 8000, 16).blockAlign, 2);
}

TEST(DsGeometry, EightBlocksOf512StereoFrames) {
  const uint32_t blockBytes = DsBuildFormat(2, 48000, 16).blockAlign * 512u;
  ASSERT_EQ(blockBytes, 2048u);
  const uint32_t bufferBytes = blockBytes * 8u;
  std::set<uint32_t> blocksHit;
  for (int i = 0; i < 8; ++i) {
    const uint32_t play = DsPlaybackNotifyOffset(i, blockBytes);
    const uint32_t capture = DsCaptureNotifyOffset(i, blockBytes);
    EXPECT_EQ(play, 1024u + 2048u * static_cast<uint32_t>(i));
    EXPECT_EQ(capture, 2047u + 2048u * static_cast<uint32_t>(i));
    // Every notification lies inside the buffer and inside its own block.
    EXPECT_LT(capture, bufferBytes);
    EXPECT_EQ(play / blockBytes, static_cast<uint32_t>(i));
    EXPECT_EQ(capture / blockBytes, static_cast<uint32_t>(i));
    blocksHit.insert(capture / blockBytes);
  }
  EXPECT_EQ(DsPlaybackNotifyOffset(7, blockBytes), 15360u);
  EXPECT_EQ(DsCaptureNotifyOffset(7, blockBytes), 16383u);
  EXPECT_EQ(blocksHit.size(), 8u);
}

TEST(DsGeometry, RefillStaysHalfABufferAhead) {
  // Four blocks: the first two are filled at open; block 0's notification fills block 2,
  // block 1's fills 3, block 2's fills 0, block 3's fills 1.
  EXPECT_EQ(DsPrefillBytes(4 * 2048), 2u * 2048u);
  EXPECT_EQ(DsRefillBlock(0, 4), 2);
  EXPECT_EQ(DsRefillBlock(1, 4), 3);
  EXPECT_EQ(DsRefillBlock(2, 4), 0);
  EXPECT_EQ(DsRefillBlock(3, 4), 1);

  // Three blocks: the prefill covers one and a half, block 0's notification fills block 1.
  EXPECT_EQ(DsPrefillBytes(3 * 2048), 3072u);
  EXPECT_EQ(DsRefillBlock(0, 3), 1);
  EXPECT_EQ(DsRefillBlock(1, 3), 2);
  EXPECT_EQ(DsRefillBlock(2, 3), 0);

  // For every count the refills visit each block exactly once per lap and never touch the
  // block being played.
  for (int blocks = kDsMinBlocks; blocks <= kDsMaxBlocks; ++blocks) {
    std::set<int> seen;
    for (int i = 0; i < blocks; ++i) {
      const int r = DsRefillBlock(i, blocks);
      EXPECT_NE(r, i) << blocks;
      EXPECT_GE(r, 0);
      EXPECT_LT(r, blocks);
      seen.insert(r);
    }
    EXPECT_EQ(static_cast<int>(seen.size()), blocks);
  }
}

TEST(DsGeometry, LatencyIsHalfTheBuffersPlusTheFifo) {
  EXPECT_EQ(DsLatencyFrames(true, 0, 8, 512), 2048);
  EXPECT_EQ(DsLatencyFrames(true, 1000, 8, 512), 3048);
  EXPECT_EQ(DsLatencyFrames(true, 0, 3, 256), 256);  // half of 3 rounds down
  EXPECT_EQ(DsLatencyFrames(false, 1000, 8, 512), 0);
}

TEST(DsErrors, RefusedFormatGetsTheHint) {
  char text[128];
  std::snprintf(text, sizeof(text), DsCreateStreamingFailureFormat(kDsErrBadFormat),
                static_cast<unsigned>(kDsErrBadFormat));
  EXPECT_STREQ(text, "DSoundManager::CreateStreaming failed (bad format?): 88780064");
  std::snprintf(text, sizeof(text), DsCreateStreamingFailureFormat(kDsErrInvalidArg),
                static_cast<unsigned>(kDsErrInvalidArg));
  EXPECT_STREQ(text, "DSoundManager::CreateStreaming failed (bad format?): 80070057");
  const int32_t outOfMemory = static_cast<int32_t>(0x8007000Eu);
  std::snprintf(text, sizeof(text), DsCreateStreamingFailureFormat(outOfMemory),
                static_cast<unsigned>(outOfMemory));
  EXPECT_STREQ(text, "DSoundManager::CreateStreaming failed: 8007000e");
}

TEST(DsDeviceList, DefaultEntryShiftsTheDevices) {
  std::vector<DsDeviceEntry> devices(2);
  devices[0].guid = SampleGuid();
  devices[0].description = "CableA";
  devices[1].guid.data1 = 0xdeadbeef;
  devices[1].description = "Monitor of CableB";

  AudioDeviceInfo info;
  info.deviceIndex = 77;
  DsDeviceInfoAt(devices, true, 0, &info);
  EXPECT_EQ(info.name, "Default Device");
  EXPECT_EQ(info.identifier, "WAVE_MAPPER");
  EXPECT_EQ(info.deviceIndex, 77);  // left as it was

  DsDeviceInfoAt(devices, true, 1, &info);
  EXPECT_EQ(info.name, "CableA");
  EXPECT_EQ(info.identifier, "1b2c3d4e-0001-0002-a1b2-c3d4e5f60708");
  EXPECT_EQ(info.deviceIndex, 0);
  DsDeviceInfoAt(devices, true, 2, &info);
  EXPECT_EQ(info.name, "Monitor of CableB");
  EXPECT_EQ(info.identifier, "deadbeef-0000-0000-0000-000000000000");
  EXPECT_EQ(info.deviceIndex, 1);

  for (int bad : {3, -1, 1000}) {
    DsDeviceInfoAt(devices, true, bad, &info);
    EXPECT_EQ(info.name, "invalid");
    EXPECT_EQ(info.identifier, "invalid");
    EXPECT_EQ(info.deviceIndex, -1);
  }

  // Without the default entry, index 0 is the first device and 2 is outside.
  DsDeviceInfoAt(devices, false, 0, &info);
  EXPECT_EQ(info.name, "CableA");
  EXPECT_EQ(info.deviceIndex, 0);
  DsDeviceInfoAt(devices, false, 2, &info);
  EXPECT_EQ(info.deviceIndex, -1);

  // An empty list still offers the default entry.
  DsDeviceInfoAt({}, true, 0, &info);
  EXPECT_EQ(info.identifier, "WAVE_MAPPER");
  DsDeviceInfoAt({}, true, 1, &info);
  EXPECT_EQ(info.name, "invalid");
}

}  // namespace

// The wait names the lowest signalled block: with the last and the first both done, the
// last (older) one still comes first, and a missed notification does not stall the ring.
TEST(DsRing, CaptureBlocksDueRunInRingOrderFromTheExpectedOne) {
  EXPECT_EQ(DsBlocksDue(0, 2, 4), 0);
  EXPECT_EQ(DsBlocksDue(1u << 2, 2, 4), 1);
  EXPECT_EQ(DsBlocksDue((1u << 3) | (1u << 0), 3, 4), 2);  // 3, then 0
  EXPECT_EQ(DsBlocksDue(1u << 1, 3, 4), 3);                // 3, 0 and 1: 1 implies the others
  EXPECT_EQ(DsBlocksDue((1u << 31) | 1u, 31, 32), 2);
}

TEST(DsFormat, MoreThanTwoChannelsAreExtensibleWithTheStandardMask) {
  const DsWaveFormat six = DsBuildFormat(6, 48000, 16);
  EXPECT_TRUE(six.extensible);
  EXPECT_EQ(six.cbSize, 22);
  EXPECT_EQ(six.channelMask, 0x3Fu);
  EXPECT_EQ(six.formatTag, kDsFormatPcm);  // the SubFormat
  EXPECT_EQ(six.blockAlign, 12);
  const DsWaveFormat plain = DsPlainFormat(six);
  EXPECT_FALSE(plain.extensible);
  EXPECT_EQ(plain.cbSize, 0);
  EXPECT_EQ(plain.blockAlign, 12);
  EXPECT_EQ(DsBuildFormat(8, 48000, 32).channelMask, 0x63Fu);
  EXPECT_FALSE(DsBuildFormat(2, 48000, 16).extensible);
}

TEST(DsGeometry, OutputGeometriesInsideTheWriteGapAreRefused) {
  const uint32_t bytesPerSecond = 48000 * 4;
  // 2 x 48 frames refill half a block (0.5 ms) ahead: inside any write-cursor lead.
  EXPECT_FALSE(DsOutputGeometryFits(2, 48 * 4, 0, bytesPerSecond));
  // 4 x 441 frames at 44.1 kHz refill 15 ms ahead: enough, unless the lead is longer.
  EXPECT_TRUE(DsOutputGeometryFits(4, 441 * 4, 441 * 4 / 2, 44100 * 4));
  EXPECT_FALSE(DsOutputGeometryFits(4, 441 * 4, 441 * 4 * 2, 44100 * 4));
  EXPECT_EQ(DsRefillLeadBytes(8, 2048), 4u * 2048 - 1024);
  EXPECT_EQ(DsFirstRefillBlock(3 * 2048, 2048), 1);
  EXPECT_EQ(DsFirstRefillBlock(4 * 2048, 2048), 2);
}
