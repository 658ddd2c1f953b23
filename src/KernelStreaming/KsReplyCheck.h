// Checks of what a kernel-streaming driver answers, free of platform headers so they are
// also built and tested natively (under the sanitizers): the KSMULTIPLE_ITEM header of a
// list reply against the bytes actually returned, the walk over variable-size data ranges,
// and the text work of the USB renaming.
//
// Layouts used (published ones): KSMULTIPLE_ITEM is { ULONG Size; ULONG Count; } followed by
// the items, Size counting the header; every data range starts with a KSDATARANGE of 64
// bytes whose first ULONG is its FormatSize. Any thread; no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kKsMultipleItemHeaderBytes = 8;
constexpr uint32_t kKsDataRangeHeaderBytes = 64;

struct KsItemsView {
  const uint8_t* items = nullptr;
  uint32_t count = 0;      // announced count (trustworthy for fixed-size items only)
  uint32_t itemBytes = 0;  // bytes after the header within Size
};

// True when the header fits the returned bytes, Size lies between the header and the
// returned bytes, and, for fixed-size items (itemSize > 0), Count items fit in Size.
bool KsCheckMultipleItem(const void* reply, uint32_t returnedBytes, uint32_t itemSize, KsItemsView* view);

// Walks data ranges, each found from the previous one by its FormatSize. Stops at the
// announced count, at the end of the bytes, or at the first range whose FormatSize is
// below a KSDATARANGE or beyond the bytes left (a driver's bad size can neither loop nor
// make the walk read past the reply).
class KsDataRangeWalk {
 public:
  KsDataRangeWalk(const uint8_t* items, uint32_t bytes, uint32_t count)
      : items_(items), bytes_(bytes), count_(count) {}
  // The next range and its FormatSize; false when the walk ends.
  bool Next(const uint8_t** range, uint32_t* formatSize);
  uint32_t Index() const { return index_; }      // of the range Next returned last
  bool StoppedOnBadSize() const { return badSize_; }
  uint32_t BadFormatSize() const { return badFormatSize_; }

 private:
  const uint8_t* items_;
  uint32_t bytes_;
  uint32_t count_;
  uint32_t offset_ = 0;
  uint32_t index_ = 0;
  uint32_t next_ = 0;
  bool badSize_ = false;
  uint32_t badFormatSize_ = 0;
};

// "\\?\usb#vid_1234&pid_5678#inst#{guid}\x" -> "vid_1234&pid_5678\inst": the text after
// the first 8 characters, cut at the first "#{", with its first remaining "#" made "\".
// False (out untouched) when either mark is missing or out is too small.
bool KsUsbEnumSubKey(const char* devicePath, char* out, size_t outSize);
// The part after the last ';' (the whole text when there is none).
const char* KsAfterLastSemicolon(const char* text);
