#include "KernelStreaming/KsReplyCheck.h"

#include <cstring>

bool KsCheckMultipleItem(const void* reply, uint32_t returnedBytes, uint32_t itemSize, KsItemsView* view) {
  *view = KsItemsView{};
  if (!reply || returnedBytes < kKsMultipleItemHeaderBytes) return false;
  uint32_t header[2];
  std::memcpy(header, reply, sizeof(header));
  const uint32_t size = header[0], count = header[1];
  // Size counts the header; it may be smaller than what came back (drivers pad), never
  // larger, never smaller than the header.
  if (size < kKsMultipleItemHeaderBytes || size > returnedBytes) return false;
  const uint32_t itemBytes = size - kKsMultipleItemHeaderBytes;
  if (itemSize != 0 && count > itemBytes / itemSize) return false;
  view->items = static_cast<const uint8_t*>(reply) + kKsMultipleItemHeaderBytes;
  view->count = count;
  view->itemBytes = itemBytes;
  return true;
}

bool KsDataRangeWalk::Next(const uint8_t** range, uint32_t* formatSize) {
  if (badSize_ || !items_ || next_ >= count_) return false;
  if (bytes_ - offset_ < kKsDataRangeHeaderBytes) return false;
  uint32_t size = 0;
  std::memcpy(&size, items_ + offset_, sizeof(size));
  if (size < kKsDataRangeHeaderBytes || size > bytes_ - offset_) {
    badSize_ = true;
    badFormatSize_ = size;
    index_ = next_;
    return false;
  }
  *range = items_ + offset_;
  *formatSize = size;
  index_ = next_++;
  offset_ += size;
  return true;
}

bool KsUsbEnumSubKey(const char* devicePath, char* out, size_t outSize) {
  if (!devicePath || !out || outSize == 0) return false;
  const size_t length = std::strlen(devicePath);
  if (length < 8) return false;
  const char* ids = devicePath + 8;
  const char* guid = std::strstr(ids, "#{");
  if (!guid) return false;
  const size_t idLength = static_cast<size_t>(guid - ids);
  const void* hash = std::memchr(ids, '#', idLength);
  if (!hash || idLength + 1 > outSize) return false;
  std::memcpy(out, ids, idLength);
  out[idLength] = 0;
  out[static_cast<const char*>(hash) - ids] = '\\';
  return true;
}

const char* KsAfterLastSemicolon(const char* text) {
  const char* semicolon = std::strrchr(text, ';');
  return semicolon ? semicolon + 1 : text;
}
