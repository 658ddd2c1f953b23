// The portable checks of driver replies: exact bounds of the KSMULTIPLE_ITEM check and the
// data-range walk, the USB key text, and a seeded run over random replies in exactly
// sized heap blocks (the sanitizer builds turn any read past a reply into a failure).
#include "KernelStreaming/KsReplyCheck.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> Header(uint32_t size, uint32_t count, size_t total) {
  std::vector<uint8_t> v(total, 0);
  std::memcpy(v.data(), &size, 4);
  std::memcpy(v.data() + 4, &count, 4);
  return v;
}

void PutRange(std::vector<uint8_t>* v, size_t at, uint32_t formatSize) {
  std::memcpy(v->data() + at, &formatSize, 4);
}

TEST(KsReplyCheck, MultipleItemBounds) {
  KsItemsView view;
  // Exact: two 24-byte items.
  auto good = Header(8 + 48, 2, 8 + 48);
  EXPECT_TRUE(KsCheckMultipleItem(good.data(), 56, 24, &view));
  EXPECT_EQ(view.count, 2u);
  EXPECT_EQ(view.itemBytes, 48u);
  EXPECT_EQ(view.items, good.data() + 8);
  // Padding after Size is allowed; Size beyond the bytes returned is not.
  EXPECT_TRUE(KsCheckMultipleItem(good.data(), 56, 24, &view));
  auto padded = Header(8 + 48, 2, 64);
  EXPECT_TRUE(KsCheckMultipleItem(padded.data(), 64, 24, &view));
  EXPECT_FALSE(KsCheckMultipleItem(good.data(), 55, 24, &view));
  EXPECT_EQ(view.items, nullptr);
  // Count disagreeing with Size, Size below the header, a reply shorter than a header.
  auto tooMany = Header(8 + 48, 3, 56);
  EXPECT_FALSE(KsCheckMultipleItem(tooMany.data(), 56, 24, &view));
  auto huge = Header(8 + 48, 0xFFFFFFFFu, 56);
  EXPECT_FALSE(KsCheckMultipleItem(huge.data(), 56, 24, &view));
  auto tiny = Header(4, 0, 8);
  EXPECT_FALSE(KsCheckMultipleItem(tiny.data(), 8, 24, &view));
  EXPECT_FALSE(KsCheckMultipleItem(good.data(), 7, 24, &view));
  EXPECT_FALSE(KsCheckMultipleItem(nullptr, 56, 24, &view));
  // Empty list.
  auto empty = Header(8, 0, 8);
  EXPECT_TRUE(KsCheckMultipleItem(empty.data(), 8, 16, &view));
  EXPECT_EQ(view.count, 0u);
  // Variable-size items: only the header and Size are checked here.
  EXPECT_TRUE(KsCheckMultipleItem(huge.data(), 56, 0, &view));
}

TEST(KsReplyCheck, DataRangeWalkStopsOnBadSizes) {
  std::vector<uint8_t> body(88 + 64 + 88, 0);
  PutRange(&body, 0, 88);
  PutRange(&body, 88, 64);
  PutRange(&body, 152, 88);
  const uint8_t* at = nullptr;
  uint32_t size = 0;
  {
    KsDataRangeWalk walk(body.data(), static_cast<uint32_t>(body.size()), 3);
    std::vector<uint32_t> sizes;
    while (walk.Next(&at, &size)) sizes.push_back(size);
    EXPECT_EQ(sizes, (std::vector<uint32_t>{88, 64, 88}));
    EXPECT_FALSE(walk.StoppedOnBadSize());
  }
  {
    // The count ends the walk before the bytes do; more announced than present ends at
    // the bytes.
    KsDataRangeWalk two(body.data(), static_cast<uint32_t>(body.size()), 2);
    int n = 0;
    while (two.Next(&at, &size)) ++n;
    EXPECT_EQ(n, 2);
    KsDataRangeWalk many(body.data(), static_cast<uint32_t>(body.size()), 1000);
    n = 0;
    while (many.Next(&at, &size)) ++n;
    EXPECT_EQ(n, 3);
    EXPECT_FALSE(many.StoppedOnBadSize());
  }
  for (uint32_t bad : {0u, 1u, 63u, 89u + 88u, 0xFFFFFFFFu}) {
    PutRange(&body, 88, bad);
    KsDataRangeWalk walk(body.data(), static_cast<uint32_t>(body.size()), 3);
    int n = 0;
    while (walk.Next(&at, &size)) ++n;
    EXPECT_EQ(n, 1) << bad;
    EXPECT_TRUE(walk.StoppedOnBadSize());
    EXPECT_EQ(walk.Index(), 1u);
    EXPECT_EQ(walk.BadFormatSize(), bad);
  }
  // Fewer bytes than a KSDATARANGE left: the walk ends without reading them.
  KsDataRangeWalk shortTail(body.data(), 88 + 40, 3);
  int n = 0;
  PutRange(&body, 88, 64);
  while (shortTail.Next(&at, &size)) ++n;
  EXPECT_EQ(n, 1);
}

TEST(KsReplyCheck, UsbKeyText) {
  char out[64];
  EXPECT_TRUE(KsUsbEnumSubKey("\\\\?\\usb#vid_1234&pid_5678#5&1a&0&2#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global",
                              out, sizeof(out)));
  EXPECT_STREQ(out, "vid_1234&pid_5678\\5&1a&0&2");
  std::strcpy(out, "keep");
  EXPECT_FALSE(KsUsbEnumSubKey("\\\\?\\usb#vid_1234&pid_5678#inst", out, sizeof(out)));  // no "#{"
  EXPECT_FALSE(KsUsbEnumSubKey("\\\\?\\usb#vid_1234&pid_5678{#{x}", out, sizeof(out)));   // no "#" before it
  EXPECT_FALSE(KsUsbEnumSubKey("\\\\?\\us", out, sizeof(out)));
  EXPECT_FALSE(KsUsbEnumSubKey("\\\\?\\usb#vid_1234&pid_5678#5&1a&0&2#{g}", out, 8));      // no room
  EXPECT_STREQ(out, "keep");
  EXPECT_STREQ(KsAfterLastSemicolon("@wdma_usb.inf,%desc%;Studio;Interface"), "Interface");
  EXPECT_STREQ(KsAfterLastSemicolon("Plain"), "Plain");
  EXPECT_STREQ(KsAfterLastSemicolon("ends;"), "");
}

// Random replies, each in a heap block of exactly its length: every range the walk hands
// out is read whole, so a walk that strays past the reply is caught by the sanitizer.
TEST(KsReplyCheck, RandomRepliesStayWithinTheirBytes) {
  std::mt19937 rng(7031);
  uint64_t rangesRead = 0;
  uint32_t checksum = 0;
  for (int it = 0; it < 20000; ++it) {
    const uint32_t length = rng() % 600;
    std::unique_ptr<uint8_t[]> reply(new uint8_t[length ? length : 1]);
    for (uint32_t i = 0; i < length; ++i) reply[i] = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 3);
    // Plausible headers now and then, so the walks get going.
    if (length >= 8 && rng() % 2) {
      uint32_t size = rng() % 2 ? length : rng() % (length + 16);
      uint32_t count = rng() % 6;
      std::memcpy(reply.get(), &size, 4);
      std::memcpy(reply.get() + 4, &count, 4);
      for (uint32_t at = 8; at + 4 <= length; at += 64 + rng() % 40) {
        uint32_t fs = rng() % 3 ? 64 + 8 * (rng() % 6) : rng();
        std::memcpy(reply.get() + at, &fs, 4);
      }
    }
    KsItemsView view;
    if (KsCheckMultipleItem(reply.get(), length, 24, &view))
      for (uint32_t i = 0; i < view.count; ++i) checksum += view.items[i * 24 + 23];
    if (!KsCheckMultipleItem(reply.get(), length, 0, &view)) continue;
    KsDataRangeWalk walk(view.items, view.itemBytes, view.count);
    const uint8_t* at = nullptr;
    uint32_t size = 0;
    while (walk.Next(&at, &size)) {
      checksum += at[size - 1];
      ++rangesRead;
    }
  }
  EXPECT_GT(rangesRead, 1000u);
  std::printf("reply check: %llu ranges read (checksum %u)\n", static_cast<unsigned long long>(rangesRead), checksum);
}

}  // namespace
