// The kernel-streaming layer against the simulated driver: synchronous I/O control,
// enumeration with aliases and USB renaming, pin discovery and sorting, data-range
// qualification, format tests and the pin-connection block, render-pin fallback.
#include "KernelStreaming/KsAudio.h"
#include "KernelStreaming/KsFilterEnumerator.h"
#include "KsTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const GUID kRenderCategories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
const GUID kCaptureCategories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE};

void ExpectNoLiveObjects() {
  EXPECT_EQ(KsObjectCounts::filters.load(), 0);
  EXPECT_EQ(KsObjectCounts::pins.load(), 0);
  EXPECT_EQ(KsObjectCounts::nodes.load(), 0);
}

std::vector<std::string> Names(const CKsFilterEnumerator& e) {
  std::vector<std::string> names;
  for (CKsFilter* f : e.Filters()) names.emplace_back(f->GetFriendlyName());
  return names;
}

// ---- SyncIoctl ------------------------------------------------------------------------

TEST(KsIrpTarget, SyncIoctlSemantics) {
  KsSimScope sim;
  KsSimFilterSpec spec = AudioFilterSpec("Dev", true, 0);
  spec.sizeQueryError = ERROR_MORE_DATA;
  int32_t index = sim.Driver().AddFilter(spec);
  DWORD error = 0;
  HANDLE h = sim.Driver().OpenDevice(spec.devicePath.c_str(), &error);
  ASSERT_TRUE(CKsIrpTarget::IsValidHandle(h));

  // An invalid handle fails without reaching the driver.
  int64_t before = sim.Driver().IoControlCount();
  KSPROPERTY prop = {};
  prop.Set = KSPROPSETID_Pin;
  prop.Id = KSPROPERTY_PIN_CTYPES;
  prop.Flags = KSPROPERTY_TYPE_GET;
  ULONG got = 99;
  EXPECT_EQ(CKsIrpTarget::SyncIoctl(INVALID_HANDLE_VALUE, IOCTL_KS_PROPERTY, &prop, sizeof(prop),
                                    nullptr, 0, &got), E_FAIL);
  EXPECT_EQ(CKsIrpTarget::SyncIoctl(nullptr, IOCTL_KS_PROPERTY, &prop, sizeof(prop), nullptr, 0, &got), E_FAIL);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(sim.Driver().IoControlCount(), before);
  EXPECT_TRUE(sim.HasTrace("CKsIrpTarget::SyncIoctl Invalid Handle"));

  // A size query answered with ERROR_MORE_DATA succeeds and reports the size, read from
  // the completed request (the simulated driver, like Windows, leaves DeviceIoControl's
  // own count at 0 for a failed overlapped call). ERROR_INSUFFICIENT_BUFFER brings no size
  // back on Windows: S_FALSE and 0, and the list read falls back to probing.
  EXPECT_EQ(CKsIrpTarget::SyncIoctl(h, IOCTL_KS_PROPERTY, &prop, sizeof(prop), nullptr, 0, &got), S_OK);
  EXPECT_EQ(got, sizeof(ULONG));
  sim.Driver().Filter(index).sizeQueryError = ERROR_INSUFFICIENT_BUFFER;
  EXPECT_EQ(CKsIrpTarget::SyncIoctl(h, IOCTL_KS_PROPERTY, &prop, sizeof(prop), nullptr, 0, &got), S_FALSE);
  EXPECT_EQ(got, 0u);
  {
    HRESULT hr = S_OK;
    CKsFilter filter(spec.devicePath.c_str(), &hr, "Dev");
    ASSERT_EQ(filter.Instantiate(), S_OK);
    void* ranges = nullptr;
    ULONG rangeBytes = 0;
    ASSERT_EQ(filter.GetPinPropertyList(0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, &ranges, &rangeBytes), S_OK);
    ASSERT_NE(ranges, nullptr);
    EXPECT_EQ(rangeBytes, sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO));
    EXPECT_EQ(static_cast<KSMULTIPLE_ITEM*>(ranges)->Count, 1u);
    delete[] static_cast<uint8_t*>(ranges);
  }
  sim.Driver().Filter(index).sizeQueryError = ERROR_MORE_DATA;
  // The same error with an output buffer is a failure.
  ULONG small = 0;
  KSP_PIN pinReq = {};
  pinReq.Property.Set = KSPROPSETID_Pin;
  pinReq.Property.Id = KSPROPERTY_PIN_DATARANGES;
  pinReq.Property.Flags = KSPROPERTY_TYPE_GET;
  EXPECT_EQ(CKsIrpTarget::SyncIoctl(h, IOCTL_KS_PROPERTY, &pinReq, sizeof(pinReq), &small,
                                    sizeof(small), &got), E_FAIL);
  EXPECT_EQ(got, 0u);
  // Not a property request: no size-query rule.
  EXPECT_EQ(CKsIrpTarget::SyncIoctl(h, IOCTL_KS_READ_STREAM, &prop, sizeof(prop), nullptr, 0, &got), E_FAIL);

  // Pending answers complete through the event; their outcome and byte count come from
  // the completed request, so a pending failure is not taken for success.
  sim.Driver().Filter(index).pendRequests = true;
  sim.Driver().Filter(index).sizeQueryError = ERROR_MORE_DATA;
  ULONG count = 0;
  EXPECT_EQ(CKsIrpTarget::SyncIoctl(h, IOCTL_KS_PROPERTY, &prop, sizeof(prop), &count, sizeof(count), &got), S_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(got, sizeof(ULONG));
  EXPECT_EQ(CKsIrpTarget::SyncIoctl(h, IOCTL_KS_PROPERTY, &prop, sizeof(prop), nullptr, 0, &got), S_OK);
  EXPECT_EQ(got, sizeof(ULONG));
  pinReq.PinId = 7;  // no such pin: the driver fails it, pending or not
  EXPECT_EQ(CKsIrpTarget::SyncIoctl(h, IOCTL_KS_PROPERTY, &pinReq, sizeof(pinReq), &small,
                                    sizeof(small), &got), E_FAIL);
  sim.Driver().CloseDevice(h);
  EXPECT_EQ(sim.Driver().PendingRequestCount(), 0);
}

// ---- Enumeration ---------------------------------------------------------------------

TEST(KsFilterEnumerator, AliasesFailuresAndEmptyResults) {
  KsSimScope sim;
  KsSimDriver& d = sim.Driver();
  d.AddFilter(AudioFilterSpec("Good One", true, 0));
  KsSimFilterSpec noAlias = AudioFilterSpec("No Render Alias", true, 1);
  noAlias.categories = {{KSCATEGORY_AUDIO, SPINT_ACTIVE}};
  d.AddFilter(noAlias);
  KsSimFilterSpec disabled = AudioFilterSpec("Disabled Alias", true, 2);
  disabled.categories[1].second = 0;
  d.AddFilter(disabled);
  KsSimFilterSpec removed = AudioFilterSpec("Removed Alias", true, 3);
  removed.categories[1].second = SPINT_ACTIVE | SPINT_REMOVED;
  d.AddFilter(removed);
  KsSimFilterSpec unopenable = AudioFilterSpec("Cannot Open", true, 4);
  unopenable.failOpen = true;
  d.AddFilter(unopenable);
  d.AddFilter(AudioFilterSpec("Good Two", true, 5));
  d.AddFilter(AudioFilterSpec("A Microphone", false, 6));

  HRESULT hr = E_FAIL;
  {
    CKsFilterEnumerator e(&hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(e.EnumerateFilters(kKsFilterRender, kRenderCategories, 2, true, false, true), S_OK);
    EXPECT_EQ(Names(e), (std::vector<std::string>{"Good One", "Good Two"}));
    EXPECT_TRUE(sim.HasTrace("Failed to get requested DeviceInterfaceAlias"));
    EXPECT_EQ(sim.CountTraces("DeviceInterfaceAlias disabled."), 2);
    EXPECT_TRUE(sim.HasTrace("CKsFilter::Instantiate: CreateFile failed for device"));
    EXPECT_TRUE(sim.HasTrace("Failed to create filter for " + unopenable.devicePath));
    for (CKsFilter* f : e.Filters()) EXPECT_EQ(f->GetFilterKind(), 1);

    // A second run leaves only its own filters.
    EXPECT_EQ(e.EnumerateFilters(kKsFilterCapture, kCaptureCategories, 2, true, false, true), S_OK);
    EXPECT_EQ(Names(e), (std::vector<std::string>{"A Microphone"}));
    EXPECT_EQ(KsObjectCounts::filters.load(), 1);

    // GUID_NULL or no categories list nothing and fail.
    const GUID none[1] = {GUID_NULL};
    EXPECT_EQ(e.EnumerateFilters(kKsFilterRender, none, 1, true, false, true), E_FAIL);
    EXPECT_EQ(e.Filters().Count(), 0);
    EXPECT_EQ(e.EnumerateFilters(kKsFilterRender, nullptr, 0, true, false, true), E_FAIL);

    // A category nobody is registered in: an empty list is E_FAIL.
    const GUID midi[2] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY};
    EXPECT_EQ(e.EnumerateFilters(kKsFilterRender, midi, 2, true, false, true), E_FAIL);

    d.SetClassDevsFails(true);
    sim.ClearTraces();
    EXPECT_EQ(e.EnumerateFilters(kKsFilterRender, kRenderCategories, 2, true, false, true), E_FAIL);
    EXPECT_TRUE(sim.HasTrace("No devices found"));
  }
  ExpectNoLiveObjects();
  EXPECT_EQ(d.OpenHandleCount(), 0);
}

TEST(KsFilterEnumerator, GenericUsbDevicesAreRenamedFromTheirRegistryEntry) {
  KsSimScope sim;
  KsSimDriver& d = sim.Driver();
  const std::string key = "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\5&1a2b3c&0&2";
  KsSimFilterSpec usb = AudioFilterSpec("USB Audio Device", true, 0);
  usb.devicePath = "\\\\?\\USB#VID_1234&PID_5678#5&1a2b3c&0&2#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global";
  d.AddFilter(usb);
  // Not on USB: keeps its generic name.
  KsSimFilterSpec other = AudioFilterSpec("usb audio device", true, 1);
  d.AddFilter(other);
  // Name without a terminator in the registry.
  KsSimFilterSpec raw = AudioFilterSpec("Raw Name", true, 2);
  raw.terminateFriendlyName = false;
  d.AddFilter(raw);

  auto run = [&] {
    HRESULT hr;
    CKsFilterEnumerator e(&hr);
    EXPECT_EQ(e.EnumerateFilters(kKsFilterRender, kRenderCategories, 2, true, false, true), S_OK);
    return Names(e);
  };
  // No registry entry: the name stays.
  EXPECT_EQ(run()[0], "USB Audio Device");
  // DeviceDesc: the part after the last semicolon.
  d.SetRegistryString(key, "DeviceDesc", "@wdma_usb.inf,%usbaudio.devicedesc%;Studio Interface 4");
  EXPECT_EQ(run(), (std::vector<std::string>{"Studio Interface 4", "usb audio device", "Raw Name"}));
  d.SetRegistryString(key, "DeviceDesc", "Plain Description");
  EXPECT_EQ(run()[0], "Plain Description");
  // FriendlyName wins; one of another type changes nothing.
  d.SetRegistryString(key, "FriendlyName", "Desk Speakers");
  EXPECT_EQ(run()[0], "Desk Speakers");
  d.SetRegistryValue(key, "FriendlyName", REG_DWORD, {1, 0, 0, 0});
  EXPECT_EQ(run()[0], "USB Audio Device");
  // Older systems use LocationInformation.
  d.SetOsMajorVersion(5);
  d.SetRegistryString(key, "LocationInformation", "Port 3");
  EXPECT_EQ(run()[0], "Port 3");
  // A value longer than the 256-byte value buffer does not read (ERROR_MORE_DATA), so
  // the next value is used; never a name without its end.
  d.SetOsMajorVersion(10);
  d.SetRegistryString(key, "FriendlyName", std::string(400, 'x'));
  EXPECT_EQ(run()[0], "Plain Description");
  d.SetRegistryValue(key, "FriendlyName", REG_SZ, std::vector<uint8_t>(255, 'y'));  // unterminated
  EXPECT_EQ(run()[0], std::string(255, 'y'));
  ExpectNoLiveObjects();
}

// ---- Pins ----------------------------------------------------------------------------

KsSimPinSpec PinOf(ULONG comm, ULONG flow) {
  KsSimPinSpec p;
  p.communication = comm;
  p.dataFlow = flow;
  return p;
}

TEST(KsFilter, PinsAreSortedByCommunicationAndDataFlow) {
  KsSimScope sim;
  KsSimFilterSpec spec = AudioFilterSpec("Dev", true, 0);
  spec.pins = {PinOf(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN),
               PinOf(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_IN),
               PinOf(KSPIN_COMMUNICATION_SOURCE, KSPIN_DATAFLOW_OUT),
               PinOf(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT),
               PinOf(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_IN),
               PinOf(KSPIN_COMMUNICATION_BRIDGE, KSPIN_DATAFLOW_OUT),
               PinOf(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_OUT)};
  spec.pins[3].name = L"Capture";
  spec.pins[3].instances = {4, 1};
  spec.pins[3].category = KSNODETYPE_MICROPHONE;
  sim.Driver().AddFilter(spec);
  {
    HRESULT hr;
    CKsFilter filter(spec.devicePath.c_str(), &hr, "Dev");
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(filter.Instantiate(), S_OK);
    EXPECT_EQ(filter.DiscoverPins(), S_OK);
    EXPECT_EQ(filter.m_listPins.Count(), 7);
    EXPECT_EQ(filter.m_listRenderSinkPins.Count(), 2);    // 0, 1
    EXPECT_EQ(filter.m_listRenderSourcePins.Count(), 1);  // 1
    EXPECT_EQ(filter.m_listCaptureSourcePins.Count(), 2); // 2, 6
    EXPECT_EQ(filter.m_listCaptureSinkPins.Count(), 2);   // 3, 6
    EXPECT_EQ(filter.m_listBridgePins.Count(), 1);        // 4; the BRIDGE value is in none
    EXPECT_TRUE(sim.HasTrace("Pin communication type not recognized"));
    EXPECT_EQ(filter.m_listRenderSinkPins.Head()->next->item, filter.m_listRenderSourcePins.Head()->item);
    const CKsPin* capture = filter.m_listCaptureSinkPins.Head()->item;
    EXPECT_EQ(capture->GetId(), 3u);
    EXPECT_EQ(std::wstring(capture->GetName()), L"Capture");
    EXPECT_EQ(capture->GetInstances().PossibleCount, 4u);
    EXPECT_TRUE(IsEqualGUID(capture->GetCategory(), KSNODETYPE_MICROPHONE));
    // Generic pins have no connection block: Instantiate only remembers the flag.
    CKsPin* generic = filter.m_listPins.Head()->item;
    EXPECT_EQ(generic->Instantiate(true), S_OK);
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(generic->GetHandle()));
    EXPECT_TRUE(generic->IsLooped());
    EXPECT_EQ(KsObjectCounts::pins.load(), 7);
  }
  // Pins in two lists were destroyed once (a double delete would crash or go negative).
  ExpectNoLiveObjects();

  // Only bridge pins: not viable, for the generic filter and the audio filter alike.
  KsSimFilterSpec bridges = AudioFilterSpec("Bridges", true, 1);
  bridges.pins = {PinOf(KSPIN_COMMUNICATION_BRIDGE, KSPIN_DATAFLOW_IN)};
  sim.Driver().AddFilter(bridges);
  KsSimFilterSpec none = AudioFilterSpec("None", true, 2);
  none.pins = {PinOf(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_IN), PinOf(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_OUT)};
  sim.Driver().AddFilter(none);
  {
    HRESULT hr;
    CKsFilter filter(bridges.devicePath.c_str(), &hr, "");
    ASSERT_EQ(filter.Instantiate(), S_OK);
    EXPECT_EQ(filter.DiscoverPins(), E_FAIL);
    EXPECT_TRUE(sim.HasTrace("Filter is not viable. It has no pins."));
    CKsAudioFilter audio(none.devicePath.c_str(), &hr, "");
    ASSERT_EQ(audio.Instantiate(), S_OK);
    EXPECT_EQ(audio.DiscoverPins(), E_FAIL);
    EXPECT_TRUE(sim.HasTrace("Pin communication value doesn't make sense"));
    EXPECT_TRUE(sim.HasTrace("No valid pins found on the filter"));
    CKsFilter noName(nullptr, &hr, "x");
    EXPECT_EQ(hr, E_INVALIDARG);
  }
  ExpectNoLiveObjects();
  EXPECT_EQ(sim.Driver().OpenHandleCount(), 0);
}

TEST(KsPin, UnreadablePropertiesAreTracedButThePinExists) {
  KsSimScope sim;
  KsSimFilterSpec spec = AudioFilterSpec("Dev", true, 0);
  spec.pins[0].failProperties = (1u << KSPROPERTY_PIN_NAME) | (1u << KSPROPERTY_PIN_CATEGORY);
  sim.Driver().AddFilter(spec);
  HRESULT hr;
  CKsFilter filter(spec.devicePath.c_str(), &hr, "");
  ASSERT_EQ(filter.Instantiate(), S_OK);
  HRESULT hrPin = E_FAIL;
  CKsPin pin(&filter, 0, &hrPin);
  EXPECT_EQ(hrPin, 1);
  EXPECT_TRUE(sim.HasTrace("Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: 0"));
  EXPECT_TRUE(sim.HasTrace("Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: 0"));
  EXPECT_FALSE(sim.HasTrace("KSPROPERTY_PIN_DATAFLOW on PinID"));
  EXPECT_TRUE(IsEqualGUID(pin.GetCategory(), GUID_NULL));
  KSPIN_DATAFLOW flow;
  pin.GetDataFlow(&flow);
  EXPECT_EQ(flow, KSPIN_DATAFLOW_IN);
}

TEST(KsFilter, TopologyNodesAndMismatchedNodeReplies) {
  KsSimScope sim;
  KsSimFilterSpec spec = AudioFilterSpec("Dev", true, 0);
  spec.nodes = {KSNODETYPE_DAC, KSNODETYPE_VOLUME, KSNODETYPE_MUTE};
  int32_t index = sim.Driver().AddFilter(spec);
  HRESULT hr;
  CKsFilter filter(spec.devicePath.c_str(), &hr, "");
  ASSERT_EQ(filter.Instantiate(), S_OK);
  EXPECT_EQ(filter.DiscoverNodes(), S_OK);
  ASSERT_EQ(filter.m_listNodes.Count(), 3);
  EXPECT_EQ(filter.m_listNodes.Tail()->item->GetId(), 2u);
  EXPECT_STREQ(filter.m_listNodes.Head()->item->GetTag(), "NONE");
  EXPECT_TRUE(IsEqualGUID(filter.m_listNodes.Head()->next->item->GetType(), KSNODETYPE_VOLUME));
  // A count that claims more GUIDs than the reply holds.
  std::vector<uint8_t> bad(8 + 16, 0);
  ULONG header[2] = {24, 5};
  std::memcpy(bad.data(), header, 8);
  sim.Driver().Filter(index).rawReplies[KsSimFilterSpec::kRawNodesKey] = bad;
  EXPECT_EQ(filter.DiscoverNodes(), E_FAIL);
  EXPECT_EQ(filter.m_listNodes.Count(), 0);
}

// ---- Audio pins ---------------------------------------------------------------------

KSDATARANGE_AUDIO Range(const GUID& major, const GUID& sub, const GUID& spec) {
  KSDATARANGE_AUDIO r = KsSimPinSpec::PcmRange(2, 16, 16, 8000, 48000);
  r.DataRange.MajorFormat = major;
  r.DataRange.SubFormat = sub;
  r.DataRange.Specifier = spec;
  return r;
}

TEST(KsAudioPin, DataRangeQualification) {
  KsSimScope sim;
  const GUID mpeg = {0xe06d802c, 0xdb46, 0x11cf, {0xb4, 0xd1, 0x00, 0x80, 0x5f, 0x6c, 0xbb, 0xea}};
  KsSimFilterSpec spec = AudioFilterSpec("Dev", true, 0);
  spec.pins.assign(4, RenderPinSpec());
  // Pin 0: nothing but a non-wave subtype: fails construction.
  spec.pins[0].ranges = {Range(KSDATAFORMAT_TYPE_AUDIO, mpeg, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)};
  // Pin 1: wildcard major and sub qualify the pin, but the range is not kept; the
  // non-wave range after it qualifies through it and is kept (audio major).
  spec.pins[1].ranges = {Range(GUID_NULL, GUID_NULL, GUID_NULL),
                         Range(KSDATAFORMAT_TYPE_AUDIO, mpeg, GUID_NULL)};
  // Pin 2: a kept wildcard range: any PCM or extensible format within its limits.
  spec.pins[2].ranges = {Range(KSDATAFORMAT_TYPE_AUDIO, GUID_NULL, GUID_NULL)};
  // Pin 3: neither the standard nor the looped (real-time) interface.
  spec.pins[3].interfaces[0].Id = 7;
  sim.Driver().AddFilter(spec);

  HRESULT hr;
  CKsRenderFilter filter(spec.devicePath.c_str(), &hr, "");
  ASSERT_EQ(filter.Instantiate(), S_OK);
  ASSERT_EQ(filter.DiscoverPins(), S_OK);
  EXPECT_TRUE(sim.HasTrace("No audio dataranges on the pin"));
  EXPECT_TRUE(sim.HasTrace("No standard streaming interfaces on the pin"));
  ASSERT_EQ(filter.m_listRenderSinkPins.Count(), 2);
  auto* pin1 = static_cast<CKsAudioPin*>(filter.m_listRenderSinkPins.Head()->item);
  auto* pin2 = static_cast<CKsAudioPin*>(filter.m_listRenderSinkPins.Tail()->item);
  EXPECT_EQ(pin1->GetId(), 1u);
  EXPECT_EQ(pin1->GetPinKind(), 1);
  EXPECT_EQ(pin1->AudioDataRanges().Count(), 1);
  WAVEFORMATEXTENSIBLE pcm = MakeFormat(2, 44100, false);
  WAVEFORMATEXTENSIBLE ext = MakeFormat(2, 44100, true);
  EXPECT_FALSE(pin1->SupportsFormat(&pcm.Format));  // its kept range is MPEG only
  EXPECT_TRUE(pin2->SupportsFormat(&pcm.Format));
  EXPECT_TRUE(pin2->SupportsFormat(&ext.Format));
  WAVEFORMATEXTENSIBLE three = MakeFormat(3, 44100, false);
  EXPECT_FALSE(pin2->SupportsFormat(&three.Format));
  WAVEFORMATEXTENSIBLE fast = MakeFormat(2, 96000, true);
  EXPECT_FALSE(pin2->SupportsFormat(&fast.Format));
}

TEST(KsAudioPin, SupportsFormatBoundsAreInclusive) {
  KsSimScope sim;
  KsSimFilterSpec spec = AudioFilterSpec("Dev", true, 0);
  spec.pins[0].ranges = {KsSimPinSpec::PcmRange(2, 16, 16, 8000, 44099)};
  spec.pins.push_back(RenderPinSpec());
  spec.pins[1].ranges = {KsSimPinSpec::PcmRange(2, 16, 16, 44100, 44100)};
  sim.Driver().AddFilter(spec);
  HRESULT hr;
  CKsRenderFilter filter(spec.devicePath.c_str(), &hr, "");
  ASSERT_EQ(filter.Instantiate(), S_OK);
  ASSERT_EQ(filter.DiscoverPins(), S_OK);
  auto* below = static_cast<CKsAudioPin*>(filter.m_listRenderSinkPins.Head()->item);
  auto* exact = static_cast<CKsAudioPin*>(filter.m_listRenderSinkPins.Tail()->item);
  WAVEFORMATEXTENSIBLE f = MakeFormat(2, 44100, false);
  EXPECT_FALSE(below->SupportsFormat(&f.Format));
  EXPECT_TRUE(exact->SupportsFormat(&f.Format));
  EXPECT_EQ(CKsAudioFilter::FindPinForFormat(filter.m_listRenderSinkPins, &f.Format), exact);
  f.Format.wBitsPerSample = 24;
  EXPECT_FALSE(exact->SupportsFormat(&f.Format));
}

TEST(KsAudioPin, ApplyFormatResizesTheConnectionBlock) {
  KsSimScope sim;
  KsSimFilterSpec spec = AudioFilterSpec("Dev", true, 0);
  sim.Driver().AddFilter(spec);
  HRESULT hr;
  CKsRenderFilter filter(spec.devicePath.c_str(), &hr, "");
  ASSERT_EQ(filter.Instantiate(), S_OK);
  ASSERT_EQ(filter.DiscoverPins(), S_OK);
  auto* pin = static_cast<CKsAudioPin*>(filter.m_listRenderSinkPins.Head()->item);
  const ULONG connect = sizeof(KSPIN_CONNECT);  // 64 in 32-bit processes, 72 in 64-bit
  EXPECT_EQ(pin->GetPinConnectSize(), connect + 64 + 18);
  EXPECT_EQ(pin->GetDataFormat()->FormatSize, 82u);
  EXPECT_TRUE(IsEqualGUID(pin->GetDataFormat()->SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
  EXPECT_EQ(pin->GetPinConnect()->Priority.PriorityClass, static_cast<ULONG>(KSPRIORITY_NORMAL));

  WAVEFORMATEXTENSIBLE ext = MakeFormat(6, 48000, true);
  EXPECT_EQ(pin->ApplyFormat(&ext.Format), S_OK);
  EXPECT_EQ(pin->GetPinConnectSize(), connect + 64 + 40);  // 168 in a 32-bit process
  EXPECT_EQ(pin->GetDataFormat()->FormatSize, 104u);
  EXPECT_EQ(pin->GetDataFormat()->SampleSize, 12u);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(pin->GetDataFormat()),
            reinterpret_cast<const uint8_t*>(pin->GetPinConnect()) + connect);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t*>(pin->GetDataFormat()) + 64, &ext, 40), 0);
  EXPECT_EQ(pin->GetPinConnect()->PinId, 0u);
  EXPECT_TRUE(IsEqualGUID(pin->GetPinConnect()->Medium.Set, KSMEDIUMSETID_Standard));
  ASSERT_NE(pin->GetAppliedFormat(), nullptr);
  EXPECT_EQ(pin->GetAppliedFormat()->wFormatTag, WAVE_FORMAT_EXTENSIBLE);

  WAVEFORMATEXTENSIBLE pcm = MakeFormat(2, 44100, false);
  EXPECT_EQ(pin->ApplyFormat(&pcm.Format), S_OK);
  EXPECT_EQ(pin->GetPinConnectSize(), connect + 64 + 18);  // 146 in a 32-bit process
  EXPECT_EQ(pin->GetDataFormat()->FormatSize, 82u);
  EXPECT_EQ(pin->GetDataFormat()->SampleSize, 4u);
  EXPECT_EQ(pin->ApplyFormat(nullptr), E_FAIL);
  EXPECT_TRUE(sim.HasTrace("pwfx or m_pksDataFormatWfx are NULL"));
}

TEST(KsRenderFilter, OpenRenderPinFallsBackToALaterPin) {
  KsSimScope sim;
  KsSimFilterSpec spec = AudioFilterSpec("Dev", true, 0);
  spec.pins.assign(3, RenderPinSpec());
  spec.pins[0].createError = ERROR_GEN_FAILURE;  // announces the format, fails to open
  spec.pins[1].ranges = {KsSimPinSpec::PcmRange(2, 16, 16, 96000, 96000)};
  spec.pins[1].acceptUnannounced = true;         // does not announce it, accepts it
  int32_t index = sim.Driver().AddFilter(spec);
  WAVEFORMATEXTENSIBLE f = MakeFormat(2, 48000, true);
  {
    HRESULT hr;
    CKsRenderFilter filter(spec.devicePath.c_str(), &hr, "");
    ASSERT_EQ(filter.Instantiate(), S_OK);
    ASSERT_EQ(filter.DiscoverPins(), S_OK);
    CKsAudioPin* pin = filter.OpenRenderPin(&f.Format, false);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->GetId(), 1u);
    EXPECT_TRUE(sim.HasTrace("Failed to instantiate pin. hr=0x8007001f"));
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
    // Taken out of the filter: the caller owns it now.
    EXPECT_FALSE(filter.m_listPins.Contains(pin));
    EXPECT_FALSE(filter.m_listRenderSinkPins.Contains(pin));
    EXPECT_EQ(filter.m_listPins.Count(), 2);
    EXPECT_EQ(pin->SetPinState(KSSTATE_PAUSE), S_OK);
    EXPECT_EQ(pin->GetState(), KSSTATE_PAUSE);
    sim.Driver().Filter(index).pins[1].failStateMask = 1u << KSSTATE_RUN;
    EXPECT_EQ(pin->SetPinState(KSSTATE_RUN), E_FAIL);
    EXPECT_EQ(pin->GetState(), KSSTATE_PAUSE);  // unchanged after a failure
    EXPECT_TRUE(sim.HasTrace("Failed to Set Pin State"));
    delete pin;
    EXPECT_EQ(sim.Driver().PinStats(index, 1).states.back(), KSSTATE_STOP);  // Close stops
  }
  ExpectNoLiveObjects();
  EXPECT_EQ(sim.Driver().OpenHandleCount(), 0);
}

// A render pin of communication BOTH sits in the render sink and the render source list;
// once the caller owns it, neither list may still refer to it.
TEST(KsRenderFilter, ATakenPinLeavesEveryList) {
  KsSimScope sim;
  KsSimFilterSpec spec = AudioFilterSpec("Dev", true, 0);
  spec.pins = {PinOf(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_IN)};
  sim.Driver().AddFilter(spec);
  WAVEFORMATEXTENSIBLE f = MakeFormat(2, 48000, true);
  {
    HRESULT hr;
    CKsRenderFilter filter(spec.devicePath.c_str(), &hr, "");
    ASSERT_EQ(filter.Instantiate(), S_OK);
    ASSERT_EQ(filter.DiscoverPins(), S_OK);
    ASSERT_EQ(filter.m_listRenderSourcePins.Count(), 1);
    CKsAudioPin* pin = filter.OpenRenderPin(&f.Format, false);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->GetPinKind(), 0);  // a plain audio pin, not a CKsRenderPin
    EXPECT_EQ(filter.m_listRenderSourcePins.Count(), 0);
    EXPECT_EQ(filter.m_listRenderSinkPins.Count(), 0);
    delete pin;
    EXPECT_EQ(filter.SortPins(), S_OK);  // rebuilt from the all-pins list, without it
    EXPECT_EQ(filter.m_listRenderSourcePins.Count(), 0);
  }
  ExpectNoLiveObjects();
}

TEST(KsCaptureFilter, OpenCapturePinHasNoSecondAttemptAndStaysOwned) {
  KsSimScope sim;
  KsSimFilterSpec spec = AudioFilterSpec("Mic", false, 0);
  spec.pins.assign(2, CapturePinSpec());
  spec.pins[0].busy = true;
  int32_t index = sim.Driver().AddFilter(spec);
  WAVEFORMATEXTENSIBLE f = MakeFormat(2, 48000, false);
  HRESULT hr;
  CKsCaptureFilter filter(spec.devicePath.c_str(), &hr, "");
  ASSERT_EQ(filter.Instantiate(), S_OK);
  ASSERT_EQ(filter.DiscoverPins(), S_OK);
  EXPECT_EQ(filter.OpenCapturePin(&f.Format, false), nullptr);
  EXPECT_TRUE(sim.HasTrace("Failed to instantiate Capture Pin"));
  EXPECT_EQ(sim.Driver().PinStats(index, 1).createAttempts, 0);
  sim.Driver().Filter(index).pins[0].busy = false;
  CKsAudioPin* pin = filter.OpenCapturePin(&f.Format, false);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(pin->GetPinKind(), 2);
  EXPECT_TRUE(filter.m_listPins.Contains(pin));
  WAVEFORMATEXTENSIBLE wide = MakeFormat(16, 48000, false);
  EXPECT_EQ(filter.OpenCapturePin(&wide.Format, false), nullptr);
  EXPECT_TRUE(sim.HasTrace("Could not find a Capture pin that supports the given wave format"));
}

std::vector<uint8_t> RangesReply(std::vector<KSDATARANGE_AUDIO> ranges, ULONG sizeDelta = 0, ULONG countOverride = 0) {
  std::vector<uint8_t> out(sizeof(KSMULTIPLE_ITEM) + ranges.size() * sizeof(KSDATARANGE_AUDIO));
  KSMULTIPLE_ITEM header;
  header.Size = static_cast<ULONG>(out.size()) + sizeDelta;
  header.Count = countOverride ? countOverride : static_cast<ULONG>(ranges.size());
  std::memcpy(out.data(), &header, sizeof(header));
  if (!ranges.empty())
    std::memcpy(out.data() + sizeof(header), ranges.data(), ranges.size() * sizeof(KSDATARANGE_AUDIO));
  return out;
}

TEST(KsAudioPin, MalformedRepliesAreRefusedWithinTheirBounds) {
  KsSimScope sim;
  KSDATARANGE_AUDIO good = KsSimPinSpec::PcmRange(2, 16, 16, 8000, 48000);
  KSDATARANGE_AUDIO zero = good;
  zero.DataRange.FormatSize = 0;
  KSDATARANGE_AUDIO beyond = good;
  beyond.DataRange.FormatSize = 4096;
  KSDATARANGE_AUDIO shortRecord = good;
  shortRecord.DataRange.FormatSize = sizeof(KSDATARANGE);  // no room for the audio limits
  KSDATARANGE_AUDIO small = good;
  small.DataRange.FormatSize = 40;

  KsSimFilterSpec spec = AudioFilterSpec("Dev", true, 0);
  spec.pins.assign(8, RenderPinSpec());
  spec.pins[0].rawReplies[KSPROPERTY_PIN_DATARANGES] = RangesReply({zero, good});       // stops at once
  spec.pins[1].rawReplies[KSPROPERTY_PIN_DATARANGES] = RangesReply({good, beyond});     // keeps the first
  spec.pins[2].rawReplies[KSPROPERTY_PIN_DATARANGES] = RangesReply({good}, 8);          // Size beyond reply
  spec.pins[3].rawReplies[KSPROPERTY_PIN_DATARANGES] = RangesReply({good}, 0, 50);      // Count beyond data
  spec.pins[4].rawReplies[KSPROPERTY_PIN_DATARANGES] = RangesReply({small, good});      // smaller than a record
  spec.pins[5].rawReplies[KSPROPERTY_PIN_DATARANGES] = RangesReply({shortRecord});      // qualifies, not kept
  {
    std::vector<uint8_t> ids(sizeof(KSMULTIPLE_ITEM) + sizeof(KSIDENTIFIER));
    KSMULTIPLE_ITEM h = {static_cast<ULONG>(ids.size()), 1000};  // Count disagrees with Size
    std::memcpy(ids.data(), &h, sizeof(h));
    spec.pins[6].rawReplies[KSPROPERTY_PIN_INTERFACES] = ids;
  }
  std::vector<uint8_t> name(258, 'A');  // 129 characters, no terminator
  spec.pins[7].rawReplies[KSPROPERTY_PIN_NAME] = name;
  int32_t index = sim.Driver().AddFilter(spec);
  {
    HRESULT hr;
    CKsRenderFilter filter(spec.devicePath.c_str(), &hr, "");
    ASSERT_EQ(filter.Instantiate(), S_OK);
    ASSERT_EQ(filter.DiscoverPins(), S_OK);
    std::vector<ULONG> ids;
    for (CKsPin* p : filter.m_listPins) ids.push_back(p->GetId());
    // Pin 3 still walks its one good range: the count only bounds the walk, the bytes do.
    EXPECT_EQ(ids, (std::vector<ULONG>{1, 3, 5, 7}));
    EXPECT_TRUE(sim.HasTrace("Data range 0 on PinID 0 has a FormatSize of 0; walk stopped"));
    EXPECT_TRUE(sim.HasTrace("Data range 1 on PinID 1 has a FormatSize of 4096; walk stopped"));
    EXPECT_TRUE(sim.HasTrace("Data range 0 on PinID 4 has a FormatSize of 40; walk stopped"));
    EXPECT_TRUE(sim.HasTrace("Failed to retrieve pin property KSPROPERTY_PIN_DATARANGES on PinID: 2"));
    EXPECT_TRUE(sim.HasTrace("Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: 6"));
    auto* pin1 = static_cast<CKsAudioPin*>(filter.m_listPins.Head()->item);
    EXPECT_EQ(pin1->AudioDataRanges().Count(), 1);
    auto* pin5 = static_cast<CKsAudioPin*>(filter.m_listPins.Head()->next->next->item);
    EXPECT_EQ(pin5->AudioDataRanges().Count(), 0);
    WAVEFORMATEXTENSIBLE f = MakeFormat(2, 48000, false);
    EXPECT_FALSE(pin5->SupportsFormat(&f.Format));
    const CKsPin* pin7 = filter.m_listPins.Tail()->item;
    EXPECT_EQ(std::wstring(pin7->GetName()), std::wstring(129, static_cast<wchar_t>(0x4141)));
  }
  // A pin count no audio filter has is refused instead of walked.
  std::vector<uint8_t> count(4, 0xFF);
  sim.Driver().Filter(index).rawReplies[KSPROPERTY_PIN_CTYPES] = count;
  {
    HRESULT hr;
    CKsRenderFilter filter(spec.devicePath.c_str(), &hr, "");
    ASSERT_EQ(filter.Instantiate(), S_OK);
    int64_t before = sim.Driver().IoControlCount();
    EXPECT_EQ(filter.DiscoverPins(), E_FAIL);
    EXPECT_LT(sim.Driver().IoControlCount() - before, 5);
    EXPECT_TRUE(sim.HasTrace("Failed to retrieve count of pins in audio filter"));
  }
  ExpectNoLiveObjects();
}

TEST(KsPin, MissingKsUserLibraryFailsEveryInstantiate) {
  KsSimScope sim;
  KsSimFilterSpec spec = AudioFilterSpec("Dev", true, 0);
  sim.Driver().AddFilter(spec);
  sim.Driver().SetKsUserMissing(true);
  HRESULT hr;
  CKsRenderFilter filter(spec.devicePath.c_str(), &hr, "");
  ASSERT_EQ(filter.Instantiate(), S_OK);
  ASSERT_EQ(filter.DiscoverPins(), S_OK);
  auto* pin = static_cast<CKsAudioPin*>(filter.m_listRenderSinkPins.Head()->item);
  EXPECT_EQ(pin->Instantiate(false), static_cast<HRESULT>(0x80070002));
  EXPECT_EQ(pin->Instantiate(true), static_cast<HRESULT>(0x80070002));
  EXPECT_TRUE(sim.HasTrace("Failed to instantiate pin. hr=0x80070002"));
  WAVEFORMATEXTENSIBLE f = MakeFormat(2, 48000, true);
  EXPECT_EQ(filter.OpenRenderPin(&f.Format, false), nullptr);
}

}  // namespace
