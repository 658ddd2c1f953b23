// The timing report of one side: its open parameters and the arrival times of the last
// recorded blocks, as the text the Report window shows and copies. Window thread.
#pragma once

#include <cstdint>
#include <string>

struct ReportBlock {
    uint32_t timeMs;  // 0 marks an empty entry
    int32_t frames;
};

struct ReportInput {
    bool isInput = false;
    std::string deviceName;
    std::string deviceId;
    std::string interfaceName;  // e.g. "WaveRec", "KSPlay"
    int sampleRate = 0;
    int bufferCount = 0;
    int bufferFrames = 0;
    const ReportBlock* blocks = nullptr;  // ring of `modulus` entries
    int next = 0;                         // entry to be written next: the oldest
    int modulus = 0;
};

// Lines end in CR LF; the jitter sign is the Windows-1252 byte 0xB1.
std::string FormatReport(const ReportInput& in);
