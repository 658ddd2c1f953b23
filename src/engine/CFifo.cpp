#include "engine/CFifo.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/LogPrintf.h"

namespace {

// Header fields are read and written through atomic references: in the shared modes
// another process may change them at any time, and Used/Free read them without a lock.
int32_t Load(const int32_t& field) {
  return std::atomic_ref<int32_t>(const_cast<int32_t&>(field)).load(std::memory_order_acquire);
}
void Store(int32_t& field, int32_t value) {
  std::atomic_ref<int32_t>(field).store(value, std::memory_order_release);
}
void AddTo(int32_t& field, int32_t delta) {
  // Wrapping add: a hostile header must not make the counters overflow into UB.
  std::atomic_ref<int32_t> ref(field);
  uint32_t v = static_cast<uint32_t>(ref.load(std::memory_order_relaxed));
  ref.store(static_cast<int32_t>(v + static_cast<uint32_t>(delta)), std::memory_order_release);
}

}  // namespace

void CFifo::FormatSharedName(char* out, size_t outSize, const char* kind, uint32_t key, int32_t id) {
  std::snprintf(out, outSize, "CFifo_%s_%X_%X", kind, key, static_cast<uint32_t>(id));
}

bool CFifo::Create(int32_t size, int32_t tag, int32_t mode, int32_t id) {
  Destroy();
  mode_ = mode;
  id_ = id;
  header_ = nullptr;
  data_ = nullptr;
  capacity_ = 0;
  if (mode == kFifoSharedCreator || mode == kFifoSharedOpener) {
    if (!CreateShared(size, mode)) DestroyShared();
  } else {
    mode_ = kFifoLocal;
    if (size >= 0 && size <= INT32_MAX - kFifoStorageOverhead) {
      void* block = std::calloc(1, static_cast<size_t>(size) + kFifoStorageOverhead);
      header_ = static_cast<FifoHeader*>(block);
      if (header_) capacity_ = size + 1;
    }
  }
  if (header_) {
    Store(header_->start, 0);
    data_ = reinterpret_cast<uint8_t*>(header_) + kFifoHeaderBytes;
    if (mode_ != kFifoSharedOpener) {
      Store(header_->capacity, capacity_);
      Store(header_->tag, tag);
      Store(header_->end, capacity_);
      Store(header_->reserved36, 0);
      Store(header_->pendingDiscard, 0);
      Reset();
    }
  }
  name_[0] = '\0';
  verbose_ = 0;
  return header_ != nullptr;
}

void CFifo::Destroy() {
  if (header_ == nullptr && mutex_ == nullptr && mapping_ == nullptr && putEvent_ == nullptr &&
      getEvent_ == nullptr)
    return;
  if (mode_ == kFifoLocal) {
    Lock();
    std::free(header_);
    header_ = nullptr;
    data_ = nullptr;
    Unlock();
  } else {
    DestroyShared();  // unmaps under the lock, then closes the handles
  }
  header_ = nullptr;
  data_ = nullptr;
  capacity_ = 0;
}

bool CFifo::Snapshot(Positions& p) const {
  const FifoHeader* h = header_;
  p.writePos = Load(h->writePos);
  p.readPos = Load(h->readPos);
  p.reserve = Load(h->reserve);
  // Everything a copy depends on comes from this snapshot and capacity_, which only this
  // object sets; the header's own capacity/start/end must agree with it.
  return capacity_ >= 1 && Load(h->capacity) == capacity_ && Load(h->start) == 0 && Load(h->end) == capacity_ &&
         p.writePos >= 0 && p.writePos < capacity_ && p.readPos >= 0 && p.readPos < capacity_ && p.reserve >= 0 &&
         p.reserve < capacity_;
}

int32_t CFifo::UsedOf(const Positions& p, int32_t capacity) {
  int32_t used = p.writePos - p.readPos;
  return used < 0 ? used + capacity : used;
}

int32_t CFifo::FreeOf(const Positions& p) const {
  int32_t free = capacity_ - p.reserve - UsedOf(p, capacity_) - 1;
  return free < 0 ? 0 : free;
}

void CFifo::ReportCorrupt() const {
  LogPrintf("CFifo '%s': header positions out of range, operation refused\n", name_);
}

void CFifo::Reset() {
  if (!header_) return;
  Lock();
  std::memset(data_, 0, static_cast<size_t>(capacity_));
  Store(header_->readPos, 0);
  Store(header_->writePos, 0);
  Store(header_->reserve, 0);
  Store(header_->lostBytes, 0);
  Store(header_->overrunCount, 0);
  Store(header_->reserved36, 0);
  Store(header_->pendingDiscard, 0);
  putTotal_ = 0;
  getTotal_ = 0;
  Unlock();
}

int32_t CFifo::Used() const {
  if (!header_) return 0;
  Positions p;
  return Snapshot(p) ? UsedOf(p, capacity_) : 0;
}

int32_t CFifo::Free() const {
  if (!header_) return 0;
  Positions p;
  return Snapshot(p) ? FreeOf(p) : 0;
}

int32_t CFifo::Size() const { return header_ ? capacity_ - 1 : 0; }

int32_t CFifo::OverrunCount() const { return header_ ? Load(header_->overrunCount) : 0; }
int32_t CFifo::LostBytes() const { return header_ ? Load(header_->lostBytes) : 0; }

void CFifo::SetName(const char* name) {
  if (name == nullptr) name = "";
  size_t length = std::strlen(name);
  if (length > sizeof(name_) - 1) length = sizeof(name_) - 1;
  std::memcpy(name_, name, length);
  name_[length] = '\0';
  verbose_ = name_[0] != '\0' ? 1 : 0;
}

int32_t CFifo::Put(const void* src, int32_t len, bool overwrite) {
  if (!header_) return 0;
  Lock();
  Positions p;
  if (!Snapshot(p)) {
    Unlock();
    ReportCorrupt();
    return 0;
  }
  int32_t free = FreeOf(p);
  int32_t excess = len - free;
  if (excess >= 1) {
    if (overwrite) {
      DiscardLocked(excess);
      if (!Snapshot(p)) {
        Unlock();
        ReportCorrupt();
        return 0;
      }
      free = FreeOf(p);
    }
    AddTo(header_->overrunCount, 1);
    AddTo(header_->lostBytes, excess);
    if (verbose_) LogPrintf("OVERRUN %i '%s'- ", excess, name_);
  }
  const uint8_t* from = static_cast<const uint8_t*>(src);
  int32_t remaining = len;
  int32_t w = p.writePos;
  for (;;) {
    int32_t chunk = std::min({capacity_ - w, remaining, free});
    if (chunk < 1) break;
    if (from) {
      std::memcpy(data_ + w, from, static_cast<size_t>(chunk));
      from += chunk;
    } else {
      std::memset(data_ + w, 0, static_cast<size_t>(chunk));
    }
    w += chunk;
    if (w >= capacity_) w = 0;
    free -= chunk;
    remaining -= chunk;
  }
  Store(header_->writePos, w);
  Unlock();
  SignalPut();
  int32_t written = len > remaining ? len - remaining : 0;
  putTotal_ += static_cast<uint64_t>(written);
  return written;
}

int32_t CFifo::Get(void* dst, int32_t len, bool rewind) {
  if (!header_) return 0;
  Lock();
  Positions p;
  if (!Snapshot(p)) {
    Unlock();
    ReportCorrupt();
    return 0;
  }
  int32_t used = UsedOf(p, capacity_);
  int32_t r = p.readPos;
  if (rewind && used < len) {
    // Re-deliver the last bytes read. The ring cannot hold more than its usable size, so
    // a longer request rewinds only that far (more would make the FIFO look empty).
    int32_t shortfall = std::min(len, capacity_ - 1) - used;
    if (shortfall > 0) {
      r -= shortfall;
      if (r < 0) r += capacity_;
      AddTo(header_->lostBytes, -shortfall);
      AddTo(header_->overrunCount, 1);
      used += shortfall;
    }
  }
  uint8_t* to = static_cast<uint8_t*>(dst);
  int32_t remaining = len;
  for (;;) {
    int32_t chunk = std::min({capacity_ - r, remaining, used});
    if (chunk <= 0) break;
    if (to) {
      std::memcpy(to, data_ + r, static_cast<size_t>(chunk));
      to += chunk;
    }
    r += chunk;
    if (r >= capacity_) r = 0;
    used -= chunk;
    remaining -= chunk;
  }
  Store(header_->readPos, r);
  Unlock();
  SignalGet();
  int32_t delivered = len > remaining ? len - remaining : 0;
  getTotal_ += static_cast<uint64_t>(delivered);
  return delivered;
}

int32_t CFifo::DiscardLocked(int32_t len) {
  Positions p;
  if (!Snapshot(p)) {
    ReportCorrupt();
    return 0;
  }
  std::atomic_ref<int32_t> pending(header_->pendingDiscard);
  pending.store(len, std::memory_order_release);
  int32_t used = UsedOf(p, capacity_);
  int32_t r = p.readPos;
  int32_t dropped = 0;
  while (pending.load(std::memory_order_acquire) > 0) {
    int32_t chunk = std::min({capacity_ - r, pending.load(std::memory_order_acquire), used});
    if (chunk <= 0) break;
    pending.fetch_sub(chunk, std::memory_order_acq_rel);
    r += chunk;
    if (r >= capacity_) r = 0;
    used -= chunk;
    dropped += chunk;
  }
  Store(header_->readPos, r);
  return dropped;
}

void CFifo::Discard(int32_t len) {
  if (!header_) return;
  Lock();
  DiscardLocked(len);
  Unlock();
  SignalGet();
}

// ---- CFifoGroup --------------------------------------------------------------------

void CFifoGroup::Create(int32_t count, int32_t sizeBytes, const char* name) {
  busy_.store(1, std::memory_order_release);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (CFifo* fifo : fifos_) delete fifo;
    fifos_.clear();
    for (int32_t i = 0; i < count; ++i) {
      CFifo* fifo = new CFifo;
      fifo->Create(sizeBytes, 0, kFifoLocal, 0);
      fifos_.push_back(fifo);
    }
    for (int32_t i = 0; i < count; ++i) {
      char text[256];
      if (name && name[0]) {
        std::snprintf(text, sizeof(text), "%s %i/%i", name, i + 1, count);
        fifos_[i]->SetName(text);
      } else {
        fifos_[i]->SetName("");
      }
    }
  }
  busy_.store(0, std::memory_order_release);
}

void CFifoGroup::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  for (CFifo* fifo : fifos_) delete fifo;
  fifos_.clear();
}

void CFifoGroup::ResetAll() {
  std::lock_guard<std::mutex> guard(mutex_);
  for (CFifo* fifo : fifos_) fifo->Reset();
}

bool CFifoGroup::Acquire(bool tryLock) {
  if (tryLock && busy_.load(std::memory_order_acquire)) {
    if (!mutex_.try_lock()) {
      LogPrintf("FAILED MUTEX\n");
      return false;
    }
    return true;
  }
  mutex_.lock();
  return true;
}

int32_t CFifoGroup::PutAll(const void* const* src, int32_t len, bool overwrite, bool tryLock) {
  if (!Acquire(tryLock)) return 0;
  int32_t result = 0;
  for (size_t i = 0; i < fifos_.size(); ++i) result = fifos_[i]->Put(src ? src[i] : nullptr, len, overwrite);
  mutex_.unlock();
  return result;
}

int32_t CFifoGroup::GetAll(void* const* dst, int32_t len, bool rewind, bool tryLock) {
  if (!Acquire(tryLock)) return 0;
  int32_t result = 0;
  for (size_t i = 0; i < fifos_.size(); ++i) result = fifos_[i]->Get(dst ? dst[i] : nullptr, len, rewind);
  mutex_.unlock();
  return result;
}

void CFifoGroup::ZeroAll(void* const* dst, int32_t len) const {
  if (dst == nullptr || len <= 0) return;
  // The count is read without the lock, as the callers (one device thread) expect; the
  // resampler never rebuilds the group while its device threads run.
  size_t count = fifos_.size();
  for (size_t i = 0; i < count; ++i)
    if (dst[i]) std::memset(dst[i], 0, static_cast<size_t>(len));
}

int32_t CFifoGroup::Used() {
  std::lock_guard<std::mutex> guard(mutex_);
  return fifos_.empty() ? 0 : fifos_[0]->Used();
}

int32_t CFifoGroup::Free() {
  std::lock_guard<std::mutex> guard(mutex_);
  return fifos_.empty() ? 0 : fifos_[0]->Free();
}

int32_t CFifoGroup::Size() {
  std::lock_guard<std::mutex> guard(mutex_);
  return fifos_.empty() ? 0 : fifos_[0]->Size();
}

int32_t CFifoGroup::Count() {
  std::lock_guard<std::mutex> guard(mutex_);
  return static_cast<int32_t>(fifos_.size());
}

CFifo* CFifoGroup::At(int32_t i) {
  std::lock_guard<std::mutex> guard(mutex_);
  return i >= 0 && static_cast<size_t>(i) < fifos_.size() ? fifos_[i] : nullptr;
}
