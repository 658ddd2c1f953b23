// Status and report texts, byte for byte.
#include "app/ReportText.h"
#include "app/StatusText.h"

#include <gtest/gtest.h>

#include <vector>

TEST(StatusText, FourLinesWithTabsExactly) {
    StatusFigures f{44100.02, 48000.13, 1.0884, 0, 3, 1.5, 0.8, 1024};
    EXPECT_EQ(FormatStatusText(f),
              "Input: 44100.02 \t\tOutput:48000.13 \n"
              "Ratio: 1.0884\t\tOver: 0  Under: 3\n"
              "Input Jitter: 1.5 % \tOutput Jitter: 0.8 %\n"
              "SRC delay: 1024 \t");
}

TEST(StatusText, StaleSideAndUnitRatio) {
    StatusFigures f{0.0, 47999.5, 1.0, 12, 0, -100.0, 0.04, 0};
    EXPECT_EQ(FormatStatusText(f),
              "Input: 0.00 \t\tOutput:47999.50 \n"
              "Ratio: 1.0000\t\tOver: 12  Under: 0\n"
              "Input Jitter: -100.0 % \tOutput Jitter: 0.0 %\n"
              "SRC delay: 0 \t");
    EXPECT_EQ(InputErrorText("Invalid sample rate!"), "Input Error:\nInvalid sample rate!");
    EXPECT_EQ(OutputErrorText(""), "Output Error:\n");
}

namespace {

struct History {
    std::vector<ReportBlock> ring = std::vector<ReportBlock>(256, ReportBlock{0, 0});
    int next = 0;
    void Record(uint32_t t, int frames) {
        ring[static_cast<size_t>(next)] = {t, frames};
        next = (next + 1) % 256;
    }
};

ReportInput Input(const History& h) {
    ReportInput in;
    in.isInput = true;
    in.deviceName = "Monitor of CableA";
    in.deviceId = "Monitor of CableA";
    in.interfaceName = "WaveRec";
    in.sampleRate = 44100;
    in.bufferCount = 8;
    in.bufferFrames = 512;
    in.blocks = h.ring.data();
    in.next = h.next;
    in.modulus = 256;
    return in;
}

const char* kHeader =
    "*************** Capture Mode Report ***************\r\n"
    "Velorand 0.92 by Hallvik.\r\n"
    "Device name: Monitor of CableA\r\n"
    "Device path: Monitor of CableA\r\n"
    "Interface: WaveRec\r\n"
    "Sample rate: 44100    Number of blocks: 8    Samples per block: 512\r\n";

}  // namespace

TEST(ReportText, ExampleOfFourBlocks) {
    History h;
    for (uint32_t t : {1000u, 1012u, 1023u, 1035u}) h.Record(t, 512);
    EXPECT_EQ(FormatReport(Input(h)),
              std::string(kHeader) +
                  "\r\n"
                  "Block timing:     Ideal: 12ms  Min: 11ms   Max: 12ms   Jitter: \xB1 4.5 %\r\n"
                  "\r\n"
                  "Block length: 512     Timestamp: 0000ms     Delta: 12ms     \r\n"
                  "Block length: 512     Timestamp: 0011ms     Delta: 11ms     \r\n"
                  "Block length: 512     Timestamp: 0023ms     Delta: 12ms     \r\n"
                  "\r\n"
                  "****************************************************\r\n");
}

TEST(ReportText, WrappedRingReadsOldestFirstAndZeroDeltaCountsAsOne) {
    History h;
    // 300 records wrap the ring; the 256 kept are the newest, read from `next` on.
    uint32_t t = 5000;
    for (int i = 0; i < 300; ++i) h.Record(t += 10, 480);
    h.Record(t, 480);  // same millisecond: delta 0
    std::string r = FormatReport(Input(h));
    EXPECT_NE(r.find("Min: 1ms   Max: 10ms   Jitter: \xB1 450.0 %"), std::string::npos) << r;
    EXPECT_NE(r.find("Timestamp: 0000ms     Delta: 10ms"), std::string::npos);
    EXPECT_NE(r.find("Timestamp: 2530ms     Delta: 00ms"), std::string::npos);
    // 256 entries -> 255 block lines.
    size_t lines = 0;
    for (size_t p = 0; (p = r.find("Block length:", p)) != std::string::npos; ++p) ++lines;
    EXPECT_EQ(lines, 255u);
}

TEST(ReportText, TwoBlocksAndLongTimesAndPlaybackTitle) {
    History h;
    h.Record(100, 256);
    h.Record(105, 256);
    ReportInput in = Input(h);
    in.isInput = false;
    in.interfaceName = "DSPlay";
    in.sampleRate = 48000;
    in.bufferFrames = 256;
    std::string r = FormatReport(in);
    EXPECT_EQ(r.rfind("*************** Playback Mode Report ***************\r\n", 0), 0u);
    EXPECT_NE(r.find("Ideal: 5ms  Min: 5ms   Max: 5ms   Jitter: \xB1 0.0 %\r\n"), std::string::npos) << r;
    EXPECT_NE(r.find("Timestamp: 0000ms     Delta: 05ms"), std::string::npos);

    History g;
    g.Record(1, 512);
    g.Record(11, 512);
    g.Record(12011, 512);
    r = FormatReport(Input(g));
    EXPECT_NE(r.find("Timestamp: 12000ms     Delta: 12000ms"), std::string::npos) << r;
    EXPECT_NE(r.find("Min: 10ms   Max: 12000ms"), std::string::npos);
}

TEST(ReportText, FewerThanTwoBlocksSaysSo) {
    History h;
    h.Record(777, 512);
    std::string r = FormatReport(Input(h));
    EXPECT_EQ(r, std::string(kHeader) +
                     "\r\n"
                     "Block timing:     Ideal: 12ms  Min: -   Max: -   Jitter: no blocks recorded yet\r\n"
                     "\r\n"
                     "\r\n"
                     "****************************************************\r\n");
}
