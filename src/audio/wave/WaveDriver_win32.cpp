// winmm behind the WaveDriver seam.
#include "audio/wave/WaveDriver_win32.h"

namespace {
class SystemDriver final : public WaveDriver {
 public:
  UINT NumDevs(bool in) override { return in ? waveInGetNumDevs() : waveOutGetNumDevs(); }

  MMRESULT GetProductName(bool in, UINT device, std::string* name) override {
    MMRESULT r;
    if (in) {
      WAVEINCAPSA caps{};
      r = waveInGetDevCapsA(device, &caps, sizeof(caps));
      if (r == MMSYSERR_NOERROR) name->assign(caps.szPname, strnlen(caps.szPname, MAXPNAMELEN));
    } else {
      WAVEOUTCAPSA caps{};
      r = waveOutGetDevCapsA(device, &caps, sizeof(caps));
      if (r == MMSYSERR_NOERROR) name->assign(caps.szPname, strnlen(caps.szPname, MAXPNAMELEN));
    }
    return r;
  }

  MMRESULT DeviceMessage(bool in, UINT device, UINT message, DWORD_PTR p1, DWORD_PTR p2) override {
    // The device number stands in for the handle in device-level messages.
    if (in) return waveInMessage(reinterpret_cast<HWAVEIN>(static_cast<UINT_PTR>(device)), message, p1, p2);
    return waveOutMessage(reinterpret_cast<HWAVEOUT>(static_cast<UINT_PTR>(device)), message, p1, p2);
  }

  MMRESULT Open(bool in, HANDLE* handle, UINT device, const WAVEFORMATEX* format, HANDLE event) override {
    const DWORD_PTR cb = reinterpret_cast<DWORD_PTR>(event);
    if (in) {
      HWAVEIN h = nullptr;
      MMRESULT r = waveInOpen(&h, device, format, cb, 0, CALLBACK_EVENT);
      *handle = r == MMSYSERR_NOERROR ? reinterpret_cast<HANDLE>(h) : nullptr;
      return r;
    }
    HWAVEOUT h = nullptr;
    MMRESULT r = waveOutOpen(&h, device, format, cb, 0, CALLBACK_EVENT);
    *handle = r == MMSYSERR_NOERROR ? reinterpret_cast<HANDLE>(h) : nullptr;
    return r;
  }

  MMRESULT Prepare(bool in, HANDLE h, WAVEHDR* hdr) override {
    return in ? waveInPrepareHeader(In(h), hdr, sizeof(WAVEHDR)) : waveOutPrepareHeader(Out(h), hdr, sizeof(WAVEHDR));
  }
  MMRESULT Unprepare(bool in, HANDLE h, WAVEHDR* hdr) override {
    return in ? waveInUnprepareHeader(In(h), hdr, sizeof(WAVEHDR)) : waveOutUnprepareHeader(Out(h), hdr, sizeof(WAVEHDR));
  }
  MMRESULT Queue(bool in, HANDLE h, WAVEHDR* hdr) override {
    return in ? waveInAddBuffer(In(h), hdr, sizeof(WAVEHDR)) : waveOutWrite(Out(h), hdr, sizeof(WAVEHDR));
  }
  MMRESULT StartInput(HANDLE h) override { return waveInStart(In(h)); }
  MMRESULT Halt(bool in, HANDLE h) override { return in ? waveInStop(In(h)) : waveOutPause(Out(h)); }
  MMRESULT Reset(bool in, HANDLE h) override { return in ? waveInReset(In(h)) : waveOutReset(Out(h)); }
  MMRESULT Close(bool in, HANDLE h) override { return in ? waveInClose(In(h)) : waveOutClose(Out(h)); }

 private:
  static HWAVEIN In(HANDLE h) { return reinterpret_cast<HWAVEIN>(h); }
  static HWAVEOUT Out(HANDLE h) { return reinterpret_cast<HWAVEOUT>(h); }
};
}  // namespace

WaveDriver* SystemWaveDriver() {
  static SystemDriver driver;
  return &driver;
}
