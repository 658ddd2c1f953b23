// Interface-type tables, special device names and the common CAudioInterface helpers.
#include "audio/AudioInterface.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

const AudioInterfaceTypeInfo kInputInterfaceTypes[kAudioInterfaceTypeCount] = {
    {kAudioTypeWave, "Wave", "Wave In"},
    {kAudioTypeDirectSound, "DS", "DirectSound"},
    {kAudioTypeKernelStreaming, "KS", "Kernel Streaming"},
    {kAudioTypeWasapi, "WASAPI", "WASAPI"},
    {kAudioTypeWasapiExclusive, "WASAPI Excl", "WASAPI Exclusive"},
};
const AudioInterfaceTypeInfo kOutputInterfaceTypes[kAudioInterfaceTypeCount] = {
    {kAudioTypeWave, "Wave", "Wave Out"},
    {kAudioTypeDirectSound, "DS", "DirectSound"},
    {kAudioTypeKernelStreaming, "KS", "Kernel Streaming"},
    {kAudioTypeWasapi, "WASAPI", "WASAPI"},
    {kAudioTypeWasapiExclusive, "WASAPI Excl", "WASAPI Exclusive"},
};

const char* AudioInterfaceShortName(int32_t type) {
  if (type >= 1 && type <= kAudioInterfaceTypeCount) return kInputInterfaceTypes[type - 1].shortName;
  return "Invalid";
}

const char* AudioInterfaceLongName(bool isInput, int32_t type) {
  if (type >= 1 && type <= kAudioInterfaceTypeCount) return AudioInterfaceTypes(isInput)[type - 1].longName;
  return "Invalid";
}

int32_t AudioInterfaceTypeFromShortName(bool isInput, const char* shortName) {
  if (shortName == nullptr) return 0;
  const AudioInterfaceTypeInfo* table = AudioInterfaceTypes(isInput);
  for (int32_t i = 0; i < kAudioInterfaceTypeCount; ++i)
    if (std::strcmp(table[i].shortName, shortName) == 0) return table[i].id;
  return 0;
}

uint32_t StallLimitMs(const AudioOpenParams& params) {
  constexpr uint32_t kFloorMs = 500;
  if (params.sampleRate <= 0 || params.bufferFrames <= 0 || params.bufferCount <= 0) return kFloorMs;
  const uint64_t buffered = static_cast<uint64_t>(params.bufferFrames) * static_cast<uint64_t>(params.bufferCount);
  const uint64_t ms = 4 * buffered * 1000 / static_cast<uint64_t>(params.sampleRate);
  return ms > kFloorMs ? static_cast<uint32_t>(std::min<uint64_t>(ms, 0xFFFFFFFFu)) : kFloorMs;
}

bool EqualsIgnoreCase(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
  for (; *a != 0 && *b != 0; ++a, ++b)
    if (fold(static_cast<unsigned char>(*a)) != fold(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

bool IsNoDeviceName(const char* name) {
  if (name == nullptr || name[0] == 0) return true;
  for (const char* n : {"Disable", "Disabled", "Off", "None", "(None)"})
    if (EqualsIgnoreCase(name, n)) return true;
  return false;
}

bool IsDefaultDeviceNameText(const char* name) {
  for (const char* n : {"WAVE_MAPPER", "Default", "Default Device"})
    if (EqualsIgnoreCase(name, n)) return true;
  return false;
}

AudioOpenParams AudioOpenParams::Zeroed() {
  AudioOpenParams p;
  p.structSize = 0;
  p.deviceId.clear();
  p.bitsPerSample = 0;
  return p;
}

void CAudioInterface::GetErrorText(char* buffer, int32_t size) const {
  if (buffer == nullptr || size <= 0) return;
  std::snprintf(buffer, static_cast<size_t>(size), "%s", errorText_);
}

void CAudioInterface::SetErrorText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(errorText_, sizeof(errorText_), format, args);  // cuts at 255
  va_end(args);
}
