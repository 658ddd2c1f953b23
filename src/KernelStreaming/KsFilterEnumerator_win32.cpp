// CKsFilterEnumerator: device-interface enumeration, USB renaming, alias tests and the
// building of each filter.
#include "KernelStreaming/KsFilterEnumerator.h"

#include "KernelStreaming/KsAudio.h"
#include "KernelStreaming/KsReplyCheck.h"
#include "KernelStreaming/KsTrace.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr DWORD kDetailBytes = 525;       // path of at most 520 characters
constexpr DWORD kFriendlyNameBytes = 260;
constexpr size_t kWorkPathChars = 1024;
constexpr DWORD kRegValueBytes = 256;

// SetupDiGetDeviceInterfaceDetail refuses every record whose cbSize is not the size of the
// fixed part as this process's headers lay it out: 5 in a 32-bit process (byte packing),
// 8 in a 64-bit one (the DWORD and one character padded to 8).
#ifdef _WIN64
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "x64 detail record");
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "x86 detail record");
#endif

bool StartsWithIgnoreCase(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix) {
    char a = *text, b = *prefix;
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

bool EqualIgnoreCase(const char* a, const char* b) {
  size_t la = std::strlen(a), lb = std::strlen(b);
  return la == lb && StartsWithIgnoreCase(a, b);
}

// Reads a registry value into a terminated buffer of kRegValueBytes. Registry strings need
// not carry their terminator, so one is always added within the buffer.
bool ReadRegValue(KsSystem* sys, HKEY key, const char* name, DWORD* type, char* out) {
  DWORD size = kRegValueBytes - 1;
  std::memset(out, 0, kRegValueBytes);
  if (sys->QueryRegValue(key, name, type, reinterpret_cast<BYTE*>(out), &size) != ERROR_SUCCESS)
    return false;
  out[size < kRegValueBytes - 1 ? size : kRegValueBytes - 1] = 0;
  return true;
}

}  // namespace

CKsFilterEnumerator::CKsFilterEnumerator(HRESULT* hr) { *hr = S_OK; }

CKsFilterEnumerator::~CKsFilterEnumerator() { ClearFilters(); }

HRESULT CKsFilterEnumerator::ClearFilters() {
  for (CKsFilter* filter : m_listFilters) delete filter;
  m_listFilters.Clear();
  return S_OK;
}

void CKsFilterEnumerator::RenameUsbDevice(const char* devicePath, char* friendlyName,
                                          size_t friendlyNameSize) {
  char ids[kWorkPathChars];
  if (!KsUsbEnumSubKey(devicePath, ids, sizeof(ids))) return;

  char keyPath[kWorkPathChars + 64];
  std::snprintf(keyPath, sizeof(keyPath), "SYSTEM\\CurrentControlSet\\Enum\\USB\\%s", ids);
  KsSystem* sys = KsGetSystem();
  HKEY key = nullptr;
  if (sys->OpenLocalMachineKey(keyPath, &key) != ERROR_SUCCESS) return;
  char value[kRegValueBytes];
  DWORD type = 0;
  if (sys->OsMajorVersion() < 6) {
    if (ReadRegValue(sys, key, "LocationInformation", &type, value) && type == REG_SZ)
      KsCopyText(friendlyName, friendlyNameSize, value);
  } else if (ReadRegValue(sys, key, "FriendlyName", &type, value)) {
    if (type == REG_SZ) KsCopyText(friendlyName, friendlyNameSize, value);
  } else if (ReadRegValue(sys, key, "DeviceDesc", &type, value) && type == REG_SZ) {
    // "@driver.inf,%desc%;Readable Name": the readable part follows the last semicolon.
    KsCopyText(friendlyName, friendlyNameSize, KsAfterLastSemicolon(value));
  } else if (ReadRegValue(sys, key, "LocationInformation", &type, value) && type == REG_SZ) {
    KsCopyText(friendlyName, friendlyNameSize, value);
  }
  sys->CloseRegKey(key);
}

HRESULT CKsFilterEnumerator::EnumerateFilters(int32_t filterType, const GUID* categories,
                                              ULONG categoryCount, bool needPins, bool needNodes,
                                              bool instantiate) {
  HRESULT hr = ClearFilters();
  KsSystem* sys = KsGetSystem();
  HDEVINFO set = INVALID_HANDLE_VALUE;
  if (SUCCEEDED(hr) && categories && categoryCount > 0 && !IsEqualGUID(categories[0], GUID_NULL)) {
    set = sys->GetClassDevs(categories[0]);
    if (set == INVALID_HANDLE_VALUE || set == nullptr) {
      set = INVALID_HANDLE_VALUE;
      hr = E_FAIL;
      KsTrace(4, "No devices found");
    }
  }
  // The friendly name starts empty once per run; a device whose interface key does not
  // open keeps what the previous device left (the name then comes from that device).
  char friendlyName[kFriendlyNameBytes] = {};
  for (DWORD index = 0; set != INVALID_HANDLE_VALUE; ++index) {
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof(data));
    data.cbSize = sizeof(data);
    if (!sys->EnumInterfaces(set, categories[0], index, &data)) break;

    uint8_t* detailBytes = new (std::nothrow) uint8_t[kDetailBytes];
    if (!detailBytes) {
      hr = E_OUTOFMEMORY;
      KsTrace(4, "Failed to allocate SP_DEVICE_INTERFACE_DETAIL_DATA structure");
      break;
    }
    std::memset(detailBytes, 0, kDetailBytes);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailBytes);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!sys->GetInterfaceDetail(set, &data, detail, kDetailBytes)) {
      delete[] detailBytes;
      continue;
    }
    detailBytes[kDetailBytes - 1] = 0;  // the path is terminated whatever came back
    const char* devicePath = detail->DevicePath;

    HKEY key = sys->OpenInterfaceKey(set, &data);
    if (key != INVALID_HANDLE_VALUE && key != nullptr) {
      std::memset(friendlyName, 0, sizeof(friendlyName));
      DWORD type = 0;
      DWORD size = sizeof(friendlyName) - 1;
      bool haveName = sys->QueryRegValue(key, "FriendlyName", &type,
                                         reinterpret_cast<BYTE*>(friendlyName), &size) == ERROR_SUCCESS;
      friendlyName[size < sizeof(friendlyName) - 1 ? size : sizeof(friendlyName) - 1] = 0;
      if (!haveName) std::memset(friendlyName, 0, sizeof(friendlyName));
      if (haveName && StartsWithIgnoreCase(devicePath, "\\\\?\\usb#") &&
          EqualIgnoreCase(friendlyName, "usb audio device"))
        RenameUsbDevice(devicePath, friendlyName, sizeof(friendlyName));
      sys->CloseRegKey(key);
    }

    bool aliasOk = true;
    for (ULONG c = 1; c < categoryCount && aliasOk; ++c) {
      SP_DEVICE_INTERFACE_DATA alias;
      std::memset(&alias, 0, sizeof(alias));
      alias.cbSize = sizeof(alias);
      if (!sys->GetInterfaceAlias(set, &data, categories[c], &alias)) {
        KsTrace(5, "Failed to get requested DeviceInterfaceAlias");
        aliasOk = false;
      } else if (alias.Flags == 0 || (alias.Flags & SPINT_REMOVED)) {
        KsTrace(5, "DeviceInterfaceAlias disabled.");
        aliasOk = false;
      }
    }
    if (!aliasOk) {
      delete[] detailBytes;
      continue;
    }

    HRESULT hrFilter = S_OK;
    CKsFilter* filter = nullptr;
    if (filterType == kKsFilterRender)
      filter = new (std::nothrow) CKsRenderFilter(devicePath, &hrFilter, friendlyName);
    else if (filterType == kKsFilterCapture)
      filter = new (std::nothrow) CKsCaptureFilter(devicePath, &hrFilter, friendlyName);
    else
      filter = new (std::nothrow) CKsFilter(devicePath, &hrFilter, friendlyName);
    if (!filter) hrFilter = E_OUTOFMEMORY;
    if (SUCCEEDED(hrFilter) && (needPins || needNodes || instantiate)) hrFilter = filter->Instantiate();
    if (SUCCEEDED(hrFilter) && needNodes) hrFilter = filter->DiscoverNodes();
    if (SUCCEEDED(hrFilter) && needPins) hrFilter = filter->DiscoverPins();
    if (SUCCEEDED(hrFilter) && !m_listFilters.AddTail(filter)) hrFilter = E_OUTOFMEMORY;
    if (FAILED(hrFilter)) {
      delete filter;
      KsTrace(1, "Failed to create filter for %s", devicePath);
    }
    delete[] detailBytes;
  }
  if (set != INVALID_HANDLE_VALUE) sys->DestroyDevSet(set);
  if (SUCCEEDED(hr) && m_listFilters.Empty()) hr = E_FAIL;
  // An absent category list or GUID_NULL lists nothing and ends here as E_FAIL as well.
  KS_LEAVE(hr);
  return hr;
}
