// The simulated kernel-streaming audio driver.
#include "KernelStreaming/KsSimDriver.h"
#include "KernelStreaming/KsRtAudio.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace {

constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusPending = 0x00000103;
constexpr LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005u);
constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023u);
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120u);
constexpr LONG kStatusNotFound = static_cast<LONG>(0xC0000225u);
constexpr LONG kStatusUnsuccessful = static_cast<LONG>(0xC0000001u);

LONG StatusFromError(DWORD error) {
  switch (error) {
    case 0: return kStatusSuccess;
    case ERROR_MORE_DATA: return kStatusBufferOverflow;
    case ERROR_INSUFFICIENT_BUFFER: return kStatusBufferTooSmall;
    case ERROR_NOT_FOUND: return kStatusNotFound;
    case ERROR_OPERATION_ABORTED: return kStatusCancelled;
    default: return kStatusUnsuccessful;
  }
}

DWORD ErrorFromStatus(LONG status) {
  switch (status) {
    case kStatusSuccess: return 0;
    case kStatusBufferOverflow: return ERROR_MORE_DATA;
    case kStatusBufferTooSmall: return ERROR_INSUFFICIENT_BUFFER;
    case kStatusNotFound: return ERROR_NOT_FOUND;
    case kStatusCancelled: return ERROR_OPERATION_ABORTED;
    case kStatusPending: return ERROR_IO_INCOMPLETE;
    default: return ERROR_GEN_FAILURE;
  }
}

double NowSeconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / frequency;
}

void SignalOverlapped(OVERLAPPED* ov, LONG status, ULONG_PTR bytes) {
  ov->InternalHigh = bytes;
  ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
  HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(ov->hEvent) & ~static_cast<ULONG_PTR>(1));
  if (event) SetEvent(event);
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

template <typename T>
void AppendBytes(std::vector<uint8_t>* out, const T& value) {
  size_t at = out->size();
  out->resize(at + sizeof(T));
  std::memcpy(out->data() + at, &value, sizeof(T));
}

template <typename T>
std::vector<uint8_t> MultipleItem(const std::vector<T>& items) {
  std::vector<uint8_t> out;
  KSMULTIPLE_ITEM header;
  header.Size = static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + items.size() * sizeof(T));
  header.Count = static_cast<ULONG>(items.size());
  AppendBytes(&out, header);
  for (const T& item : items) AppendBytes(&out, item);
  return out;
}

bool FormatWithinRange(const KSDATARANGE_AUDIO& r, const WAVEFORMATEX& f) {
  return f.nChannels <= r.MaximumChannels && f.wBitsPerSample >= r.MinimumBitsPerSample &&
         f.wBitsPerSample <= r.MaximumBitsPerSample && f.nSamplesPerSec >= r.MinimumSampleFrequency &&
         f.nSamplesPerSec <= r.MaximumSampleFrequency;
}

}  // namespace

// ---- Internal records ---------------------------------------------------------------

struct KsSimDriver::Request {
  KSSTREAM_HEADER* header;
  OVERLAPPED* ov;
  bool write;
  bool started;
  double due;
  double queuedAt;  // a request cannot start playing before it reached the driver
};

struct KsSimDriver::PinRecord {
  KsSimPinStats stats;
  std::vector<int16_t> rendered;  // interleaved
  WORD channels = 0;
  int64_t frames = 0;
};

struct KsSimDriver::PinInstance {
  int32_t filter;
  ULONG pin;
  KSSTATE state = KSSTATE_STOP;
  WAVEFORMATEX format = {};
  std::deque<Request> queue;
  double lastEnd = 0;  // when the last completed request ended on the device clock
  bool hadRequest = false;
  double phase = 0;
  uint32_t frameClock = 0;  // capture frames the device has heard, gaps included
  int32_t submissions = 0;
  int32_t completions = 0;
  // Real-time pins: the cyclic buffer, its position and the notification event.
  std::vector<uint8_t> ring;
  ULONG notifications = 0;
  HANDLE notifyEvent = nullptr;
  double rtFrames = 0;        // frames the position has advanced since the last stop
  double rtLastTick = 0;
  double rtRunSeconds = 0;
  uint64_t rtPosition = 0;    // bytes, not wrapped
  int32_t positionReads = 0;
};

struct KsSimDriver::Object {
  enum Kind { kDevSet, kInterfaceKey, kRegKey, kFilter, kPin } kind;
  std::vector<int32_t> members;  // kDevSet: filter indices in order
  GUID category = GUID_NULL;
  int32_t filter = -1;           // kInterfaceKey, kFilter, kPin
  std::string regPath;           // kRegKey (lower case)
  std::unique_ptr<PinInstance> pin;
};

struct KsSimDriver::Pending {
  OVERLAPPED* ov;
  LONG status;
  ULONG_PTR bytes;
  double due;
};

// ---- Construction ---------------------------------------------------------------------

KsSimPinSpec::KsSimPinSpec() {
  KSIDENTIFIER standard = {};
  standard.Set = KSINTERFACESETID_Standard;
  standard.Id = KSINTERFACE_STANDARD_STREAMING;
  interfaces.push_back(standard);
  KSIDENTIFIER medium = {};
  medium.Set = KSMEDIUMSETID_Standard;
  medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  mediums.push_back(medium);
  ranges.push_back(PcmRange(8, 8, 32, 8000, 192000));
}

KSDATARANGE_AUDIO KsSimPinSpec::PcmRange(ULONG maxChannels, ULONG minBits, ULONG maxBits,
                                         ULONG minRate, ULONG maxRate) {
  KSDATARANGE_AUDIO r = {};
  r.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  r.MaximumChannels = maxChannels;
  r.MinimumBitsPerSample = minBits;
  r.MaximumBitsPerSample = maxBits;
  r.MinimumSampleFrequency = minRate;
  r.MaximumSampleFrequency = maxRate;
  return r;
}

KsSimDriver::KsSimDriver() { clock_ = std::thread([this] { ClockLoop(); }); }

KsSimDriver::~KsSimDriver() {
  quit_.store(true);
  clock_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : objects_)
    if (entry.second->pin) CancelAll(entry.second->pin.get());
  for (auto& p : pending_) SignalOverlapped(p->ov, kStatusCancelled, 0);
  pending_.clear();
}

int32_t KsSimDriver::AddFilter(const KsSimFilterSpec& spec) {
  std::lock_guard<std::mutex> lock(mutex_);
  filters_.push_back(spec);
  return static_cast<int32_t>(filters_.size() - 1);
}

KsSimFilterSpec& KsSimDriver::Filter(int32_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  return filters_.at(static_cast<size_t>(index));
}

void KsSimDriver::SetRegistryValue(const std::string& path, const std::string& name, DWORD type,
                                   const std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> lock(mutex_);
  registry_[Lower(path)][Lower(name)] = {type, data};
}

void KsSimDriver::SetRegistryString(const std::string& path, const std::string& name,
                                    const std::string& text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  SetRegistryValue(path, name, REG_SZ, bytes);
}

HANDLE KsSimDriver::NewHandle(std::unique_ptr<Object> object) {
  ULONG_PTR value = nextHandle_;
  nextHandle_ += 4;
  objects_[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

KsSimDriver::Object* KsSimDriver::Find(HANDLE h) const {
  auto it = objects_.find(reinterpret_cast<ULONG_PTR>(h));
  return it == objects_.end() ? nullptr : it->second.get();
}

KsSimDriver::PinRecord& KsSimDriver::Record(int32_t filter, ULONG pin) const {
  auto& slot = records_[{filter, pin}];
  if (!slot) slot = std::make_unique<PinRecord>();
  return *slot;
}

// ---- Observation ------------------------------------------------------------------------

int32_t KsSimDriver::OpenHandleCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int32_t>(objects_.size());
}

int32_t KsSimDriver::PendingRequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = pending_.size();
  for (auto& entry : objects_)
    if (entry.second->pin) n += entry.second->pin->queue.size();
  return static_cast<int32_t>(n);
}

KsSimPinStats KsSimDriver::PinStats(int32_t filter, ULONG pin) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Record(filter, pin).stats;
}

std::vector<int16_t> KsSimDriver::RenderedSamples(int32_t filter, ULONG pin) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Record(filter, pin).rendered;
}

int64_t KsSimDriver::RenderedFrames(int32_t filter, ULONG pin) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Record(filter, pin).frames;
}

WORD KsSimDriver::RenderedChannels(int32_t filter, ULONG pin) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Record(filter, pin).channels;
}

void KsSimDriver::ClearRendered(int32_t filter, ULONG pin) {
  std::lock_guard<std::mutex> lock(mutex_);
  PinRecord& r = Record(filter, pin);
  r.rendered.clear();
  r.frames = 0;
}

// ---- Device-interface enumeration and registry ---------------------------------------------

HDEVINFO KsSimDriver::GetClassDevs(const GUID& category) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (classDevsFails_) return INVALID_HANDLE_VALUE;
  auto set = std::make_unique<Object>();
  set->kind = Object::kDevSet;
  set->category = category;
  for (size_t i = 0; i < filters_.size(); ++i)
    for (auto& c : filters_[i].categories)
      if (IsEqualGUID(c.first, category) && !(c.second & SPINT_REMOVED)) {
        set->members.push_back(static_cast<int32_t>(i));
        break;
      }
  return NewHandle(std::move(set));
}

BOOL KsSimDriver::EnumInterfaces(HDEVINFO setHandle, const GUID& category, DWORD index,
                                 SP_DEVICE_INTERFACE_DATA* data) {
  std::lock_guard<std::mutex> lock(mutex_);
  Object* set = Find(setHandle);
  if (!set || set->kind != Object::kDevSet || !data || data->cbSize != sizeof(*data) ||
      index >= set->members.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  int32_t filter = set->members[index];
  data->InterfaceClassGuid = category;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = static_cast<ULONG_PTR>(filter + 1);
  return TRUE;
}

BOOL KsSimDriver::GetInterfaceDetail(HDEVINFO, SP_DEVICE_INTERFACE_DATA* data,
                                     SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t filter = static_cast<size_t>(data->Reserved) - 1;
  // Windows takes only the size of the fixed part as this process's headers lay it out
  // (8 in a 64-bit process, 5 in a 32-bit one) and refuses any other value.
  if (filter >= filters_.size() || !detail || detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  const std::string& path = filters_[filter].devicePath;
  size_t room = detailSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (path.size() + 1 > room) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  return TRUE;
}

HKEY KsSimDriver::OpenInterfaceKey(HDEVINFO, SP_DEVICE_INTERFACE_DATA* data) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t filter = static_cast<size_t>(data->Reserved) - 1;
  if (filter >= filters_.size() || !filters_[filter].hasInterfaceKey)
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  auto key = std::make_unique<Object>();
  key->kind = Object::kInterfaceKey;
  key->filter = static_cast<int32_t>(filter);
  return static_cast<HKEY>(NewHandle(std::move(key)));
}

BOOL KsSimDriver::GetInterfaceAlias(HDEVINFO, SP_DEVICE_INTERFACE_DATA* data, const GUID& alias,
                                    SP_DEVICE_INTERFACE_DATA* aliasData) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t filter = static_cast<size_t>(data->Reserved) - 1;
  if (filter >= filters_.size()) return FALSE;
  for (auto& c : filters_[filter].categories) {
    if (!IsEqualGUID(c.first, alias)) continue;
    aliasData->InterfaceClassGuid = alias;
    aliasData->Flags = c.second;
    aliasData->Reserved = data->Reserved;
    return TRUE;
  }
  return FALSE;
}

void KsSimDriver::DestroyDevSet(HDEVINFO set) { CloseDevice(set); }

LONG KsSimDriver::OpenLocalMachineKey(const char* subKey, HKEY* key) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string path = Lower(subKey ? subKey : "");
  if (registry_.find(path) == registry_.end()) return ERROR_FILE_NOT_FOUND;
  auto object = std::make_unique<Object>();
  object->kind = Object::kRegKey;
  object->regPath = path;
  *key = static_cast<HKEY>(NewHandle(std::move(object)));
  return ERROR_SUCCESS;
}

LONG KsSimDriver::QueryRegValue(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* size) {
  std::lock_guard<std::mutex> lock(mutex_);
  Object* object = Find(key);
  if (!object) return ERROR_INVALID_HANDLE;
  DWORD valueType = 0;
  std::vector<uint8_t> bytes;
  if (object->kind == Object::kInterfaceKey) {
    const KsSimFilterSpec& spec = filters_[static_cast<size_t>(object->filter)];
    if (Lower(name ? name : "") != "friendlyname" || !spec.hasFriendlyName) return ERROR_FILE_NOT_FOUND;
    valueType = REG_SZ;
    bytes.assign(spec.friendlyName.begin(), spec.friendlyName.end());
    if (spec.terminateFriendlyName) bytes.push_back(0);
  } else if (object->kind == Object::kRegKey) {
    auto& values = registry_[object->regPath];
    auto it = values.find(Lower(name ? name : ""));
    if (it == values.end()) return ERROR_FILE_NOT_FOUND;
    valueType = it->second.first;
    bytes = it->second.second;
  } else {
    return ERROR_INVALID_HANDLE;
  }
  if (type) *type = valueType;
  DWORD needed = static_cast<DWORD>(bytes.size());
  if (!data) {
    if (size) *size = needed;
    return ERROR_SUCCESS;
  }
  if (!size || *size < needed) {
    if (size) *size = needed;
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, bytes.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

void KsSimDriver::CloseRegKey(HKEY key) { CloseDevice(key); }

// ---- Devices ------------------------------------------------------------------------------

HANDLE KsSimDriver::OpenDevice(const char* path, DWORD* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string wanted = Lower(path ? path : "");
  for (size_t i = 0; i < filters_.size(); ++i) {
    if (Lower(filters_[i].devicePath) != wanted) continue;
    if (filters_[i].failOpen) {
      *error = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    auto object = std::make_unique<Object>();
    object->kind = Object::kFilter;
    object->filter = static_cast<int32_t>(i);
    *error = 0;
    return NewHandle(std::move(object));
  }
  *error = ERROR_FILE_NOT_FOUND;
  return INVALID_HANDLE_VALUE;
}

void KsSimDriver::CloseDevice(HANDLE handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = objects_.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == objects_.end()) return;
  if (PinInstance* pin = it->second->pin.get()) {
    // Closing a pin cancels what the driver still holds before the handle goes away, so
    // nothing is completed into buffers the caller frees next.
    CancelAll(pin);
    KsSimPinSpec& spec = filters_[static_cast<size_t>(pin->filter)].pins[pin->pin];
    if (spec.instances.CurrentCount > 0) --spec.instances.CurrentCount;
  }
  objects_.erase(it);
}

DWORD KsSimDriver::FilterProperty(int32_t filterIndex, const void* in, DWORD inSize,
                                  std::vector<uint8_t>* reply) {
  if (!in || inSize < sizeof(KSPROPERTY)) return ERROR_INVALID_PARAMETER;
  KSPROPERTY prop;
  std::memcpy(&prop, in, sizeof(prop));
  if (!(prop.Flags & KSPROPERTY_TYPE_GET)) return ERROR_NOT_FOUND;
  const KsSimFilterSpec& spec = filters_[static_cast<size_t>(filterIndex)];
  if (IsEqualGUID(prop.Set, KSPROPSETID_Topology) && prop.Id == KSPROPERTY_TOPOLOGY_NODES) {
    auto raw = spec.rawReplies.find(KsSimFilterSpec::kRawNodesKey);
    *reply = raw != spec.rawReplies.end() ? raw->second : MultipleItem(spec.nodes);
    return 0;
  }
  if (!IsEqualGUID(prop.Set, KSPROPSETID_Pin)) return ERROR_NOT_FOUND;
  if (prop.Id == KSPROPERTY_PIN_CTYPES) {
    auto raw = spec.rawReplies.find(KSPROPERTY_PIN_CTYPES);
    if (raw != spec.rawReplies.end()) {
      *reply = raw->second;
    } else {
      reply->clear();
      AppendBytes(reply, static_cast<ULONG>(spec.pins.size()));
    }
    return 0;
  }
  if (inSize < sizeof(KSP_PIN)) return ERROR_INVALID_PARAMETER;
  KSP_PIN request;
  std::memcpy(&request, in, sizeof(request));
  if (request.PinId >= spec.pins.size()) return ERROR_NOT_FOUND;
  const KsSimPinSpec& pin = spec.pins[request.PinId];
  auto raw = pin.rawReplies.find(prop.Id);
  if (raw != pin.rawReplies.end()) {
    *reply = raw->second;
    return 0;
  }
  if (prop.Id < 32 && (pin.failProperties & (1u << prop.Id))) return ERROR_NOT_FOUND;
  reply->clear();
  switch (prop.Id) {
    case KSPROPERTY_PIN_COMMUNICATION: AppendBytes(reply, pin.communication); return 0;
    case KSPROPERTY_PIN_DATAFLOW: AppendBytes(reply, pin.dataFlow); return 0;
    case KSPROPERTY_PIN_CINSTANCES: AppendBytes(reply, pin.instances); return 0;
    case KSPROPERTY_PIN_GLOBALCINSTANCES: AppendBytes(reply, pin.instances); return 0;
    case KSPROPERTY_PIN_CATEGORY: AppendBytes(reply, pin.category); return 0;
    case KSPROPERTY_PIN_NAME: {
      for (wchar_t c : pin.name) AppendBytes(reply, static_cast<WCHAR>(c));
      AppendBytes(reply, static_cast<WCHAR>(0));
      return 0;
    }
    case KSPROPERTY_PIN_INTERFACES: *reply = MultipleItem(pin.interfaces); return 0;
    case KSPROPERTY_PIN_MEDIUMS: *reply = MultipleItem(pin.mediums); return 0;
    case KSPROPERTY_PIN_DATARANGES: *reply = MultipleItem(pin.ranges); return 0;
    default: return ERROR_NOT_FOUND;
  }
}

BOOL KsSimDriver::IoControl(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out,
                            DWORD outSize, DWORD* returned, OVERLAPPED* ov, DWORD* error) {
  ioControls_.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(mutex_);
  *returned = 0;
  Object* object = Find(handle);
  if (!object || !ov) {
    *error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  // A real DeviceIoControl resets the caller's event before the request starts.
  HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(ov->hEvent) & ~static_cast<ULONG_PTR>(1));
  if (event) ResetEvent(event);
  ov->Internal = static_cast<ULONG_PTR>(kStatusPending);
  ov->InternalHigh = 0;

  if (object->kind == Object::kPin) {
    PinInstance* pin = object->pin.get();
    if (code == IOCTL_KS_WRITE_STREAM || code == IOCTL_KS_READ_STREAM)
      return Submit(pin, code == IOCTL_KS_WRITE_STREAM, out, outSize, ov, error);
    DWORD bytes = 0;
    DWORD result = code == IOCTL_KS_PROPERTY ? PinProperty(pin, in, inSize, out, outSize, &bytes)
                                              : ERROR_INVALID_FUNCTION;
    *error = result;
    *returned = result == 0 ? bytes : 0;
    if (result == 0) {
      ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(kStatusSuccess));
      ov->InternalHigh = bytes;
    }
    return result == 0;
  }
  if (object->kind != Object::kFilter || code != IOCTL_KS_PROPERTY) {
    *error = ERROR_INVALID_FUNCTION;
    return FALSE;
  }
  const KsSimFilterSpec& spec = filters_[static_cast<size_t>(object->filter)];
  std::vector<uint8_t> reply;
  DWORD result = FilterProperty(object->filter, in, inSize, &reply);
  DWORD bytes = 0;
  if (result == 0) {
    if (outSize == 0 || !out) {
      result = reply.empty() ? 0 : spec.sizeQueryError;
      bytes = static_cast<DWORD>(reply.size());
    } else if (outSize < reply.size()) {
      result = ERROR_INSUFFICIENT_BUFFER;  // a fixed buffer too small: nothing written
    } else {
      std::memcpy(out, reply.data(), reply.size());
      bytes = static_cast<DWORD>(reply.size());
    }
  }
  // An error status (ERROR_INSUFFICIENT_BUFFER among them) carries no byte count back;
  // only success and the ERROR_MORE_DATA warning do.
  if (result != 0 && result != ERROR_MORE_DATA) bytes = 0;
  if (spec.pendRequests) {
    auto p = std::make_unique<Pending>();
    p->ov = ov;
    p->status = StatusFromError(result);
    p->bytes = bytes;
    p->due = NowSeconds() + 0.002;
    pending_.push_back(std::move(p));
    *error = ERROR_IO_PENDING;
    return FALSE;
  }
  // Finished at once. Windows writes the outcome into the OVERLAPPED record for success
  // and warnings only; an error status leaves it as DeviceIoControl set it (pending, no
  // bytes). The count DeviceIoControl returns is undefined on an overlapped handle: it is
  // given only for success, and callers must not rely even on that.
  if (result == 0 || result == ERROR_MORE_DATA) {
    ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(StatusFromError(result)));
    ov->InternalHigh = bytes;
  }
  *error = result;
  *returned = result == 0 ? bytes : 0;
  return result == 0;
}

DWORD KsSimDriver::OverlappedResult(HANDLE, OVERLAPPED* ov, DWORD* bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  LONG status = static_cast<LONG>(static_cast<ULONG>(ov->Internal));
  *bytes = status == kStatusPending ? 0 : static_cast<DWORD>(ov->InternalHigh);
  return ErrorFromStatus(status);
}

DWORD KsSimDriver::PinProperty(PinInstance* pin, const void* in, DWORD inSize, void* out,
                               DWORD outSize, DWORD* bytes) {
  *bytes = 0;
  if (!in || inSize < sizeof(KSPROPERTY)) return ERROR_INVALID_PARAMETER;
  KSPROPERTY prop;
  std::memcpy(&prop, in, sizeof(prop));
  const KsSimPinSpec& pinSpec = filters_[static_cast<size_t>(pin->filter)].pins[pin->pin];
  if (pinSpec.waveRt && (IsEqualGUID(prop.Set, KSPROPSETID_RtAudio) ||
                         (IsEqualGUID(prop.Set, KSPROPSETID_Audio) && prop.Id == KSPROPERTY_AUDIO_POSITION)))
    return RtProperty(pin, prop, in, inSize, out, outSize, bytes);
  if (!IsEqualGUID(prop.Set, KSPROPSETID_Connection) || prop.Id != KSPROPERTY_CONNECTION_STATE)
    return ERROR_NOT_FOUND;
  if (!out || outSize < sizeof(ULONG)) return ERROR_INSUFFICIENT_BUFFER;
  if (prop.Flags & KSPROPERTY_TYPE_GET) {
    ULONG state = static_cast<ULONG>(pin->state);
    std::memcpy(out, &state, sizeof(state));
    *bytes = sizeof(state);
    return 0;
  }
  if (!(prop.Flags & KSPROPERTY_TYPE_SET)) return ERROR_INVALID_PARAMETER;
  ULONG state = 0;
  std::memcpy(&state, out, sizeof(state));
  if (state > KSSTATE_RUN) return ERROR_INVALID_PARAMETER;
  const KsSimPinSpec& spec = filters_[static_cast<size_t>(pin->filter)].pins[pin->pin];
  if (spec.failStateMask & (1u << state)) return ERROR_GEN_FAILURE;
  SetState(pin, static_cast<KSSTATE>(state));
  Record(pin->filter, pin->pin).stats.states.push_back(static_cast<KSSTATE>(state));
  return 0;
}

void KsSimDriver::SetState(PinInstance* pin, KSSTATE state) {
  const KsSimPinSpec& spec = filters_[static_cast<size_t>(pin->filter)].pins[pin->pin];
  if (state == KSSTATE_RUN && pin->state != KSSTATE_RUN) {
    pin->lastEnd = NowSeconds();
    pin->hadRequest = false;
    pin->rtLastTick = pin->lastEnd;
  }
  if (pin->state == KSSTATE_RUN && state != KSSTATE_RUN && spec.waveRt) AdvanceRt(pin, NowSeconds());
  if (state == KSSTATE_STOP && spec.waveRt) {
    // Stopping a real-time pin resets its position to the buffer start.
    pin->rtFrames = 0;
    pin->rtPosition = 0;
  }
  if (state != KSSTATE_RUN) {
    // Leaving run freezes the device clock; requests restart their timing on resume.
    for (Request& r : pin->queue) r.started = false;
  }
  if (state == KSSTATE_STOP && !spec.holdBuffersAtStop) CancelAll(pin);
  pin->state = state;
}

void KsSimDriver::CancelAll(PinInstance* pin) {
  PinRecord& record = Record(pin->filter, pin->pin);
  for (Request& r : pin->queue) {
    r.header->DataUsed = 0;
    SignalOverlapped(r.ov, kStatusCancelled, 0);
    ++record.stats.cancellations;
  }
  pin->queue.clear();
}

BOOL KsSimDriver::Submit(PinInstance* pin, bool write, void* out, DWORD outSize, OVERLAPPED* ov,
                         DWORD* error) {
  const KsSimPinSpec& spec = filters_[static_cast<size_t>(pin->filter)].pins[pin->pin];
  auto* header = static_cast<KSSTREAM_HEADER*>(out);
  bool renderPin = spec.dataFlow == KSPIN_DATAFLOW_IN;
  if (!header || outSize < sizeof(KSSTREAM_HEADER) || header->Size < sizeof(KSSTREAM_HEADER) ||
      write != renderPin || !header->Data || header->FrameExtent == 0 ||
      (write && header->DataUsed > header->FrameExtent)) {
    *error = ERROR_INVALID_PARAMETER;
    ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(kStatusUnsuccessful));
    return FALSE;
  }
  if (spec.waveRt) {
    *error = ERROR_INVALID_FUNCTION;  // a real-time pin has no stream requests
    return FALSE;
  }
  if (spec.failSubmissionAfter >= 0 && pin->submissions >= spec.failSubmissionAfter) {
    *error = ERROR_GEN_FAILURE;
    ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(kStatusUnsuccessful));
    return FALSE;
  }
  ++pin->submissions;
  PinRecord& record = Record(pin->filter, pin->pin);
  ++record.stats.submissions;
  if (record.stats.firstSubmittedData.size() < 64) record.stats.firstSubmittedData.push_back(header->Data);
  pin->queue.push_back(Request{header, ov, write, false, 0, NowSeconds()});
  *error = ERROR_IO_PENDING;
  return FALSE;
}

DWORD KsSimDriver::CreatePin(HANDLE filterHandle, KSPIN_CONNECT* connect, ACCESS_MASK, HANDLE* pinHandle) {
  std::lock_guard<std::mutex> lock(mutex_);
  *pinHandle = INVALID_HANDLE_VALUE;
  if (ksUserMissing_) return ERROR_FILE_NOT_FOUND;
  Object* filter = Find(filterHandle);
  if (!filter || filter->kind != Object::kFilter || !connect) return ERROR_INVALID_HANDLE;
  KsSimFilterSpec& spec = filters_[static_cast<size_t>(filter->filter)];
  if (connect->PinId >= spec.pins.size()) return ERROR_NOT_FOUND;
  KsSimPinSpec& pinSpec = spec.pins[connect->PinId];
  PinRecord& record = Record(filter->filter, connect->PinId);
  ++record.stats.createAttempts;
  record.stats.lastCreateInterfaceId = connect->Interface.Id;
  if (pinSpec.createError) return pinSpec.createError;
  if (pinSpec.busy) return ERROR_BUSY;
  const ULONG wantedInterface =
      pinSpec.waveRt ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;
  if (!IsEqualGUID(connect->Interface.Set, KSINTERFACESETID_Standard) ||
      connect->Interface.Id != wantedInterface ||
      !IsEqualGUID(connect->Medium.Set, KSMEDIUMSETID_Standard))
    return ERROR_NOT_SUPPORTED;
  const auto* format = reinterpret_cast<const KSDATAFORMAT*>(connect + 1);
  if (format->FormatSize < sizeof(KSDATAFORMAT) + 18 ||
      !IsEqualGUID(format->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
      !IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
    return ERROR_INVALID_PARAMETER;
  WAVEFORMATEX wfx;
  std::memcpy(&wfx, format + 1, sizeof(wfx));
  record.stats.lastFormatTag = wfx.wFormatTag;
  bool extensible = wfx.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
  if (extensible) {
    if (!pinSpec.acceptExtensible || wfx.cbSize < 22 ||
        format->FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE))
      return ERROR_NOT_SUPPORTED;
    WAVEFORMATEXTENSIBLE ext;
    std::memcpy(&ext, format + 1, sizeof(ext));
    if (!IsEqualGUID(ext.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) return ERROR_NOT_SUPPORTED;
  } else if (wfx.wFormatTag != WAVE_FORMAT_PCM || !pinSpec.acceptPcm) {
    return ERROR_NOT_SUPPORTED;
  }
  if (wfx.wBitsPerSample != 16 || wfx.nChannels == 0 ||
      wfx.nBlockAlign != wfx.nChannels * wfx.wBitsPerSample / 8)
    return ERROR_NOT_SUPPORTED;  // the simulated converter streams 16-bit PCM only
  bool announced = false;
  for (const KSDATARANGE_AUDIO& r : pinSpec.ranges) announced = announced || FormatWithinRange(r, wfx);
  if (!announced && !pinSpec.acceptUnannounced) return ERROR_NOT_SUPPORTED;
  if (pinSpec.instances.PossibleCount != 0 &&
      pinSpec.instances.CurrentCount >= pinSpec.instances.PossibleCount)
    return ERROR_BUSY;
  ++pinSpec.instances.CurrentCount;

  auto object = std::make_unique<Object>();
  object->kind = Object::kPin;
  object->filter = filter->filter;
  object->pin = std::make_unique<PinInstance>();
  object->pin->filter = filter->filter;
  object->pin->pin = connect->PinId;
  object->pin->format = wfx;
  ++record.stats.createCount;
  if (record.channels != wfx.nChannels) {
    record.rendered.clear();
    record.frames = 0;
    record.channels = wfx.nChannels;
  }
  *pinHandle = NewHandle(std::move(object));
  return 0;
}

// ---- Real-time pins -------------------------------------------------------------------------

DWORD KsSimDriver::RtProperty(PinInstance* pin, const KSPROPERTY& prop, const void* in, DWORD inSize,
                              void* out, DWORD outSize, DWORD* bytes) {
  const KsSimPinSpec& spec = filters_[static_cast<size_t>(pin->filter)].pins[pin->pin];
  PinRecord& record = Record(pin->filter, pin->pin);
  if (IsEqualGUID(prop.Set, KSPROPSETID_Audio)) {
    if (!(prop.Flags & KSPROPERTY_TYPE_GET)) return ERROR_INVALID_PARAMETER;
    if (!out || outSize < sizeof(KSAUDIO_POSITION)) return ERROR_INSUFFICIENT_BUFFER;
    ++record.stats.rtPositionReads;
    if (spec.rtFailPositionAfter >= 0 && pin->positionReads >= spec.rtFailPositionAfter)
      return ERROR_GEN_FAILURE;
    ++pin->positionReads;
    AdvanceRt(pin, NowSeconds());
    KSAUDIO_POSITION position = {};
    if (!pin->ring.empty()) position.PlayOffset = pin->rtPosition % pin->ring.size();
    position.WriteOffset = position.PlayOffset;
    std::memcpy(out, &position, sizeof(position));
    *bytes = sizeof(position);
    return 0;
  }
  if (prop.Flags & KSPROPERTY_TYPE_SETSUPPORT) return 0;  // the set is there
  if (!(prop.Flags & KSPROPERTY_TYPE_GET)) return ERROR_NOT_FOUND;
  switch (prop.Id) {
    case 1:    // KSPROPERTY_RTAUDIO_BUFFER
    case 5: {  // KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION
      const bool withNotification = prop.Id == 5;
      const DWORD needed = withNotification ? sizeof(KsRtAudioBufferPropertyWithNotification)
                                            : sizeof(KsRtAudioBufferProperty);
      if (inSize < needed) return ERROR_INVALID_PARAMETER;
      if (!out || outSize < sizeof(KsRtAudioBuffer)) return ERROR_INSUFFICIENT_BUFFER;
      KsRtAudioBufferPropertyWithNotification request = {};
      std::memcpy(&request, in, needed);
      record.stats.rtBufferRequests.push_back(request.RequestedBufferSize);
      if (withNotification && !spec.rtNotifications) return ERROR_NOT_FOUND;
      if (withNotification && (request.NotificationCount < 1 || request.NotificationCount > 2))
        return ERROR_INVALID_PARAMETER;
      if (pin->state != KSSTATE_STOP) return ERROR_BUSY;
      const ULONG size = request.RequestedBufferSize;
      if (size == 0 || size > spec.rtMaxBufferBytes || size % pin->format.nBlockAlign != 0 ||
          (spec.rtBufferAlignBytes != 0 && size % spec.rtBufferAlignBytes != 0))
        return ERROR_NOT_SUPPORTED;
      pin->ring.assign(size, 0);
      pin->notifications = withNotification ? request.NotificationCount : 0;
      pin->notifyEvent = nullptr;
      record.stats.rtNotificationCount = pin->notifications;
      KsRtAudioBuffer answer = {};
      answer.BufferAddress = pin->ring.data();
      answer.ActualBufferSize = size;
      std::memcpy(out, &answer, sizeof(answer));
      *bytes = sizeof(answer);
      return 0;
    }
    case 6:    // KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT
    case 7: {  // KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT
      if (inSize < sizeof(KsRtAudioNotificationEventProperty)) return ERROR_INVALID_PARAMETER;
      KsRtAudioNotificationEventProperty request = {};
      std::memcpy(&request, in, sizeof(request));
      if (prop.Id == 7) {
        if (pin->notifyEvent != request.NotificationEvent) return ERROR_INVALID_PARAMETER;
        pin->notifyEvent = nullptr;
        return 0;
      }
      if (!spec.rtNotifications || spec.rtRefuseRegister || pin->notifications == 0 || !request.NotificationEvent)
        return ERROR_NOT_SUPPORTED;
      pin->notifyEvent = request.NotificationEvent;
      ++record.stats.rtEventsRegistered;
      return 0;
    }
    default: return ERROR_NOT_FOUND;
  }
}

void KsSimDriver::AdvanceRt(PinInstance* pin, double now) {
  if (pin->state != KSSTATE_RUN || pin->ring.empty()) {
    pin->rtLastTick = now;
    return;
  }
  const KsSimPinSpec& spec = filters_[static_cast<size_t>(pin->filter)].pins[pin->pin];
  PinRecord& record = Record(pin->filter, pin->pin);
  const WAVEFORMATEX& f = pin->format;
  double elapsed = now - pin->rtLastTick;
  pin->rtLastTick = now;
  if (elapsed <= 0) return;
  if (spec.rtStopPositionAfterSeconds >= 0) {
    const double left = spec.rtStopPositionAfterSeconds - pin->rtRunSeconds;
    pin->rtRunSeconds += elapsed;
    if (left <= 0) return;
    elapsed = std::min(elapsed, left);
  }
  pin->rtFrames += elapsed * f.nSamplesPerSec;
  const uint64_t target = static_cast<uint64_t>(pin->rtFrames) * f.nBlockAlign;
  const size_t size = pin->ring.size();
  const uint32_t channels = f.nChannels;
  const size_t keep = static_cast<size_t>(renderKeepSeconds_ * f.nSamplesPerSec) * channels;
  const bool render = spec.dataFlow == KSPIN_DATAFLOW_IN;
  const double step = 2.0 * 3.14159265358979323846 * spec.toneHz / f.nSamplesPerSec;
  const uint64_t slice = pin->notifications ? size / pin->notifications : 0;
  while (pin->rtPosition < target) {
    const size_t at = static_cast<size_t>(pin->rtPosition % size);
    auto* frame = reinterpret_cast<int16_t*>(pin->ring.data() + at);
    if (render) {
      // The hardware plays whatever the buffer holds where the position passes.
      if (record.rendered.size() + channels <= keep) record.rendered.insert(record.rendered.end(), frame, frame + channels);
      ++record.frames;
    } else {
      const int16_t value = spec.captureCounter
                                ? static_cast<int16_t>(pin->frameClock & 0x7FFF)
                                : static_cast<int16_t>(std::lround(std::sin(pin->phase) * spec.toneAmplitude * 32767.0));
      for (uint32_t c = 0; c < channels; ++c) frame[c] = value;
      ++pin->frameClock;
      pin->phase += step;
      if (pin->phase > 2.0 * 3.14159265358979323846) pin->phase -= 2.0 * 3.14159265358979323846;
    }
    pin->rtPosition += f.nBlockAlign;
    if (pin->rtPosition % size == 0) ++record.stats.rtPositionWraps;
    if (slice && pin->notifyEvent && pin->rtPosition % slice == 0) {
      SetEvent(pin->notifyEvent);
      ++record.stats.rtNotificationsSignalled;
    }
  }
}

// ---- The clock ------------------------------------------------------------------------------

void KsSimDriver::Complete(PinInstance* pin, Request& r) {
  const KsSimPinSpec& spec = filters_[static_cast<size_t>(pin->filter)].pins[pin->pin];
  PinRecord& record = Record(pin->filter, pin->pin);
  const WAVEFORMATEX& f = pin->format;
  const uint32_t channels = f.nChannels;
  const uint32_t frames = r.header->FrameExtent / f.nBlockAlign;
  auto* samples = static_cast<int16_t*>(r.header->Data);
  const int32_t completion = pin->completions - 1;  // counted by the caller
  if (completion == spec.failCompletionAt) {
    r.header->DataUsed = 0;
    ++record.stats.completions;
    SignalOverlapped(r.ov, kStatusUnsuccessful, 0);
    return;
  }
  if (r.write) {
    const uint32_t used = std::min<uint32_t>(r.header->DataUsed, r.header->FrameExtent) / f.nBlockAlign;
    const size_t keep = static_cast<size_t>(renderKeepSeconds_ * f.nSamplesPerSec) * channels;
    if (record.rendered.size() + used * channels <= keep)
      record.rendered.insert(record.rendered.end(), samples, samples + used * channels);
    record.frames += used;
  } else {
    const double step = 2.0 * 3.14159265358979323846 * spec.toneHz / f.nSamplesPerSec;
    for (uint32_t i = 0; i < frames && spec.captureCounter; ++i, ++pin->frameClock)
      for (uint32_t c = 0; c < channels; ++c)
        samples[i * channels + c] = static_cast<int16_t>(pin->frameClock & 0x7FFF);
    for (uint32_t i = 0; i < frames && !spec.captureCounter; ++i) {
      auto value = static_cast<int16_t>(std::lround(std::sin(pin->phase) * spec.toneAmplitude * 32767.0));
      for (uint32_t c = 0; c < channels; ++c) samples[i * channels + c] = value;
      pin->phase += step;
      if (pin->phase > 2.0 * 3.14159265358979323846) pin->phase -= 2.0 * 3.14159265358979323846;
    }
    r.header->DataUsed = frames * f.nBlockAlign;
    if (completion == spec.shortCompletionAt)
      r.header->DataUsed = std::min<ULONG>(r.header->DataUsed, spec.shortCompletionBytes);
  }
  ++record.stats.completions;
  SignalOverlapped(r.ov, kStatusSuccess, sizeof(KSSTREAM_HEADER));
}

void KsSimDriver::Tick() {
  std::lock_guard<std::mutex> lock(mutex_);
  const double now = NowSeconds();
  for (size_t i = 0; i < pending_.size();) {
    if (pending_[i]->due <= now) {
      SignalOverlapped(pending_[i]->ov, pending_[i]->status, pending_[i]->bytes);
      pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  for (auto& entry : objects_) {
    PinInstance* pin = entry.second->pin.get();
    if (!pin || pin->state != KSSTATE_RUN) continue;
    const WAVEFORMATEX& f = pin->format;
    const KsSimPinSpec& spec = filters_[static_cast<size_t>(pin->filter)].pins[pin->pin];
    if (spec.waveRt) {
      AdvanceRt(pin, now);
      continue;
    }
    while (!pin->queue.empty()) {
      if (spec.stallAfterCompletions >= 0 && pin->completions >= spec.stallAfterCompletions) break;
      Request& r = pin->queue.front();
      if (!r.started) {
        // Back to back when it was queued in time; otherwise the device clock ran on
        // without it.
        double start = std::max(pin->lastEnd, r.queuedAt);
        PinRecord& record = Record(pin->filter, pin->pin);
        // The device clock ran on with nothing to play: a render pin plays silence
        // there, which the analysis should see as the gap it is.
        if (pin->hadRequest && start - pin->lastEnd > 0.001) {
          ++record.stats.underruns;
          const size_t gapFrames = static_cast<size_t>((start - pin->lastEnd) * f.nSamplesPerSec);
          if (r.write) {
            const size_t gap = gapFrames * f.nChannels;
            const size_t keep = static_cast<size_t>(renderKeepSeconds_ * f.nSamplesPerSec) * f.nChannels;
            if (record.rendered.size() + gap <= keep) record.rendered.insert(record.rendered.end(), gap, 0);
          } else {
            // A capture device with no buffer to fill loses what it heard meanwhile.
            const KsSimPinSpec& tone = filters_[static_cast<size_t>(pin->filter)].pins[pin->pin];
            pin->frameClock += static_cast<uint32_t>(gapFrames);
            pin->phase = std::fmod(pin->phase + 2.0 * 3.14159265358979323846 * tone.toneHz * gapFrames / f.nSamplesPerSec,
                                   2.0 * 3.14159265358979323846);
          }
        }
        r.started = true;
        r.due = start + static_cast<double>(r.header->FrameExtent / f.nBlockAlign) / f.nSamplesPerSec;
      }
      if (r.due > now) break;
      pin->lastEnd = r.due;
      pin->hadRequest = true;
      ++pin->completions;
      Complete(pin, r);
      pin->queue.pop_front();
    }
  }
}

void KsSimDriver::ClockLoop() {
  timeBeginPeriod(1);
  while (!quit_.load()) {
    Sleep(1);
    Tick();
  }
  timeEndPeriod(1);
}

// ---- Standard devices for a test build ------------------------------------------------------

KsSimDriver* KsSimInstallStandardDevices() {
  static KsSimDriver* driver = [] {
    auto* d = new KsSimDriver();
    KsSimFilterSpec render;
    render.devicePath = "\\\\?\\root#media#0001#{65e8773e-8f56-11d0-a3b9-00a0c9223196}\\wave";
    render.friendlyName = "Simulated KS Speakers";
    render.categories = {{KSCATEGORY_AUDIO, SPINT_ACTIVE}, {KSCATEGORY_RENDER, SPINT_ACTIVE}};
    KsSimPinSpec out;
    out.communication = KSPIN_COMMUNICATION_SINK;
    out.dataFlow = KSPIN_DATAFLOW_IN;
    out.name = L"Speakers";
    render.pins.push_back(out);
    d->AddFilter(render);

    KsSimFilterSpec capture;
    capture.devicePath = "\\\\?\\root#media#0002#{65e8773e-8f56-11d0-a3b9-00a0c9223196}\\wave";
    capture.friendlyName = "Simulated KS Microphone";
    capture.categories = {{KSCATEGORY_AUDIO, SPINT_ACTIVE}, {KSCATEGORY_CAPTURE, SPINT_ACTIVE}};
    KsSimPinSpec in;
    in.communication = KSPIN_COMMUNICATION_SINK;
    in.dataFlow = KSPIN_DATAFLOW_OUT;
    in.name = L"Microphone";
    in.toneHz = 1000.0;
    in.toneAmplitude = 0.5;
    capture.pins.push_back(in);
    d->AddFilter(capture);
    KsSetSystem(d);
    return d;
  }();
  return driver;
}

KsSimDriver* KsSimInstallFromEnvironment() {
  const char* value = std::getenv("VELORAND_KS_SIMULATED");
  if (!value || !*value || std::strcmp(value, "0") == 0) return nullptr;
  return KsSimInstallStandardDevices();
}
