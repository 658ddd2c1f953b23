// The multimedia wave API as CWaveAudioInterface uses it, one direction-neutral seam: the
// real driver forwards to winmm's waveIn*/waveOut* calls; tests substitute a driver that
// completes buffers on its own clock or fails on request, to reach the paths a real
// device will not take on demand (refused preparation or hand-off, failure in the loop).
//
// Threads: all calls on the window thread except Queue, which the streaming thread calls
// to give a buffer back. `isInput` picks waveIn (true) or waveOut (false).
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <string>

class WaveDriver {
 public:
  virtual ~WaveDriver() = default;
  virtual UINT NumDevs(bool isInput) = 0;
  // Product name from the device's capabilities.
  virtual MMRESULT GetProductName(bool isInput, UINT device, std::string* name) = 0;
  // Device message (waveInMessage/waveOutMessage with the device number as handle).
  virtual MMRESULT DeviceMessage(bool isInput, UINT device, UINT message, DWORD_PTR p1, DWORD_PTR p2) = 0;
  // Opens with event notification on `event`; *handle gets the HWAVEIN or HWAVEOUT.
  virtual MMRESULT Open(bool isInput, HANDLE* handle, UINT device, const WAVEFORMATEX* format, HANDLE event) = 0;
  virtual MMRESULT Prepare(bool isInput, HANDLE handle, WAVEHDR* header) = 0;
  virtual MMRESULT Unprepare(bool isInput, HANDLE handle, WAVEHDR* header) = 0;
  // waveInAddBuffer / waveOutWrite.
  virtual MMRESULT Queue(bool isInput, HANDLE handle, WAVEHDR* header) = 0;
  virtual MMRESULT StartInput(HANDLE handle) = 0;  // waveInStart
  // waveInStop / waveOutPause.
  virtual MMRESULT Halt(bool isInput, HANDLE handle) = 0;
  virtual MMRESULT Reset(bool isInput, HANDLE handle) = 0;
  virtual MMRESULT Close(bool isInput, HANDLE handle) = 0;
};

// The winmm driver (one shared instance; it holds no state).
WaveDriver* SystemWaveDriver();
