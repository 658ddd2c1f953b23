// The one narrow door between the kernel-streaming layer and the operating system:
// device-interface enumeration (path, interface key, aliases), the registry values used
// to rename generic USB devices, opening a device path, device I/O control with
// overlapped completion, KsCreatePin and closing. Two implementations exist: the Win32
// one (KsSystem_win32.cpp, the default) and the simulated audio driver (tests/KernelStreaming)
// that the tests and a test build of the program install.
//
// Threads: enumeration, registry, open/close and pin creation run on the thread that
// opens devices; IoControl and OverlappedResult are also called from stream threads and
// must be safe there (no allocation in the real implementation).
#pragma once

#include <windows.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <setupapi.h>

#include <cstdint>

class KsSystem {
 public:
  virtual ~KsSystem() = default;

  // ---- Device-interface enumeration (SetupDi) -------------------------------------
  // Interfaces of `category` that are present; INVALID_HANDLE_VALUE when none can be
  // listed.
  virtual HDEVINFO GetClassDevs(const GUID& category) = 0;
  virtual BOOL EnumInterfaces(HDEVINFO set, const GUID& category, DWORD index,
                              SP_DEVICE_INTERFACE_DATA* data) = 0;
  // Fills the detail record (its cbSize already set by the caller) with the device path.
  virtual BOOL GetInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                  SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize) = 0;
  // The interface's own registry key (KEY_QUERY_VALUE); INVALID_HANDLE_VALUE when absent.
  virtual HKEY OpenInterfaceKey(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data) = 0;
  virtual BOOL GetInterfaceAlias(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                 const GUID& aliasCategory, SP_DEVICE_INTERFACE_DATA* alias) = 0;
  virtual void DestroyDevSet(HDEVINFO set) = 0;

  // ---- Registry -----------------------------------------------------------------
  // HKEY_LOCAL_MACHINE\<subKey> with KEY_QUERY_VALUE. Win32 error code.
  virtual LONG OpenLocalMachineKey(const char* subKey, HKEY* key) = 0;
  // RegQueryValueEx semantics: data may be null (size query); a too small buffer gives
  // ERROR_MORE_DATA. String values need not be terminated.
  virtual LONG QueryRegValue(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* size) = 0;
  virtual void CloseRegKey(HKEY key) = 0;
  virtual DWORD OsMajorVersion() = 0;

  // ---- Devices --------------------------------------------------------------------
  // Opens a device path for overlapped I/O; INVALID_HANDLE_VALUE and *error on failure.
  virtual HANDLE OpenDevice(const char* path, DWORD* error) = 0;
  // DeviceIoControl. On FALSE, *error holds the Win32 error (ERROR_IO_PENDING when the
  // request completes later through ov->hEvent, whose lowest bit may be set).
  virtual BOOL IoControl(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out,
                         DWORD outSize, DWORD* returned, OVERLAPPED* ov, DWORD* error) = 0;
  // Outcome of a completed overlapped request: Win32 error (0 for success) and bytes.
  virtual DWORD OverlappedResult(HANDLE handle, OVERLAPPED* ov, DWORD* bytes) = 0;
  // Loads KsCreatePin on first use and keeps it for the process; false when the library
  // or the entry point is missing.
  virtual bool KsCreatePinAvailable() = 0;
  // KsCreatePin's own result: 0 for success, otherwise a Win32 error code.
  virtual DWORD CreatePin(HANDLE filter, KSPIN_CONNECT* connect, ACCESS_MASK access,
                          HANDLE* pin) = 0;
  virtual void CloseDevice(HANDLE handle) = 0;
};

// The system in use: the Win32 implementation unless another was installed.
KsSystem* KsGetSystem();
// Installs a replacement (not owned); nullptr restores the Win32 implementation. Only
// while no filter or pin exists. Returns the previous one.
KsSystem* KsSetSystem(KsSystem* system);
