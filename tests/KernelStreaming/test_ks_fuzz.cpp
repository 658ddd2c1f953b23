// Seeded, reproducible storm of malformed driver answers through enumeration, pin
// discovery and pin opening: the layer must neither crash nor hang, and must not leak
// filters, pins, nodes, driver handles or pending requests. (Reads past a reply are
// prevented by the checks in KsMultipleItemView and the data-range walk; the layer tests
// hold those to their exact bounds.) VELORAND_KS_FUZZ_SEED replays another seed.
#include "KernelStreaming/KsAudio.h"
#include "KernelStreaming/KsFilterEnumerator.h"
#include "KsTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

namespace {

class Garbage {
 public:
  explicit Garbage(uint32_t seed) : rng_(seed) {}

  uint32_t Below(uint32_t n) { return n ? static_cast<uint32_t>(rng_() % n) : 0; }
  bool Chance(uint32_t percent) { return Below(100) < percent; }

  ULONG AnyCount() {
    static const ULONG counts[] = {0, 1, 2, 3, 7, 255, 256, 257, 0x7FFFFFFF, 0xFFFFFFFF};
    return Chance(50) ? Below(6) : counts[Below(10)];
  }

  GUID AnyGuid() {
    static const GUID wave = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    switch (Below(6)) {
      case 0: return GUID_NULL;
      case 1: return KSDATAFORMAT_TYPE_AUDIO;
      case 2: return KSDATAFORMAT_SUBTYPE_PCM;
      case 3: return wave;
      case 4: return KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
      default: {
        GUID g;
        for (size_t i = 0; i < sizeof(g); ++i) reinterpret_cast<uint8_t*>(&g)[i] = static_cast<uint8_t>(rng_());
        return g;
      }
    }
  }

  // A KSMULTIPLE_ITEM whose Size and Count may disagree with what follows and with the
  // bytes returned; items of itemSize bytes (0: data ranges with their own sizes).
  std::vector<uint8_t> MultipleItem(ULONG itemSize) {
    std::vector<uint8_t> body;
    uint32_t items = Below(5);
    for (uint32_t i = 0; i < items; ++i) {
      if (itemSize == 0) {
        KSDATARANGE_AUDIO r = KsSimPinSpec::PcmRange(Below(10), Below(40), Below(40), Below(200000), Below(200000));
        r.DataRange.MajorFormat = AnyGuid();
        r.DataRange.SubFormat = AnyGuid();
        r.DataRange.Specifier = AnyGuid();
        static const ULONG sizes[] = {0, 1, 32, 63, 64, 80, 88, 88, 88, 96, 1000, 0xFFFFFFF0u};
        r.DataRange.FormatSize = sizes[Below(12)];
        size_t bytes = Chance(20) ? Below(sizeof(r)) : sizeof(r);
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&r);
        body.insert(body.end(), p, p + bytes);
      } else {
        KSIDENTIFIER id = {};
        id.Set = Chance(70) ? (Chance(50) ? KSINTERFACESETID_Standard : KSMEDIUMSETID_Standard) : AnyGuid();
        id.Id = Chance(80) ? 0 : Below(3);
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&id);
        body.insert(body.end(), p, p + (Chance(10) ? Below(itemSize) : itemSize));
      }
    }
    KSMULTIPLE_ITEM header;
    header.Size = static_cast<ULONG>(sizeof(header) + body.size());
    header.Count = items;
    switch (Below(6)) {
      case 0: header.Size = AnyCount(); break;
      case 1: header.Count = AnyCount(); break;
      case 2: header.Size += Below(64); break;
      default: break;
    }
    std::vector<uint8_t> out(sizeof(header) + body.size());
    std::memcpy(out.data(), &header, sizeof(header));
    if (!body.empty()) std::memcpy(out.data() + sizeof(header), body.data(), body.size());
    if (Chance(10)) out.resize(Below(static_cast<uint32_t>(out.size()) + 1));  // cut short
    return out;
  }

  std::vector<uint8_t> Fixed(size_t size) {
    std::vector<uint8_t> out(Chance(30) ? Below(static_cast<uint32_t>(size) * 2 + 1) : size);
    for (auto& b : out) b = static_cast<uint8_t>(Chance(50) ? Below(4) : rng_());
    return out;
  }

  std::vector<uint8_t> Name() {
    std::vector<uint8_t> out(Below(300));
    for (auto& b : out) b = static_cast<uint8_t>('A' + Below(26));  // never a terminator
    return out;
  }

  KsSimPinSpec Pin() {
    KsSimPinSpec p;
    p.communication = Below(6);
    p.dataFlow = Below(4);
    if (Chance(50)) p.rawReplies[KSPROPERTY_PIN_DATARANGES] = MultipleItem(0);
    if (Chance(25)) p.rawReplies[KSPROPERTY_PIN_INTERFACES] = MultipleItem(sizeof(KSIDENTIFIER));
    if (Chance(25)) p.rawReplies[KSPROPERTY_PIN_MEDIUMS] = MultipleItem(sizeof(KSIDENTIFIER));
    if (Chance(20)) p.rawReplies[KSPROPERTY_PIN_COMMUNICATION] = Fixed(4);
    if (Chance(20)) p.rawReplies[KSPROPERTY_PIN_DATAFLOW] = Fixed(4);
    if (Chance(15)) p.rawReplies[KSPROPERTY_PIN_CINSTANCES] = Fixed(8);
    if (Chance(15)) p.rawReplies[KSPROPERTY_PIN_CATEGORY] = Fixed(16);
    if (Chance(30)) p.rawReplies[KSPROPERTY_PIN_NAME] = Name();
    if (Chance(20)) p.failProperties = static_cast<uint32_t>(rng_());
    p.acceptUnannounced = Chance(30);
    p.acceptExtensible = Chance(70);
    if (Chance(10)) p.createError = ERROR_GEN_FAILURE;
    return p;
  }

  KsSimFilterSpec Filter(int index) {
    KsSimFilterSpec f = AudioFilterSpec("Fuzz " + std::to_string(index), true, index);
    f.pins.clear();
    uint32_t pins = Below(5);
    for (uint32_t i = 0; i < pins; ++i) f.pins.push_back(Pin());
    if (Chance(15)) f.rawReplies[KSPROPERTY_PIN_CTYPES] = Chance(50) ? Fixed(4) : [&] {
      std::vector<uint8_t> v(4);
      ULONG c = AnyCount();
      std::memcpy(v.data(), &c, 4);
      return v;
    }();
    if (Chance(30)) f.rawReplies[KsSimFilterSpec::kRawNodesKey] = MultipleItem(sizeof(GUID));
    f.sizeQueryError = Chance(50) ? ERROR_MORE_DATA : ERROR_INSUFFICIENT_BUFFER;
    f.pendRequests = Chance(3);
    f.terminateFriendlyName = Chance(80);
    if (Chance(10)) f.friendlyName = std::string(300, 'n');
    return f;
  }

 private:
  std::mt19937 rng_;
};

TEST(KsFuzz, MalformedDriverAnswersNeverCrashHangOrLeak) {
  uint32_t seed = 20261208;
  if (const char* s = std::getenv("VELORAND_KS_FUZZ_SEED")) seed = static_cast<uint32_t>(std::strtoul(s, nullptr, 10));
  SCOPED_TRACE("seed " + std::to_string(seed));
  Garbage g(seed);
  const GUID categories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
  int64_t answers = 0;
  int listed = 0;
  int opened = 0;
  const int iterations = 1500;
  for (int it = 0; it < iterations; ++it) {
    auto driver = std::make_unique<KsSimDriver>();
    KsSetSystem(driver.get());
    int filters = 1 + static_cast<int>(g.Below(3));
    for (int i = 0; i < filters; ++i) driver->AddFilter(g.Filter(i));
    {
      HRESULT hr;
      CKsFilterEnumerator e(&hr);
      bool nodes = g.Chance(50);
      hr = e.EnumerateFilters(kKsFilterRender, categories, 2, true, nodes, true);
      EXPECT_EQ(SUCCEEDED(hr), e.Filters().Count() > 0);
      listed += e.Filters().Count();
      for (CKsFilter* f : e.Filters()) {
        auto* render = static_cast<CKsRenderFilter*>(f);
        WAVEFORMATEXTENSIBLE fmt = MakeFormat(static_cast<WORD>(1 + g.Below(3)), 48000, g.Chance(50));
        CKsAudioPin* pin = render->OpenRenderPin(&fmt.Format, false);
        if (pin) {
          ++opened;
          pin->SetPinState(KSSTATE_PAUSE);
          delete pin;
        }
      }
    }
    answers += driver->IoControlCount();
    ASSERT_EQ(KsObjectCounts::filters.load(), 0) << "iteration " << it;
    ASSERT_EQ(KsObjectCounts::pins.load(), 0) << "iteration " << it;
    ASSERT_EQ(KsObjectCounts::nodes.load(), 0) << "iteration " << it;
    ASSERT_EQ(driver->OpenHandleCount(), 0) << "iteration " << it;
    ASSERT_EQ(driver->PendingRequestCount(), 0) << "iteration " << it;
    KsSetSystem(nullptr);
  }
  // The storm must really have reached the layer, and good pins must still get through.
  EXPECT_GT(answers, 20000);
  EXPECT_GT(listed, 20);
  EXPECT_GT(opened, 5);
  std::printf("fuzz: %lld driver answers, %d filters listed, %d pins opened\n",
              static_cast<long long>(answers), listed, opened);
}

}  // namespace
