// DsStreamingSound and DSoundManager against a buffer this test controls: which block a
// notification refills, what the prefill covers, lost-buffer recovery, refusals. No
// sound device needed.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/ds/DSoundManager_win32.h"
#include "audio/ds/DsCore.h"
#include "support/WorkerThread.h"

namespace {

// An IDirectSoundBuffer backed by plain memory. It can report itself lost for a number
// of Restore calls, and records what was locked.
class FakeBuffer final : public IDirectSoundBuffer {
 public:
  explicit FakeBuffer(uint32_t bytes) : memory(bytes, 0xEE) {}

  STDMETHOD_(HRESULT, QueryInterface)(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHOD_(ULONG, AddRef)() override { return ++refs; }
  STDMETHOD_(ULONG, Release)() override { return --refs; }
  STDMETHOD(GetCaps)(LPDSBCAPS) override { return E_NOTIMPL; }
  STDMETHOD(GetCurrentPosition)(LPDWORD play, LPDWORD write) override {
    if (play) *play = position;
    if (write) *write = (position + writeLead) % static_cast<DWORD>(memory.size());
    return S_OK;
  }
  STDMETHOD(GetFormat)(LPWAVEFORMATEX, DWORD, LPDWORD) override { return E_NOTIMPL; }
  STDMETHOD(GetVolume)(LPLONG) override { return E_NOTIMPL; }
  STDMETHOD(GetPan)(LPLONG) override { return E_NOTIMPL; }
  STDMETHOD(GetFrequency)(LPDWORD) override { return E_NOTIMPL; }
  STDMETHOD(GetStatus)(LPDWORD status) override {
    *status = (playing ? DSBSTATUS_PLAYING : 0) | (lostRestores > 0 ? DSBSTATUS_BUFFERLOST : 0);
    return S_OK;
  }
  STDMETHOD(Initialize)(LPDIRECTSOUND, LPCDSBUFFERDESC) override { return E_NOTIMPL; }
  STDMETHOD(Lock)(DWORD offset, DWORD bytes, LPVOID* p1, LPDWORD n1, LPVOID* p2, LPDWORD n2,
                  DWORD) override {
    if (lostRestores > 0) return DSERR_BUFFERLOST;
    locks.push_back(offset);
    const uint32_t size = static_cast<uint32_t>(memory.size());
    const uint32_t first = offset + bytes <= size ? bytes : size - offset;
    *p1 = memory.data() + offset;
    *n1 = first;
    *p2 = first < bytes ? memory.data() : nullptr;
    *n2 = bytes - first;
    return S_OK;
  }
  STDMETHOD(Play)(DWORD, DWORD, DWORD flags) override {
    playing = true;
    playFlags = flags;
    return S_OK;
  }
  STDMETHOD(SetCurrentPosition)(DWORD p) override {
    position = p;
    return S_OK;
  }
  STDMETHOD(SetFormat)(LPCWAVEFORMATEX) override { return E_NOTIMPL; }
  STDMETHOD(SetVolume)(LONG) override { return E_NOTIMPL; }
  STDMETHOD(SetPan)(LONG) override { return E_NOTIMPL; }
  STDMETHOD(SetFrequency)(DWORD) override { return E_NOTIMPL; }
  STDMETHOD(Stop)() override {
    playing = false;
    return S_OK;
  }
  STDMETHOD(Unlock)(LPVOID, DWORD, LPVOID, DWORD) override {
    ++unlocks;
    return S_OK;
  }
  STDMETHOD(Restore)() override {
    ++restores;
    if (lostRestores > 0 && --lostRestores > 0) return DSERR_BUFFERLOST;
    return S_OK;
  }

  std::vector<uint8_t> memory;
  std::vector<uint32_t> locks;
  ULONG refs = 1;
  DWORD position = 12345;
  DWORD writeLead = 0;  // bytes the write cursor runs ahead of the play cursor
  bool playing = false;
  DWORD playFlags = 0;
  int unlocks = 0;
  int restores = 0;
  int lostRestores = 0;  // > 0: lost; Restore succeeds on the lostRestores-th call
};

// Fills each piece with a running piece number and remembers the sizes it was asked for.
class CountingFill : public DsFillCallback {
 public:
  void OnFill(void* data, uint32_t bytes) override {
    std::memset(data, ++pieces, bytes);
    sizes.push_back(bytes);
  }
  int pieces = 0;
  std::vector<uint32_t> sizes;
};

constexpr uint32_t kBlock = 2048;

TEST(DsStreamingSound, FourBlocksPrefillTwoAndRefillHalfABufferAhead) {
  auto owned = std::make_unique<FakeBuffer>(4 * kBlock);
  FakeBuffer* buffer = owned.get();
  CountingFill fill;
  {
    DsStreamingSound sound(buffer, 4 * kBlock, kBlock, &fill, 0);
    EXPECT_EQ(sound.BlockCount(), 4);
    ASSERT_EQ(sound.Reset(), S_OK);
    EXPECT_EQ(buffer->position, 0u);
    ASSERT_EQ(sound.FillBufferWithDSound(buffer), S_OK);
    // Blocks 0 and 1 from the callback, 2 and 3 silent.
    EXPECT_EQ(fill.sizes, (std::vector<uint32_t>{kBlock, kBlock}));
    EXPECT_EQ(buffer->memory[0], 1);
    EXPECT_EQ(buffer->memory[kBlock], 2);
    EXPECT_EQ(buffer->memory[2 * kBlock], 0);
    EXPECT_EQ(buffer->memory[4 * kBlock - 1], 0);

    ASSERT_EQ(sound.Play(0, DSBPLAY_LOOPING), S_OK);
    EXPECT_TRUE(buffer->playing);
    EXPECT_EQ(buffer->playFlags, static_cast<DWORD>(DSBPLAY_LOOPING));

    buffer->locks.clear();
    buffer->writeLead = kBlock / 4;
    for (DWORD block : {0u, 1u, 2u, 3u}) {
      buffer->position = block * kBlock + kBlock / 2;  // the notification in block `block`
      ASSERT_EQ(sound.OnNotify(), S_OK);
    }
    EXPECT_EQ(buffer->locks,
              (std::vector<uint32_t>{2 * kBlock, 3 * kBlock, 0 * kBlock, 1 * kBlock}));
    EXPECT_EQ(sound.LastOffset(), kBlock);
    EXPECT_EQ(sound.FillCount(), 4u);
    // Block 2 holds the third callback piece, block 0 the fifth.
    EXPECT_EQ(buffer->memory[2 * kBlock], 3);
    EXPECT_EQ(buffer->memory[0], 5);
    EXPECT_EQ(buffer->unlocks, 1 + 4);
    ASSERT_EQ(sound.Stop(), S_OK);
    EXPECT_FALSE(buffer->playing);
  }
  EXPECT_EQ(buffer->refs, 0u);  // the sound released its buffer
}

TEST(DsStreamingSound, ThreeBlocksPrefillOneAndAHalf) {
  auto owned = std::make_unique<FakeBuffer>(3 * kBlock);
  FakeBuffer* buffer = owned.get();
  CountingFill fill;
  DsStreamingSound sound(buffer, 3 * kBlock, kBlock, &fill, 0);
  ASSERT_EQ(sound.FillBufferWithDSound(buffer), S_OK);
  EXPECT_EQ(fill.sizes, (std::vector<uint32_t>{kBlock, kBlock / 2}));
  EXPECT_EQ(buffer->memory[kBlock + kBlock / 2 - 1], 2);
  EXPECT_EQ(buffer->memory[kBlock + kBlock / 2], 0);
  buffer->locks.clear();
  for (DWORD block : {0u, 1u, 2u}) {
    buffer->position = block * kBlock + kBlock / 2;
    ASSERT_EQ(sound.OnNotify(), S_OK);
  }
  // Block 1, only half covered by the prefill, is the first refilled.
  EXPECT_EQ(buffer->locks, (std::vector<uint32_t>{kBlock, 2 * kBlock, 0}));
}

TEST(DsStreamingSound, LostBufferIsRestoredAndTheDueBlockSkipped) {
  auto owned = std::make_unique<FakeBuffer>(4 * kBlock);
  FakeBuffer* buffer = owned.get();
  CountingFill fill;
  DsStreamingSound sound(buffer, 4 * kBlock, kBlock, &fill, 0);
  ASSERT_EQ(sound.Reset(), S_OK);
  ASSERT_EQ(sound.FillBufferWithDSound(buffer), S_OK);  // blocks 0 and 1
  buffer->locks.clear();
  buffer->position = kBlock / 2;

  bool restored = true;
  EXPECT_EQ(sound.RecoverLostBuffer(buffer, &restored), 1);  // not lost: nothing done
  EXPECT_FALSE(restored);
  EXPECT_EQ(buffer->restores, 0);

  buffer->lostRestores = 3;  // two refusals, then back
  LARGE_INTEGER f, t0, t1;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&t0);
  ASSERT_EQ(sound.OnNotify(), S_OK);
  QueryPerformanceCounter(&t1);
  EXPECT_EQ(buffer->restores, 3);
  // Two waits of 10 ms between the three attempts (a little slack for the timer).
  EXPECT_GE(1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) / f.QuadPart, 15.0);
  EXPECT_TRUE(buffer->locks.empty());      // the block due now was skipped
  EXPECT_EQ(sound.RestoreCount(), 1u);
  buffer->position = kBlock + kBlock / 2;
  ASSERT_EQ(sound.OnNotify(), S_OK);  // the next notification catches up, in order
  EXPECT_EQ(buffer->locks, (std::vector<uint32_t>{2 * kBlock, 3 * kBlock}));
}

TEST(DsStreamingSound, ABufferThatStaysLostDoesNotHangTheWindowThread) {
  auto owned = std::make_unique<FakeBuffer>(4 * kBlock);
  FakeBuffer* buffer = owned.get();
  CountingFill fill;
  DsStreamingSound sound(buffer, 4 * kBlock, kBlock, &fill, 0);
  WorkerThread idle;  // not running: bounded attempts
  sound.SetRecoveryWorker(&idle);
  buffer->lostRestores = 1000000;
  EXPECT_EQ(sound.Reset(), DSERR_BUFFERLOST);
  EXPECT_EQ(buffer->restores, DsStreamingSound::kMaxRestoreTriesOutsideWorker);
  EXPECT_EQ(fill.pieces, 0);
}

// On the worker the attempts go on until the worker is asked to stop.
class NotifyBody : public WorkerBody {
 public:
  explicit NotifyBody(DsStreamingSound& s) : sound(s) {}
  void ThreadBody(WorkerThread&) override { result = sound.OnNotify(); }
  DsStreamingSound& sound;
  std::atomic<HRESULT> result{S_OK};
};

TEST(DsStreamingSound, LostBufferOnTheWorkerWaitsUntilStopped) {
  auto owned = std::make_unique<FakeBuffer>(4 * kBlock);
  FakeBuffer* buffer = owned.get();
  CountingFill fill;
  DsStreamingSound sound(buffer, 4 * kBlock, kBlock, &fill, 0);
  WorkerThread worker;
  NotifyBody body(sound);
  worker.SetBody(&body);
  sound.SetRecoveryWorker(&worker);
  buffer->lostRestores = 1000000;
  ASSERT_EQ(worker.Start(), 0);
  Sleep(2500);  // longer than the bounded attempts of other threads
  EXPECT_EQ(worker.GetActiveCount(), 1);
  worker.Stop();  // returns: the attempts end with the stop request
  EXPECT_EQ(body.result.load(), DSERR_BUFFERLOST);
  EXPECT_GT(buffer->restores, DsStreamingSound::kMaxRestoreTriesOutsideWorker / 2);
}

// With a limit (the side's stall limit in 10 ms tries), a buffer that stays lost ends
// the worker's attempts by itself, so the side is reported failed instead of hanging.
TEST(DsStreamingSound, LostBufferOnTheWorkerGivesUpAtItsLimit) {
  auto owned = std::make_unique<FakeBuffer>(4 * kBlock);
  FakeBuffer* buffer = owned.get();
  CountingFill fill;
  DsStreamingSound sound(buffer, 4 * kBlock, kBlock, &fill, 0);
  WorkerThread worker;
  NotifyBody body(sound);
  worker.SetBody(&body);
  sound.SetRecoveryWorker(&worker);
  sound.SetWorkerRestoreLimit(30);
  buffer->lostRestores = 1000000;
  ASSERT_EQ(worker.Start(), 0);
  for (int i = 0; i < 500 && worker.GetActiveCount() != 0; ++i) Sleep(10);
  EXPECT_EQ(worker.GetActiveCount(), 0);
  EXPECT_EQ(body.result.load(), DSERR_BUFFERLOST);
  EXPECT_EQ(buffer->restores, 30);
  worker.Stop();
}

TEST(DsStreamingSound, WrappedLockIsUnexpected) {
  auto owned = std::make_unique<FakeBuffer>(3 * kBlock + kBlock / 2);
  FakeBuffer* buffer = owned.get();
  CountingFill fill;
  DsStreamingSound sound(buffer, 3 * kBlock + kBlock / 2, kBlock, &fill, 0);
  // Three whole blocks; the prefill covers block 0 and most of block 1. Block 0's
  // notification refills block 1, which fits. Then the buffer reports less memory than
  // it was made with, so the lock of block 2 wraps.
  ASSERT_EQ(sound.FillBufferWithDSound(buffer), S_OK);
  const int prefillPieces = fill.pieces;
  buffer->position = kBlock / 2;
  EXPECT_EQ(sound.OnNotify(), S_OK);
  buffer->memory.resize(2 * kBlock + kBlock / 2);
  buffer->position = kBlock + kBlock / 2;
  EXPECT_EQ(sound.OnNotify(), E_UNEXPECTED);
  EXPECT_EQ(fill.pieces, prefillPieces + 1);
}

// A wake that comes late finds several blocks due: they are filled in ring order across
// the wrap. One so late that the write cursor has passed the next block cannot save it;
// filling resumes after the write cursor instead of writing where DirectSound no longer
// reads.
TEST(DsStreamingSound, LateWakesCatchUpInRingOrderFromTheWriteCursor) {
  auto owned = std::make_unique<FakeBuffer>(4 * kBlock);
  FakeBuffer* buffer = owned.get();
  CountingFill fill;
  DsStreamingSound sound(buffer, 4 * kBlock, kBlock, &fill, 0);
  ASSERT_EQ(sound.Reset(), S_OK);
  ASSERT_EQ(sound.FillBufferWithDSound(buffer), S_OK);
  buffer->locks.clear();
  buffer->writeLead = kBlock / 4;
  for (DWORD at : {kBlock / 2, kBlock + kBlock / 2,           // blocks 2 and 3, in time
                   3 * kBlock + kBlock / 2 + kBlock / 8,      // late, at the wrap: 0, 1
                   kBlock + kBlock * 7 / 8}) {                // write cursor past block 2
    buffer->position = at;
    ASSERT_EQ(sound.OnNotify(), S_OK);
  }
  EXPECT_EQ(buffer->locks, (std::vector<uint32_t>{2 * kBlock, 3 * kBlock, 0, kBlock, 3 * kBlock}));
  EXPECT_EQ(sound.LateCount(), 1u);
  EXPECT_EQ(fill.pieces, 2 + 5);
}

TEST(DSoundManager, RefusesWithoutDirectSoundObjectOrPlace) {
  DSoundManager manager;
  EXPECT_EQ(manager.SetPrimaryBufferFormat(2, 48000, 16), CO_E_NOTINITIALIZED);
  WAVEFORMATEX wfx = {};
  HANDLE events[4] = {};
  CountingFill fill;
  DsStreamingSound* sound = nullptr;
  EXPECT_EQ(manager.CreateStreaming(&sound, &wfx, 0, GUID_NULL, 4, kBlock, events, &fill),
            CO_E_NOTINITIALIZED);
  EXPECT_EQ(sound, nullptr);
}

}  // namespace
