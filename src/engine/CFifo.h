// Byte ring buffer with a fixed header, used wherever one thread produces audio and another
// consumes it. Storage is private heap memory (local mode, every platform) or, in the
// Windows build, a named shared section that a second process opens by name (creator and
// opener modes, guarded by a named mutex, announced by two named events).
//
// Threads: a local FIFO has no lock; its callers serialise Put, Get, Discard and Reset
// (CFifoGroup does so with its mutex). Used/Free/Size read the header without a lock.
// Create and Destroy allocate and must not run on a device thread; Put/Get/Discard never
// allocate and log only when the FIFO is named and a log sink is on.
//
// The header may live in memory another process can write: every operation reads the
// positions once, checks them against the capacity this object was created with, and
// refuses to copy (returns 0) when they are out of range, so a corrupt header can never
// make Put or Get touch memory outside the data area.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

// Storage block layout: this header (176 bytes), the data area (capacity = size + 1
// bytes), 8 spare bytes: size + 185 bytes in all. It is what the other process sees.
struct FifoHeader {
  int32_t overrunCount;    // 0: overrun events plus rewound underruns since reset
  int32_t lostBytes;       // 4: bytes lost on put, minus bytes re-delivered by rewind
  int32_t start;           // 8: first data byte within the data area; always 0
  int32_t end;             // 12: start + capacity
  int32_t writePos;        // 16: next byte to write, [start, end)
  int32_t readPos;         // 20: next byte to read, [start, end)
  int32_t tag;             // 24: creator's value, never interpreted
  int32_t reserve;         // 28: bytes withheld from the free space; 0 after reset
  int32_t capacity;        // 32: size + 1; one byte always stays empty
  int32_t reserved36;      // 36: zeroed at reset
  int32_t pendingDiscard;  // 40: bytes still to discard
  uint8_t reserved44[132]; // 44
};
static_assert(sizeof(FifoHeader) == 176, "FIFO header is 176 bytes");
static_assert(offsetof(FifoHeader, capacity) == 32, "FIFO header layout");
static_assert(offsetof(FifoHeader, pendingDiscard) == 40, "FIFO header layout");

constexpr int32_t kFifoHeaderBytes = 176;
constexpr int32_t kFifoStorageOverhead = 185;  // header + the empty byte + 8 spare

enum CFifoMode : int32_t {
  kFifoLocal = 0,
  kFifoSharedCreator = 1,
  kFifoSharedOpener = 2,
};

class CFifo {
 public:
  CFifo() = default;
  ~CFifo() { Destroy(); }
  CFifo(const CFifo&) = delete;
  CFifo& operator=(const CFifo&) = delete;

  // Builds the storage. Local and creator mode: `size` bytes of usable room. Opener mode:
  // `size` is the creator's key (Key() of the creating FIFO) and `id` its id. Shared
  // modes exist in the Windows build only; elsewhere they fail (no storage, logged).
  // Returns true when the FIFO has storage.
  bool Create(int32_t size, int32_t tag, int32_t mode, int32_t id);
  void Destroy();
  // Empties the FIFO (zeroes the data area) and clears its counters.
  void Reset();

  // Stores up to len bytes (zeros when src is null). Without overwrite a put that does not
  // fit stores what fits; with overwrite the oldest bytes make room. Returns bytes stored.
  int32_t Put(const void* src, int32_t len, bool overwrite);
  // Delivers up to len bytes (consumes without copying when dst is null). With rewind, a
  // shortfall is made up by re-delivering the last bytes read. Returns bytes delivered.
  int32_t Get(void* dst, int32_t len, bool rewind);
  // Drops up to len of the oldest bytes.
  void Discard(int32_t len);

  int32_t Used() const;
  int32_t Free() const;
  int32_t Size() const;  // capacity - 1, the usable size

  // Name shown in overrun messages; a non-empty name makes the FIFO log its overruns.
  void SetName(const char* name);
  const char* Name() const { return name_; }

  bool HasStorage() const { return header_ != nullptr; }
  const FifoHeader* Header() const { return header_; }
  int32_t Mode() const { return mode_; }
  int32_t Id() const { return id_; }
  // First component of the shared object names; what an opener passes as `size`.
  uint32_t Key() const { return key_; }
  uint64_t PutTotal() const { return putTotal_; }
  uint64_t GetTotal() const { return getTotal_; }
  int32_t OverrunCount() const;
  int32_t LostBytes() const;

  // Formats one of the shared object names: kind is "Mapping", "Mutex", "GetEvent" or
  // "PutEvent"; gives "CFifo_<kind>_<key>_<id>" with uppercase hexadecimal numbers.
  static void FormatSharedName(char* out, size_t outSize, const char* kind, uint32_t key, int32_t id);

 private:
  struct Positions {
    int32_t writePos, readPos, reserve;
  };
  // Reads the positions once and checks them against capacity_; false when corrupt.
  bool Snapshot(Positions& p) const;
  static int32_t UsedOf(const Positions& p, int32_t capacity);
  int32_t FreeOf(const Positions& p) const;
  void Lock() const;
  void Unlock() const;
  void SignalPut() const;
  void SignalGet() const;
  int32_t DiscardLocked(int32_t len);
  void ReportCorrupt() const;
  // Platform parts (CFifo_win32.cpp in the Windows build, CFifo_posix.cpp elsewhere).
  bool CreateShared(int32_t size, int32_t mode);
  void DestroyShared();

  FifoHeader* header_ = nullptr;
  uint64_t putTotal_ = 0;
  uint64_t getTotal_ = 0;
  int32_t mode_ = kFifoLocal;
  int32_t id_ = 0;
  void* mutex_ = nullptr;
  void* putEvent_ = nullptr;
  void* getEvent_ = nullptr;
  void* mapping_ = nullptr;
  uint8_t* data_ = nullptr;
  char name_[256] = {};
  int32_t verbose_ = 0;
  // Private copies that another process cannot change: the capacity the data area was
  // built or mapped with, and the key of the shared names.
  int32_t capacity_ = 0;
  uint32_t key_ = 0;
};

// One CFifo per audio channel behind one mutex. PutAll/GetAll/Used/Free take the mutex;
// Create/Clear rebuild the list (window thread) and set `busy` meanwhile so that a device
// thread asking for a try-lock gives up instead of waiting.
class CFifoGroup {
 public:
  CFifoGroup() = default;
  ~CFifoGroup() { Clear(); }
  CFifoGroup(const CFifoGroup&) = delete;
  CFifoGroup& operator=(const CFifoGroup&) = delete;

  // Destroys the current FIFOs and creates `count` local FIFOs of sizeBytes each, named
  // "<name> i/count" (1-based) when name is non-empty. Allocates.
  void Create(int32_t count, int32_t sizeBytes, const char* name);
  void Clear();
  void ResetAll();

  // One buffer per channel, same byte length for all; returns the last channel's result
  // (0 for an empty group, or when tryLock is set, the group is being rebuilt and the
  // mutex is not free: logged "FAILED MUTEX").
  int32_t PutAll(const void* const* src, int32_t len, bool overwrite, bool tryLock);
  int32_t GetAll(void* const* dst, int32_t len, bool rewind, bool tryLock);
  // Fills Count() caller buffers with len zero bytes. No lock.
  void ZeroAll(void* const* dst, int32_t len) const;

  int32_t Used();
  int32_t Free();
  int32_t Size();
  int32_t Count();
  CFifo* At(int32_t i);  // for tests and diagnostics; window thread only

 private:
  bool Acquire(bool tryLock);

  std::vector<CFifo*> fifos_;
  std::mutex mutex_;
  std::atomic<int32_t> busy_{0};
};
