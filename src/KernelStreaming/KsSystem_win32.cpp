// The Win32 implementation of the kernel-streaming system seam.
#include "KernelStreaming/KsSystem.h"

#include <atomic>

namespace {

using KsCreatePinFunction = DWORD(WINAPI*)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

class Win32KsSystem final : public KsSystem {
 public:
  HDEVINFO GetClassDevs(const GUID& category) override {
    return SetupDiGetClassDevsA(&category, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  }
  BOOL EnumInterfaces(HDEVINFO set, const GUID& category, DWORD index,
                      SP_DEVICE_INTERFACE_DATA* data) override {
    return SetupDiEnumDeviceInterfaces(set, nullptr, &category, index, data);
  }
  BOOL GetInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                          SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize) override {
    SP_DEVINFO_DATA info = {};
    info.cbSize = sizeof(info);
    return SetupDiGetDeviceInterfaceDetailA(set, data, detail, detailSize, nullptr, &info);
  }
  HKEY OpenInterfaceKey(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data) override {
    return SetupDiOpenDeviceInterfaceRegKey(set, data, 0, KEY_QUERY_VALUE);
  }
  BOOL GetInterfaceAlias(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, const GUID& aliasCategory,
                         SP_DEVICE_INTERFACE_DATA* alias) override {
    return SetupDiGetDeviceInterfaceAlias(set, data, &aliasCategory, alias);
  }
  void DestroyDevSet(HDEVINFO set) override { SetupDiDestroyDeviceInfoList(set); }

  LONG OpenLocalMachineKey(const char* subKey, HKEY* key) override {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE, key);
  }
  LONG QueryRegValue(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* size) override {
    return RegQueryValueExA(key, name, nullptr, type, data, size);
  }
  void CloseRegKey(HKEY key) override { RegCloseKey(key); }
  DWORD OsMajorVersion() override {
    // GetVersionEx reports at most 6.2 to programs without a manifest; only "below 6 or
    // not" matters here, which it answers correctly.
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(info);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    if (!GetVersionExA(&info)) return 6;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return info.dwMajorVersion;
  }

  HANDLE OpenDevice(const char* path, DWORD* error) override {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    *error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return h;
  }
  BOOL IoControl(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                 DWORD* returned, OVERLAPPED* ov, DWORD* error) override {
    BOOL ok = DeviceIoControl(handle, code, in, inSize, out, outSize, returned, ov);
    *error = ok ? 0 : GetLastError();
    return ok;
  }
  DWORD OverlappedResult(HANDLE handle, OVERLAPPED* ov, DWORD* bytes) override {
    *bytes = 0;
    return GetOverlappedResult(handle, ov, bytes, FALSE) ? 0 : GetLastError();
  }
  bool KsCreatePinAvailable() override {
    // Loaded once on the opening thread and kept for the life of the process.
    if (!loaded_.load(std::memory_order_acquire)) {
      HMODULE lib = LoadLibraryA("ksuser.dll");
      if (lib)
        createPin_ = reinterpret_cast<KsCreatePinFunction>(
            reinterpret_cast<void*>(GetProcAddress(lib, "KsCreatePin")));
      loaded_.store(true, std::memory_order_release);
    }
    return createPin_ != nullptr;
  }
  DWORD CreatePin(HANDLE filter, KSPIN_CONNECT* connect, ACCESS_MASK access, HANDLE* pin) override {
    if (!KsCreatePinAvailable()) return ERROR_FILE_NOT_FOUND;
    return createPin_(filter, connect, access, pin);
  }
  void CloseDevice(HANDLE handle) override { CloseHandle(handle); }

 private:
  std::atomic<bool> loaded_{false};
  KsCreatePinFunction createPin_ = nullptr;
};

Win32KsSystem g_win32System;
std::atomic<KsSystem*> g_system{nullptr};

}  // namespace

KsSystem* KsGetSystem() {
  KsSystem* s = g_system.load(std::memory_order_acquire);
  return s ? s : &g_win32System;
}

KsSystem* KsSetSystem(KsSystem* system) {
  KsSystem* previous = g_system.exchange(system, std::memory_order_acq_rel);
  return previous ? previous : &g_win32System;
}
