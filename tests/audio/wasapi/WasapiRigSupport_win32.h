// Shared by the WASAPI tests against the PulseAudio rig: the interface factory, finding
// an entry by its shown name, counting this process's threads and handles, and playing or
// recording a cable with the sound server's own tools (so the tools add nothing of
// Wine's to what is judged).
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "audio/AudioPort.h"
#include "audio/wasapi/WasapiAudioInterface.h"
#include "rig/RigClient.h"
#include "testutil/SignalAnalysis.h"

namespace wasapirig {

// AudioPort::Create still hands the factory only the ids 1 to 3, so tests that need a
// port around the interface ask for id 3 and get WASAPI shared mode for it (the port then
// names it by that id). Tests that need the exclusive mode use the interface directly.
inline CAudioInterface* Factory(bool isInput, int32_t type) {
  if (type == kAudioTypeWasapi || type == kAudioTypeKernelStreaming) return new CWasapiAudioInterface(isInput, false);
  return CreateWasapiAudioInterface(isInput, type);
}
inline constexpr int32_t kPortTypeForWasapi = kAudioTypeKernelStreaming;

// The identifier of the entry shown as `name`; empty when not listed.
inline std::string FindId(CAudioInterface& iface, const std::string& name) {
  const int32_t n = iface.GetDeviceCount();
  for (int32_t i = 0; i < n; ++i) {
    AudioDeviceInfo info;
    iface.GetDeviceInfo(&info, i);
    if (info.name == name) return info.identifier;
  }
  return {};
}

inline AudioOpenParams Params(const std::string& id, int32_t rate, int32_t frames = 512, int32_t count = 8) {
  AudioOpenParams p;
  p.deviceId = id;
  p.deviceName = id;
  p.sampleRate = rate;
  p.channels = 2;
  p.bufferFrames = frames;
  p.bufferCount = count;
  return p;
}

inline int ThreadCount() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 te{};
  te.dwSize = sizeof(te);
  int n = 0;
  for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
    if (te.th32OwnerProcessID == GetCurrentProcessId()) ++n;
  CloseHandle(snap);
  return n;
}

// The lowest free handle slot: handles are given out lowest first, so a leak of one
// handle per round moves it by one per round (Wine does not count a process's handles).
inline int FreshHandleSlot() {
  HANDLE probe = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  const int slot = static_cast<int>(reinterpret_cast<uintptr_t>(probe) / 4);
  CloseHandle(probe);
  return slot;
}

// parec of a cable's monitor into a raw file, at raised priority (a starved recorder
// would put gaps into the recording that the device under test never made).
inline rig::Job StartRecorder(const std::string& sink, int rate, const std::string& file) {
  return rig::Job::Start("exec nice -n -15 parec -d " + sink + ".monitor --raw --format=s16le --channels=2 --rate=" +
                         std::to_string(rate) + " --latency-msec=100 > " + rig::Quote(file));
}

// pacat of a raw file into a cable.
inline rig::Job StartPlayer(const std::string& sink, int rate, const std::string& file) {
  return rig::Job::Start("exec nice -n -15 pacat -d " + sink + " --raw --format=s16le --channels=2 --rate=" +
                         std::to_string(rate) + " --latency-msec=100 < " + rig::Quote(file));
}

// Left channel of a raw recording (empty when it cannot be read).
inline std::vector<float> ReadLeft(const std::string& file) {
  std::vector<int16_t> s;
  if (!sigan::ReadRaw16(rig::HostPath(file), &s)) return {};
  return sigan::Channel(s, 2, 0);
}

inline std::string SkipReason() {
  std::string why = rig::Unavailable();
  if (why.empty()) {
    CWasapiAudioInterface out(false, false);
    if (FindId(out, "CableA").empty() || FindId(out, "CableB").empty()) why = "the rig's cables are not listed by WASAPI";
  }
  if (!why.empty()) {
    const char* required = std::getenv("VELORAND_RIG_REQUIRED");
    if (required != nullptr && std::string(required) == "1") return "REQUIRED:" + why;
  }
  return why;
}

}  // namespace wasapirig
