// The status line's text while audio runs, from plain figures (the window reads them
// from the resampler every 100 ms). Window thread.
#pragma once

#include <string>

struct StatusFigures {
    double inputRate = 0;   // Hz, 0 while stale or settling
    double outputRate = 0;  // Hz
    double ratio = 0;
    int overruns = 0;
    int underruns = 0;
    double inputJitter = 0;   // percent
    double outputJitter = 0;  // percent
    int srcDelay = 0;         // samples
};

std::string FormatStatusText(const StatusFigures& f);

// Texts of a failed Start.
std::string InputErrorText(const std::string& portError);
std::string OutputErrorText(const std::string& portError);
