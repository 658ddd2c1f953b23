// Shared by the Wave device tests that run against the PulseAudio rig's cables: the wave
// interface factory for AudioPort, finding a device entry by its shown name, and counting
// this process's threads (for leftover-thread checks).
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <chrono>
#include <string>

#include "audio/AudioPort.h"
#include "audio/wave/WaveAudioInterface.h"

namespace waverig {

inline CAudioInterface* WaveFactory(bool isInput, int32_t type) {
  return type == kAudioTypeWave ? CreateWaveAudioInterface(isInput) : nullptr;
}

// Index of the entry whose name is `name` (exactly), or -1.
inline int FindEntry(CAudioInterface& iface, const std::string& name, AudioDeviceInfo* found = nullptr) {
  for (int32_t i = 0; i < iface.GetDeviceCount(); ++i) {
    AudioDeviceInfo info;
    iface.GetDeviceInfo(&info, i);
    if (info.name == name) {
      if (found != nullptr) *found = info;
      return i;
    }
  }
  return -1;
}

inline int ThreadCount() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 te{};
  te.dwSize = sizeof(te);
  int n = 0;
  const DWORD pid = GetCurrentProcessId();
  for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
    if (te.th32OwnerProcessID == pid) ++n;
  CloseHandle(snap);
  return n;
}

// Waits (up to limitMs) for the thread count to fall to at most `target`; returns the last
// count seen. Threads end a moment after they are released.
inline int SettleThreads(int target, int limitMs = 5000) {
  int n = ThreadCount();
  for (int waited = 0; n > target && waited < limitMs; waited += 50) {
    Sleep(50);
    n = ThreadCount();
  }
  return n;
}

inline double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace waverig
