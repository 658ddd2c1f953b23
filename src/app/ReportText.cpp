#include "app/ReportText.h"

#include "app/TextAppend.h"

std::string FormatReport(const ReportInput& in) {
    std::string r;
    r += in.isInput ? "*************** Capture Mode Report ***************\r\n"
                    : "*************** Playback Mode Report ***************\r\n";
    Append(r, "Velorand %s by Hallvik.\r\n", "0.92");
    r += "Device name: " + in.deviceName.substr(0, 255) + "\r\n";
    r += "Device path: " + in.deviceId.substr(0, 255) + "\r\n";
    r += "Interface: " + in.interfaceName + "\r\n";
    Append(r, "Sample rate: %i    Number of blocks: %i    Samples per block: %i\r\n",
           in.sampleRate, in.bufferCount, in.bufferFrames);

    std::string blockLines;
    uint32_t minDelta = 2147483647u, maxDelta = 0;
    int printed = 0;
    bool haveFirst = false, haveSecond = false;
    uint32_t t1 = 0, t2 = 0, prevElapsed = 0;
    if (in.blocks && in.modulus > 0) {
        for (int i = 0; i < in.modulus; ++i) {
            int idx = (i + (in.next % in.modulus + in.modulus) % in.modulus) % in.modulus;
            const ReportBlock& b = in.blocks[idx];
            if (b.timeMs == 0) continue;
            if (!haveFirst) {
                haveFirst = true;
                t1 = b.timeMs;
                prevElapsed = 0;
                continue;
            }
            if (!haveSecond) {
                haveSecond = true;
                t2 = b.timeMs;
            }
            uint32_t elapsed = b.timeMs - t1;
            uint32_t delta = elapsed - prevElapsed;
            prevElapsed = elapsed;
            Append(blockLines, "Block length: %i     Timestamp: %04ims     Delta: %02ims     \r\n",
                   b.frames, static_cast<int>(b.timeMs - t2), static_cast<int>(delta));
            if (delta > maxDelta) maxDelta = delta;
            if (delta < minDelta) minDelta = delta;
            ++printed;
        }
    }
    if (minDelta < 1) minDelta = 1;

    float ideal = in.sampleRate > 0
                      ? static_cast<float>(static_cast<double>(in.bufferFrames) / in.sampleRate * 1000.0)
                      : 0.0f;
    r += "\r\n";
    if (printed > 0) {
        double jitter = static_cast<double>(maxDelta) / minDelta * 50.0 - 50.0;
        Append(r, "Block timing:     Ideal: %.0fms  Min: %ims   Max: %ims   Jitter: \xB1 %.01f %%\r\n",
               static_cast<double>(ideal), static_cast<int>(minDelta), static_cast<int>(maxDelta),
               jitter);
    } else {
        // Fewer than two recorded blocks give no interval: say so rather than print
        // the meaningless start values (Min 2147483647, Jitter -50.0).
        Append(r, "Block timing:     Ideal: %.0fms  Min: -   Max: -   Jitter: no blocks recorded yet\r\n",
               static_cast<double>(ideal));
    }
    r += "\r\n";
    r += blockLines;
    r += "\r\n";
    r += "****************************************************\r\n";
    return r;
}
