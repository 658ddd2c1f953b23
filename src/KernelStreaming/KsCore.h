// The generic half of the kernel-streaming device layer: a device handle with synchronous
// I/O control (CKsIrpTarget), the filter a device path opens (CKsFilter), its pins
// (CKsPin) and topology nodes (CKsTopologyNode).
//
// Everything a driver answers is untrusted: list replies (KSMULTIPLE_ITEM) are checked
// against the bytes actually returned before any item is read, property replies are
// capped in size, the pin count is capped, and names are terminated by the layer.
//
// Threads: built and changed on the thread that opens devices. Once a pin runs, one
// stream thread calls WriteData/ReadData (real-time safe: no allocation, one
// DeviceIoControl) and, rarely, SetPinState. SyncIoctl is safe from several threads.
#pragma once

#include "KernelStreaming/KsList.h"
#include "KernelStreaming/KsSystem.h"

#include <atomic>
#include <cstdint>

// 0x80070000 combined with the low 16 bits of a Win32 error.
constexpr HRESULT KsHresultFromWin32(DWORD error) {
  return static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}
constexpr HRESULT kKsMissingLibrary = static_cast<HRESULT>(0x80070002u);

// A property reply larger than this is refused: no audio driver needs a megabyte to
// describe a pin, and a size query answered with garbage must not become an allocation
// of gigabytes.
constexpr ULONG kKsMaxPropertyBytes = 1u << 20;
// First buffer offered to a driver that wants one but does not say how large.
constexpr ULONG kKsFirstProbeBytes = 1024;
// Pins read per filter; a garbage pin count must not turn discovery into a long loop.
constexpr ULONG kKsMaxPins = 256;

// A KSMULTIPLE_ITEM reply checked against the bytes the driver returned: the header fits,
// its Size lies within what was returned, and (for fixed-size items) Count items fit in
// Size. Items() then points at the first item and Count() may be trusted.
struct KsMultipleItemView {
  const uint8_t* items = nullptr;
  ULONG count = 0;
  ULONG itemBytes = 0;  // bytes after the header, within Size

  // itemSize 0: variable-size items (data ranges), only the header and Size are checked.
  static bool Check(const void* reply, ULONG returnedBytes, ULONG itemSize,
                    KsMultipleItemView* view);
};

// Live-object counters, so tests can prove that every pin and filter built was destroyed.
struct KsObjectCounts {
  static std::atomic<int32_t> filters;
  static std::atomic<int32_t> pins;
  static std::atomic<int32_t> nodes;
};

// Stream requests hand the driver a KSSTREAM_HEADER whose Size it checks: 48 bytes in a
// 32-bit process, 56 in a 64-bit one (the data pointer, and padding at the end).
#ifdef _WIN64
static_assert(sizeof(KSSTREAM_HEADER) == 56, "x64 KSSTREAM_HEADER");
#else
static_assert(sizeof(KSSTREAM_HEADER) == 48, "x86 KSSTREAM_HEADER");
#endif

class CKsIrpTarget {
 public:
  CKsIrpTarget() = default;
  virtual ~CKsIrpTarget() { CloseTargetHandle(); }
  CKsIrpTarget(const CKsIrpTarget&) = delete;
  CKsIrpTarget& operator=(const CKsIrpTarget&) = delete;

  // Neither null nor all ones.
  static bool IsValidHandle(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  }
  // One overlapped request with its own event, waited for without limit; byte counts come
  // from the completed request. A size query (IOCTL_KS_PROPERTY, outSize 0) answered with
  // ERROR_MORE_DATA succeeds with the needed size in *returned; answered with
  // ERROR_INSUFFICIENT_BUFFER it gives S_FALSE and 0, since Windows passes no size back
  // with an error status. Any thread.
  static HRESULT SyncIoctl(HANDLE handle, ULONG code, void* in, ULONG inSize, void* out,
                           ULONG outSize, ULONG* returned);
  // SyncIoctl that also gives the Win32 error the request ended with (0 on success).
  static HRESULT SyncIoctlError(HANDLE handle, ULONG code, void* in, ULONG inSize, void* out,
                                ULONG outSize, ULONG* returned, DWORD* lastError);

  // KSPROPERTY_TYPE_GET of a variable-size property: size query, then the read into a
  // new buffer (delete[] as uint8_t) that the caller owns. *returnedBytes: what the
  // driver actually wrote. A size of 0 gives S_OK and no buffer.
  HRESULT GetPropertyList(const GUID& set, ULONG id, void** buffer, ULONG* returnedBytes);
  // KSPROPERTY_TYPE_SET followed by `extra`, with `value` as the output buffer.
  HRESULT SetProperty(const GUID& set, ULONG id, void* value, ULONG valueSize,
                      const void* extra = nullptr, ULONG extraSize = 0);

  HANDLE GetHandle() const { return m_handle; }
  void CloseTargetHandle();

 protected:
  // The size query and the read of GetPropertyList for any request record (KSPROPERTY,
  // KSP_PIN, ...): refuses sizes beyond the reply limit and never reports more bytes
  // than the buffer it gave the driver.
  HRESULT ReadVariableProperty(void* request, ULONG requestSize, void** buffer, ULONG* returnedBytes);
  // For drivers that refuse the size query without a size: growing buffers from
  // kKsFirstProbeBytes up to kKsMaxPropertyBytes.
  HRESULT ProbeVariableProperty(void* request, ULONG requestSize, void** buffer, ULONG* returnedBytes);

  HANDLE m_handle = INVALID_HANDLE_VALUE;
};

class CKsFilter;

class CKsTopologyNode {
 public:
  CKsTopologyNode(ULONG nodeId, const GUID& type) : m_nId(nodeId), m_guidType(type) {
    KsObjectCounts::nodes.fetch_add(1, std::memory_order_relaxed);
  }
  ~CKsTopologyNode() { KsObjectCounts::nodes.fetch_sub(1, std::memory_order_relaxed); }
  ULONG GetId() const { return m_nId; }
  const GUID& GetType() const { return m_guidType; }
  const char* GetTag() const { return m_szTag; }

 private:
  ULONG m_nId;
  GUID m_guidType;
  char m_szTag[5] = {'N', 'O', 'N', 'E', 0};
};

class CKsPin : public CKsIrpTarget {
 public:
  // Reads the descriptor. *hr is 1 when any property could not be read, else 0: both
  // count as success.
  CKsPin(CKsFilter* filter, ULONG pinId, HRESULT* hr);
  ~CKsPin() override;

  // Creates the pin on the filter through KsCreatePin (a generic pin without a
  // connection block only remembers `looped`).
  virtual HRESULT Instantiate(bool looped);
  virtual HRESULT SetPinState(KSSTATE state);

  // Stops a valid pin through the virtual SetPinState, then closes its handle.
  void Close();
  // Stream submission on the caller's OVERLAPPED: pending counts as success. Stream
  // thread; no allocation.
  HRESULT WriteData(KSSTREAM_HEADER* header, OVERLAPPED* ov);
  HRESULT ReadData(KSSTREAM_HEADER* header, OVERLAPPED* ov);

  HRESULT GetDataFlow(KSPIN_DATAFLOW* flow) const { *flow = m_DataFlow; return S_OK; }
  HRESULT GetCommunication(KSPIN_COMMUNICATION* comm) const { *comm = m_Communication; return S_OK; }

  ULONG GetId() const { return m_nId; }
  CKsFilter* GetFilter() const { return m_pFilter; }
  KSSTATE GetState() const { return m_State; }
  bool IsLooped() const { return m_bLooped; }
  int32_t GetPinKind() const { return m_nPinKind; }
  const KSPIN_CINSTANCES& GetInstances() const { return m_cInstances; }
  const KSPIN_CINSTANCES& GetGlobalInstances() const { return m_cGlobalInstances; }
  const GUID& GetCategory() const { return m_guidCategory; }
  const WCHAR* GetName() const { return m_szName; }
  const KSPIN_CONNECT* GetPinConnect() const { return m_pksPinCreate; }
  ULONG GetPinConnectSize() const { return m_cbPinCreate; }

  // The checked descriptor lists (count 0 when the reply was missing or malformed).
  const KSIDENTIFIER* Interfaces(ULONG* count) const;
  const KSIDENTIFIER* Mediums(ULONG* count) const;
  // Bytes of the data-range list after its header, and its announced count.
  const uint8_t* DataRanges(ULONG* bytes, ULONG* count) const;

 protected:
  CKsFilter* m_pFilter;
  ULONG m_nId;

  uint8_t* m_pInterfacesReply = nullptr;
  KsMultipleItemView m_interfaces;
  uint8_t* m_pMediumsReply = nullptr;
  KsMultipleItemView m_mediums;
  uint8_t* m_pDataRangesReply = nullptr;
  KsMultipleItemView m_dataRanges;

  KSPIN_DATAFLOW m_DataFlow = static_cast<KSPIN_DATAFLOW>(0);
  KSPIN_COMMUNICATION m_Communication = KSPIN_COMMUNICATION_NONE;
  KSPIN_CINSTANCES m_cInstances = {};
  KSPIN_CINSTANCES m_cGlobalInstances = {};
  GUID m_guidCategory = GUID_NULL;
  WCHAR m_szName[130] = {};  // 259 bytes read, always terminated

  KSSTATE m_State = KSSTATE_STOP;
  bool m_bLooped = false;
  int32_t m_nPinKind = 0;

  KSPIN_CONNECT* m_pksPinCreate = nullptr;  // allocated as uint8_t[]
  ULONG m_cbPinCreate = 0;
};

class CKsFilter : public CKsIrpTarget {
 public:
  static constexpr int32_t kNameBytes = 260;

  CKsFilter(const char* pszName, HRESULT* hr, const char* friendlyName);
  ~CKsFilter() override;

  virtual HRESULT Instantiate();
  virtual HRESULT DiscoverNodes();
  virtual HRESULT DiscoverPins();
  virtual HRESULT ClearLists();

  // One KSP_PIN GET into a fixed buffer; *returned (optional) gets the bytes written.
  HRESULT GetPinProperty(ULONG pinId, const GUID& set, ULONG id, void* buffer, ULONG size,
                         ULONG* returned = nullptr);
  HRESULT GetPinPropertyList(ULONG pinId, const GUID& set, ULONG id, void** buffer,
                             ULONG* returnedBytes);
  // KSPROPERTY_PIN_CTYPES, 4 bytes; a count beyond kKsMaxPins is refused (E_FAIL).
  HRESULT GetPinCount(ULONG* count);
  HRESULT SortPins();

  const char* GetFriendlyName() const { return m_szFriendlyName; }
  const char* GetDevicePath() const { return m_szFilterName; }
  int32_t GetFilterKind() const { return m_nFilterKind; }

  KsList<CKsTopologyNode> m_listNodes;
  KsList<CKsPin> m_listPins;               // owns its pins
  KsList<CKsPin> m_listRenderSinkPins;     // IN, SINK
  KsList<CKsPin> m_listCaptureSourcePins;  // OUT, SOURCE
  KsList<CKsPin> m_listCaptureSinkPins;    // OUT, SINK
  KsList<CKsPin> m_listRenderSourcePins;   // IN, SOURCE
  KsList<CKsPin> m_listBridgePins;         // communication NONE

 protected:
  // Empties the five class lists (they only refer to pins of the all-pins list).
  void ClearClassLists();
  bool ClassListsEmpty() const;

  char m_szFriendlyName[kNameBytes] = {};
  char m_szFilterName[kNameBytes] = {};
  int32_t m_nFilterKind = 0;
};

// Copies a C string into a fixed buffer, cutting and terminating.
void KsCopyText(char* dst, size_t dstSize, const char* src);
