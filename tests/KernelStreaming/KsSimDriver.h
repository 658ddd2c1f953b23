// A simulated kernel-streaming audio driver behind the system seam (KsSystem), for the
// tests and for a test build of the program: device interfaces with aliases and registry
// values, filters whose pins answer the property requests with the published structure
// layouts, size queries answered with ERROR_MORE_DATA (or ERROR_INSUFFICIENT_BUFFER, sizeless),
// optionally pending requests completed later through the caller's OVERLAPPED event, pin
// states, and stream reads and writes completed on a clock at the pin's sample rate.
// Render pins keep what they were given (for analysis); capture pins deliver a tone.
// Every answer can be replaced by raw bytes, so malformed replies can be produced.
//
// Threads: configure before the layer uses it (AddFilter, SetRegistryValue ...). The
// seam operations are safe from any thread; one internal clock thread completes stream
// and pending requests. Observation calls are safe at any time.
#pragma once

#include "KernelStreaming/KsSystem.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct KsSimPinSpec {
  ULONG communication = KSPIN_COMMUNICATION_SINK;
  ULONG dataFlow = KSPIN_DATAFLOW_IN;  // IN: render pin (the host writes), OUT: capture
  std::vector<KSIDENTIFIER> interfaces;  // default: standard streaming
  std::vector<KSIDENTIFIER> mediums;     // default: standard medium
  std::vector<KSDATARANGE_AUDIO> ranges; // default: PCM, 1..8 ch, 8..32 bit, 8000..192000
  std::wstring name = L"Pin";
  GUID category = GUID_NULL;
  KSPIN_CINSTANCES instances = {1, 0};
  // Replies replaced byte for byte (KSPROPERTY_PIN_* id -> bytes), for malformed answers.
  std::map<ULONG, std::vector<uint8_t>> rawReplies;
  uint32_t failProperties = 0;  // bit per KSPROPERTY_PIN_* id: answered ERROR_NOT_FOUND

  bool acceptExtensible = true;   // refuse WAVEFORMATEXTENSIBLE when false
  bool acceptPcm = true;          // refuse plain WAVEFORMATEX PCM when false
  bool acceptUnannounced = false; // also accept formats outside the data ranges
  DWORD createError = 0;          // non-zero: every KsCreatePin on this pin fails with it
  bool busy = false;              // every KsCreatePin fails with ERROR_BUSY
  uint32_t failStateMask = 0;     // bit per KSSTATE whose setting fails
  bool holdBuffersAtStop = false; // queued stream requests stay with the driver until close
  int32_t failSubmissionAfter = -1;  // submissions after the first n fail at once
  int32_t stallAfterCompletions = -1;  // after n completions the driver keeps every request
  int32_t failCompletionAt = -1;  // completion n (from 0) ends with an error status, no data
  int32_t shortCompletionAt = -1; // capture completion n (from 0) carries only...
  uint32_t shortCompletionBytes = 0;  // ...this many bytes (DataUsed)
  bool captureCounter = false;    // capture: the device's frame count (mod 32768) instead of the tone
  double toneHz = 1000.0;         // capture: sine on every channel
  double toneAmplitude = 0.5;     // of full scale

  // Real-time (WaveRT) pin: created only with the looped interface, answers the real-time
  // property set and streams through one cyclic buffer whose position advances on the
  // clock (render: what the position passes is played; capture: the tone is written
  // there). Stream requests are refused.
  bool waveRt = false;
  bool rtNotifications = true;    // false: the buffer with notifications is refused
  bool rtRefuseRegister = false;  // the notification event registration is refused
  ULONG rtBufferAlignBytes = 0;   // non-zero: buffer sizes not a multiple are refused
  ULONG rtMaxBufferBytes = 1u << 20;
  int32_t rtFailPositionAfter = -1;        // position reads after the first n fail
  double rtStopPositionAfterSeconds = -1;  // the position stops after this much running

  KsSimPinSpec();
  static KSDATARANGE_AUDIO PcmRange(ULONG maxChannels, ULONG minBits, ULONG maxBits,
                                    ULONG minRate, ULONG maxRate);
};

struct KsSimFilterSpec {
  std::string devicePath;
  bool hasInterfaceKey = true;
  bool hasFriendlyName = true;
  std::string friendlyName;
  bool terminateFriendlyName = true;  // false: the registry value carries no terminator
  // Categories the interface is registered in, with their alias flags (SPINT_ACTIVE for
  // an enabled one, 0 for a disabled alias, SPINT_REMOVED for a removed one).
  std::vector<std::pair<GUID, DWORD>> categories;
  bool failOpen = false;
  std::vector<KsSimPinSpec> pins;
  std::vector<GUID> nodes;
  // Filter-level replies replaced byte for byte: KSPROPERTY_PIN_CTYPES, and
  // KSPROPERTY_TOPOLOGY_NODES under kRawNodesKey.
  std::map<ULONG, std::vector<uint8_t>> rawReplies;
  static constexpr ULONG kRawNodesKey = 0x1000;
  // Or ERROR_INSUFFICIENT_BUFFER, which (as on Windows) brings no size back.
  DWORD sizeQueryError = ERROR_MORE_DATA;
  bool pendRequests = false;  // property requests go pending and complete ~2 ms later
};

struct KsSimPinStats {
  int32_t createCount = 0;       // successful KsCreatePin calls
  int32_t createAttempts = 0;
  int32_t submissions = 0;       // stream requests accepted
  int32_t completions = 0;       // completed with data
  int32_t cancellations = 0;
  int32_t underruns = 0;         // the queue ran dry while running (render: silence
                                 // played; capture: what was heard meanwhile is lost)
  std::vector<KSSTATE> states;   // every state set successfully, in order
  std::vector<void*> firstSubmittedData;  // Data pointers of the first 64 submissions
  WORD lastFormatTag = 0;
  ULONG lastCreateInterfaceId = 0;
  std::vector<ULONG> rtBufferRequests;  // sizes asked for, refused ones included
  ULONG rtNotificationCount = 0;        // of the buffer granted last
  int32_t rtEventsRegistered = 0;       // registrations accepted
  int32_t rtNotificationsSignalled = 0;
  int32_t rtPositionReads = 0;
  int64_t rtPositionWraps = 0;          // passes of the position through the buffer end
};

class KsSimDriver final : public KsSystem {
 public:
  KsSimDriver();
  ~KsSimDriver() override;

  // ---- Configuration (before use) -------------------------------------------------
  int32_t AddFilter(const KsSimFilterSpec& spec);
  KsSimFilterSpec& Filter(int32_t index);  // change a spec between uses
  void SetRegistryValue(const std::string& localMachinePath, const std::string& name,
                        DWORD type, const std::vector<uint8_t>& data);
  void SetRegistryString(const std::string& localMachinePath, const std::string& name,
                         const std::string& text);
  void SetOsMajorVersion(DWORD major) { osMajor_ = major; }
  void SetKsUserMissing(bool missing) { ksUserMissing_ = missing; }
  void SetClassDevsFails(bool fails) { classDevsFails_ = fails; }
  // Render pins keep at most this many seconds of what they were given (default 30).
  void SetRenderKeepSeconds(double seconds) { renderKeepSeconds_ = seconds; }

  // ---- Observation ---------------------------------------------------------------
  int32_t OpenHandleCount() const;
  int32_t PendingRequestCount() const;
  KsSimPinStats PinStats(int32_t filter, ULONG pin) const;
  // Interleaved 16-bit frames a render pin has played (its running pin instances
  // appended), with silence inserted where the queue ran dry.
  std::vector<int16_t> RenderedSamples(int32_t filter, ULONG pin) const;
  int64_t RenderedFrames(int32_t filter, ULONG pin) const;
  WORD RenderedChannels(int32_t filter, ULONG pin) const;
  void ClearRendered(int32_t filter, ULONG pin);
  int64_t IoControlCount() const { return ioControls_.load(); }

  // ---- KsSystem -------------------------------------------------------------------
  HDEVINFO GetClassDevs(const GUID& category) override;
  BOOL EnumInterfaces(HDEVINFO set, const GUID& category, DWORD index,
                      SP_DEVICE_INTERFACE_DATA* data) override;
  BOOL GetInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                          SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize) override;
  HKEY OpenInterfaceKey(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data) override;
  BOOL GetInterfaceAlias(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, const GUID& aliasCategory,
                         SP_DEVICE_INTERFACE_DATA* alias) override;
  void DestroyDevSet(HDEVINFO set) override;
  LONG OpenLocalMachineKey(const char* subKey, HKEY* key) override;
  LONG QueryRegValue(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* size) override;
  void CloseRegKey(HKEY key) override;
  DWORD OsMajorVersion() override { return osMajor_; }
  HANDLE OpenDevice(const char* path, DWORD* error) override;
  BOOL IoControl(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                 DWORD* returned, OVERLAPPED* ov, DWORD* error) override;
  DWORD OverlappedResult(HANDLE handle, OVERLAPPED* ov, DWORD* bytes) override;
  bool KsCreatePinAvailable() override { return !ksUserMissing_; }
  DWORD CreatePin(HANDLE filter, KSPIN_CONNECT* connect, ACCESS_MASK access, HANDLE* pin) override;
  void CloseDevice(HANDLE handle) override;

 private:
  struct Request;
  struct PinInstance;
  struct Object;
  struct Pending;
  struct PinRecord;

  HANDLE NewHandle(std::unique_ptr<Object> object);
  Object* Find(HANDLE h) const;
  PinRecord& Record(int32_t filter, ULONG pin) const;
  DWORD FilterProperty(int32_t filter, const void* in, DWORD inSize, std::vector<uint8_t>* reply);
  DWORD PinProperty(PinInstance* pin, const void* in, DWORD inSize, void* out, DWORD outSize,
                    DWORD* bytes);
  DWORD RtProperty(PinInstance* pin, const KSPROPERTY& prop, const void* in, DWORD inSize, void* out,
                   DWORD outSize, DWORD* bytes);
  void AdvanceRt(PinInstance* pin, double now);
  BOOL Submit(PinInstance* pin, bool write, void* out, DWORD outSize, OVERLAPPED* ov, DWORD* error);
  void SetState(PinInstance* pin, KSSTATE state);
  void CancelAll(PinInstance* pin);
  void Complete(PinInstance* pin, Request& r);
  void ClockLoop();
  void Tick();

  mutable std::mutex mutex_;
  std::vector<KsSimFilterSpec> filters_;
  mutable std::map<std::pair<int32_t, ULONG>, std::unique_ptr<PinRecord>> records_;
  std::map<std::string, std::map<std::string, std::pair<DWORD, std::vector<uint8_t>>>> registry_;
  std::map<ULONG_PTR, std::unique_ptr<Object>> objects_;
  std::vector<std::unique_ptr<Pending>> pending_;
  ULONG_PTR nextHandle_ = 0x5100;
  DWORD osMajor_ = 10;
  bool ksUserMissing_ = false;
  bool classDevsFails_ = false;
  double renderKeepSeconds_ = 30.0;
  std::atomic<int64_t> ioControls_{0};
  std::atomic<bool> quit_{false};
  std::thread clock_;
};

// ---- The switch a test build uses -------------------------------------------------
// Builds a simulated driver with one render device "Simulated KS Speakers" and one
// capture device "Simulated KS Microphone" (1000 Hz tone at -6 dBFS), installs it as the
// system seam and returns it (kept for the life of the process).
KsSimDriver* KsSimInstallStandardDevices();
// Installs the standard simulated devices when the environment variable
// VELORAND_KS_SIMULATED is set to a non-empty value other than "0"; returns the driver or
// null. Meant for test builds of the program, called once at start-up.
KsSimDriver* KsSimInstallFromEnvironment();
