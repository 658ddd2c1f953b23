#include "audio/ds/DsCore.h"

#include <cstdio>
#include <cstring>

#include "audio/AudioInterface.h"

bool DsGuid::IsNull() const {
  if (data1 != 0 || data2 != 0 || data3 != 0) return false;
  for (uint8_t b : data4) {
    if (b != 0) return false;
  }
  return true;
}

bool DsGuid::operator==(const DsGuid& other) const {
  return data1 == other.data1 && data2 == other.data2 && data3 == other.data3 &&
         std::memcmp(data4, other.data4, sizeof(data4)) == 0;
}

void DsGuidToText(const DsGuid& g, char text[kDsGuidTextLength + 1]) {
  std::snprintf(text, kDsGuidTextLength + 1,
                "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned>(g.data1), static_cast<unsigned>(g.data2),
                static_cast<unsigned>(g.data3), g.data4[0], g.data4[1], g.data4[2],
                g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
}

std::string DsGuidToText(const DsGuid& guid) {
  char text[kDsGuidTextLength + 1];
  DsGuidToText(guid, text);
  return text;
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly `digits` hexadecimal digits at text[at]; false if any is not one.
bool ReadHex(const char* text, int at, int digits, uint32_t* value) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    const int h = HexValue(text[at + i]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(h);
  }
  *value = v;
  return true;
}

}  // namespace

DsGuidParse DsGuidFromText(const char* text, DsGuid* guid) {
  *guid = DsGuid{};
  if (text == nullptr || std::strlen(text) != kDsGuidTextLength) return DsGuidParse::kDefault;

  // The fields are fixed-width in the written form, so each is read with its full width.
  // A looser reading (digits up to the next non-digit) would turn a damaged identifier
  // into a half-read GUID, or into the all-zero GUID and so silently into the default
  // device; such a text is reported instead.
  DsGuid g;
  uint32_t v = 0;
  bool ok = text[8] == '-' && text[13] == '-' && text[18] == '-' && text[23] == '-';
  ok = ok && ReadHex(text, 0, 8, &v);
  g.data1 = v;
  ok = ok && ReadHex(text, 9, 4, &v);
  g.data2 = static_cast<uint16_t>(v);
  ok = ok && ReadHex(text, 14, 4, &v);
  g.data3 = static_cast<uint16_t>(v);
  static constexpr int kPairs[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; ok && i < 8; ++i) {
    ok = ReadHex(text, kPairs[i], 2, &v);
    g.data4[i] = static_cast<uint8_t>(v);
  }
  if (!ok) return DsGuidParse::kMalformed;
  *guid = g;
  return DsGuidParse::kParsed;
}

DsWaveFormat DsBuildFormat(int32_t channels, int32_t sampleRate, int32_t bitsPerSample) {
  DsWaveFormat f;
  f.formatTag = bitsPerSample == 32 ? kDsFormatIeeeFloat : kDsFormatPcm;
  f.channels = static_cast<uint16_t>(channels);
  f.samplesPerSec = static_cast<uint32_t>(sampleRate);
  f.bitsPerSample = static_cast<uint16_t>(bitsPerSample);
  f.blockAlign = static_cast<uint16_t>(bitsPerSample * channels / 8);
  f.avgBytesPerSec = static_cast<uint32_t>(
      static_cast<uint64_t>(bitsPerSample) * static_cast<uint64_t>(channels) *
      static_cast<uint64_t>(sampleRate) / 8u);
  f.cbSize = 0;
  if (channels > 2) {
    f.extensible = true;
    f.cbSize = 22;
    f.channelMask = StandardChannelMask(channels);
  }
  return f;
}

DsWaveFormat DsPlainFormat(DsWaveFormat format) {
  format.extensible = false;
  format.cbSize = 0;
  format.channelMask = 0;
  return format;
}

int32_t DsBlocksDue(uint32_t seen, int32_t next, int32_t blocks) {
  int32_t due = 0;
  for (int32_t d = 0; d < blocks; ++d) {
    const int32_t block = (next + d) % blocks;
    if ((seen >> block) & 1u) due = d + 1;
  }
  return due;
}

void DsRefillTracker::Start(int32_t blocks, uint32_t blockBytes, int32_t firstBlock) {
  blocks_ = blocks;
  blockBytes_ = blockBytes;
  lastPlay_ = 0;
  played_ = 0;
  fillFrom_ = static_cast<uint64_t>(firstBlock > 0 ? firstBlock : 0) * blockBytes;
}

DsRefillPlan DsRefillTracker::Plan(uint32_t play, uint32_t write) {
  DsRefillPlan plan;
  if (blocks_ < 1 || blockBytes_ == 0) return plan;
  const uint64_t total = static_cast<uint64_t>(blocks_) * blockBytes_;
  played_ += (play % total + total - lastPlay_) % total;
  lastPlay_ = play % total;
  const uint64_t writeAt = played_ + (write % total + total - lastPlay_) % total;
  if (fillFrom_ < writeAt) {
    plan.late = true;
    fillFrom_ = (writeAt + blockBytes_ - 1) / blockBytes_ * blockBytes_;
  }
  plan.first = static_cast<int32_t>((fillFrom_ / blockBytes_) % static_cast<uint64_t>(blocks_));
  const uint64_t target = static_cast<uint64_t>(blocks_ / 2) * blockBytes_;
  while (plan.count < blocks_ && fillFrom_ - played_ < target) {
    ++plan.count;
    fillFrom_ += blockBytes_;
  }
  return plan;
}

bool DsOutputGeometryFits(int32_t blocks, uint32_t blockBytes, uint32_t writeLeadBytes,
                          uint32_t bytesPerSecond) {
  if (blocks < 2 || blockBytes == 0) return false;
  const uint64_t lead = DsRefillLeadBytes(blocks, blockBytes);
  const uint64_t floor = static_cast<uint64_t>(bytesPerSecond) * kDsMinRefillLeadMs / 1000u;
  return lead > writeLeadBytes && lead >= floor;
}

const char* DsCreateStreamingFailureFormat(int32_t code) {
  if (code == kDsErrBadFormat || code == kDsErrInvalidArg) {
    return "DSoundManager::CreateStreaming failed (bad format?): %08x";
  }
  return "DSoundManager::CreateStreaming failed: %08x";
}

void DsDeviceInfoAt(const std::vector<DsDeviceEntry>& devices, bool allowDefaultDevice,
                    int32_t index, AudioDeviceInfo* info) {
  if (allowDefaultDevice) {
    if (index == 0) {
      info->name = "Default Device";
      info->identifier = "WAVE_MAPPER";
      return;
    }
    --index;
  }
  if (index < 0 || index >= static_cast<int32_t>(devices.size())) {
    info->name = "invalid";
    info->identifier = "invalid";
    info->deviceIndex = -1;
    return;
  }
  const DsDeviceEntry& e = devices[static_cast<size_t>(index)];
  info->identifier = DsGuidToText(e.guid);
  info->name = e.description;
  info->deviceIndex = index;
}
