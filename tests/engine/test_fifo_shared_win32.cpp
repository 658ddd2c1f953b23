// Shared FIFO across two processes: this test is the creator, engine_fifo_peer the opener.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "engine/CFifo.h"
#include "engine/LogPrintf.h"

namespace {

DWORD RunPeer(uint32_t key, int32_t id, const char* mode) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string exe(path);
  exe = exe.substr(0, exe.find_last_of("\\/") + 1) + "engine_fifo_peer.exe";
  char command[512];
  std::snprintf(command, sizeof(command), "\"%s\" %X %d %s", exe.c_str(), key, id, mode);
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(exe.c_str(), command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 1000;
  WaitForSingleObject(pi.hProcess, 60000);
  DWORD code = 1001;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

}  // namespace

TEST(CFifoShared, CreatorAndOpenerInTwoProcessesShareHeaderAndData) {
  CFifo creator;
  ASSERT_TRUE(creator.Create(4096, 1234, kFifoSharedCreator, 7));
  EXPECT_EQ(creator.Mode(), kFifoSharedCreator);
  std::vector<uint8_t> data(1000);
  for (int i = 0; i < 1000; ++i) data[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(creator.Put(data.data(), 1000, false), 1000);
  // An opener in the same process sees the same storage through its own view.
  CFifo local;
  ASSERT_TRUE(local.Create(static_cast<int32_t>(creator.Key()), 0, kFifoSharedOpener, 7));
  EXPECT_EQ(local.Used(), 1000);
  EXPECT_NE(local.Header(), creator.Header());
  local.Destroy();

  ASSERT_EQ(RunPeer(creator.Key(), 7, "echo"), 0u);
  std::vector<uint8_t> back(1000);
  ASSERT_EQ(creator.Get(back.data(), 1000, false), 1000);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(back[i], static_cast<uint8_t>(999 - i));
}

TEST(CFifoShared, HeaderCorruptedByThePeerIsRefused) {
  CFifo creator;
  ASSERT_TRUE(creator.Create(4096, 1234, kFifoSharedCreator, 8));
  std::vector<uint8_t> data(1000, 5);
  creator.Put(data.data(), 1000, false);
  ASSERT_EQ(RunPeer(creator.Key(), 8, "corrupt"), 0u);
  EXPECT_EQ(creator.Put(data.data(), 100, true), 0);
  EXPECT_EQ(creator.Get(data.data(), 100, true), 0);
  EXPECT_EQ(creator.Used(), 0);
  creator.Reset();  // the owner can always start over
  EXPECT_EQ(creator.Put(data.data(), 100, false), 100);
}

TEST(CFifoShared, TwoCreatorsGetDistinctNamesAndAMissingPeerFailsCleanly) {
  CFifo a, b;
  ASSERT_TRUE(a.Create(64, 0, kFifoSharedCreator, 1));
  ASSERT_TRUE(b.Create(64, 0, kFifoSharedCreator, 1));
  EXPECT_NE(a.Key(), b.Key());
  char name[64];
  CFifo::FormatSharedName(name, sizeof(name), "Mapping", 0xAB12u, 10);
  EXPECT_STREQ(name, "CFifo_Mapping_AB12_A");
  std::string logged;
  LogSetFunction([](const char* t, void* c) { *static_cast<std::string*>(c) += t; }, &logged);
  CFifo missing;
  EXPECT_FALSE(missing.Create(0x7777, 0, kFifoSharedOpener, 99));
  LogResetSinks();
  EXPECT_NE(logged.find("Could not open file-mapping object.\n"), std::string::npos);
  EXPECT_EQ(missing.Put(name, 4, false), 0);
}
