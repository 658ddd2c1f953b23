// The figures Start derives from the two sides' buffer geometry for the resampler.
#pragma once

#include <algorithm>

struct SideGeometry {
    int bufferCount = 0;
    int bufferFrames = 0;
    int sampleRate = 0;
};

// FIFO capacity per channel: max(3, both counts) blocks of the larger block size.
inline int FifoSamplesFor(const SideGeometry& in, const SideGeometry& out) {
    return std::max({3, in.bufferCount, out.bufferCount}) * std::max(in.bufferFrames, out.bufferFrames);
}

// Largest block per push or pull: twice the larger block size.
inline int MaxBlockFor(const SideGeometry& in, const SideGeometry& out) {
    return 2 * std::max(in.bufferFrames, out.bufferFrames);
}
