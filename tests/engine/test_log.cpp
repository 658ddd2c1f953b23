#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/LogPrintf.h"

namespace {

struct Captured {
  std::mutex mutex;
  std::vector<std::string> lines;
};

void Capture(const char* text, void* context) {
  auto* c = static_cast<Captured*>(context);
  std::lock_guard<std::mutex> guard(c->mutex);
  c->lines.emplace_back(text);
}

struct LogTest : ::testing::Test {
  void TearDown() override { LogResetSinks(); }
};

}  // namespace

TEST_F(LogTest, AllSinksOffReturnsBeforeFormatting) {
  LogResetSinks();
  // Formatting this would dereference a bogus pointer; with every sink off it must not.
  LogPrintf("%s", reinterpret_cast<const char*>(16));
  SUCCEED();
}

TEST_F(LogTest, FileSinkGetsTextVerbatimAndCut) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  LogSetFile(file);
  LogPrintf("level %i%% of %s\n", 75, "fifo");
  std::string longText(1500, 'x');
  LogPrintf("%s", longText.c_str());
  LogSetFile(nullptr);
  std::rewind(file);
  char buffer[4096] = {};
  size_t n = std::fread(buffer, 1, sizeof(buffer) - 1, file);
  std::fclose(file);
  std::string all(buffer, n);
  // The percent sign arrives as one percent sign: the text is never a format again.
  ASSERT_EQ(all.substr(0, 17), "level 75% of fifo");
  // The long message is cut to 1023 characters and written without a terminator.
  EXPECT_EQ(all.size(), 18u + 1023u);
}

TEST_F(LogTest, WesternLettersConvertToConsoleCodePage) {
  char text[] = "\xC4\xC5\xD6\xE4\xE5\xF6 A\xE9";
  LogConvertWesternToOem(text);
  EXPECT_STREQ(text, "\x8E\x8F\x99\x84\x86\x94 A\xE9");
  Captured captured;
  LogSetFunction(&Capture, &captured);
  LogPrintf("%s", "G\xD6teborg");
  ASSERT_EQ(captured.lines.size(), 1u);
#if defined(_WIN32)
  EXPECT_EQ(captured.lines[0], "G\x99teborg");  // every sink sees the console code page
#else
  EXPECT_EQ(captured.lines[0], "G\xD6teborg");  // UTF-8 platforms pass text through
#endif
}

TEST_F(LogTest, QueuedModeDeliversEverythingInOrderFromManyThreads) {
  Captured captured;
  LogSetFunction(&Capture, &captured);
  LogSetQueued(1);
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t)
    producers.emplace_back([t] {
      for (int i = 0; i < 200; ++i) LogPrintf("%d:%d", t, i);
    });
  for (auto& p : producers) p.join();
  LogSetQueued(0);  // drains before it returns
  EXPECT_EQ(LogPendingCount(), 0);
  ASSERT_EQ(captured.lines.size(), 800u);
  int last[4] = {-1, -1, -1, -1};
  for (const std::string& line : captured.lines) {
    int t = 0, i = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d:%d", &t, &i), 2);
    EXPECT_EQ(i, last[t] + 1) << "messages of one thread keep their order";
    last[t] = i;
  }
}
