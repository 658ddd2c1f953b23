// Input level meters: LevelTracker measures block peaks on the capture thread (Feed:
// real-time safe, no allocation, no lock); the 20 ms meter timer on the window thread
// takes the peaks (TakePeak, Hold), converts them to bar heights and has MeterPanel
// draw its MeterBars into a 32-bit pixel buffer (0x00RRGGBB, rows top to bottom), which
// the window then copies to the screen in one piece.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

class LevelTracker {
public:
    // delayBlocks >= 1 (1 = no delay); holdTicks: ticks a peak is repeated.
    explicit LevelTracker(int delayBlocks = 1, int holdTicks = 2);

    // Capture thread.
    void Feed(const int32_t* samples, int count, int stride);
    // Window thread: the largest block peak since the last call, which clears it.
    int32_t TakePeak();
    // Window thread: repeats the last non-zero peak for holdTicks ticks, then 0.
    int32_t Hold(int32_t peak);

private:
    std::vector<int32_t> delay_;  // sized once at construction
    int readIndex_ = 0;
    int writeIndex_ = 0;
    std::atomic<int32_t> accumulated_{0};
    int32_t holdReload_;
    int32_t countdown_ = 0;
    int32_t held_ = 0;
};

// Peak on the 16-bit scale -> level 0..255, 4 units per dB below full scale.
int PeakLevel(int32_t peak);
// Bar value in thousandths: 4 x level.
inline int BarValueForPeak(int32_t peak) { return 4 * PeakLevel(peak); }

class ColorRamp {
public:
    static constexpr int kMaxStops = 16;
    bool AddStop(uint32_t rgb, int positionThousandths);
    void SetDim(double d) { dim_ = d; }
    void SetBrightness(double b) { brightness_ = b; }
    // One colour per entry: entry N-1-j gets the colour of position j/(N-1).
    void Build(int entries);
    // Same stops and factors (the table size is not compared).
    bool SameDesign(const ColorRamp& o) const;
    const std::vector<uint32_t>& Table() const { return table_; }
    uint32_t At(int i) const { return table_[static_cast<size_t>(i)]; }

private:
    uint32_t ColorAt(double thousandths) const;
    struct Stop { uint32_t rgb; int pos; };
    std::vector<Stop> stops_;
    double dim_ = 0.7;
    double brightness_ = 1.0;
    std::vector<uint32_t> table_;
};

struct MeterBar {
    int value = 0;  // thousandths of the bar length
    int left = 0, top = 0, thickness = 0, length = 0;
    double weight = 1.0;
    double fill = 0.9;
    int litBevel = 1;
    int darkBevel = 0;
    ColorRamp lit;
    ColorRamp dark;

    // Draws into a bitmap of the given row width (pixels), no clipping: the panel's
    // layout keeps every bar inside the bitmap.
    void Draw(uint32_t* pixels, int rowWidth) const;
};

class MeterPanel {
public:
    void Configure(int bitmapWidth, int bitmapHeight, int marginLeft, int marginRight,
                   int marginTop, int marginBottom);
    void AddBar(const MeterBar& bar) { bars_.push_back(bar); }
    // Lays the bars out side by side across a target of clientWidth x clientHeight. A
    // target larger than the bitmap is treated as the bitmap's size (the meters then
    // cover the target's top-left part) so that no bar is drawn outside the pixels.
    void Layout(int clientWidth, int clientHeight);
    bool IsLaidOut() const { return laidOut_; }
    // Draws every bar; nothing before Layout.
    void DrawBars(uint32_t* pixels, int rowWidth) const;
    int BarCount() const { return static_cast<int>(bars_.size()); }
    MeterBar& Bar(int i) { return bars_[static_cast<size_t>(i)]; }
    const MeterBar& Bar(int i) const { return bars_[static_cast<size_t>(i)]; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    int BitmapWidth() const { return bitmapWidth_; }
    int BitmapHeight() const { return bitmapHeight_; }

private:
    std::vector<MeterBar> bars_;
    int bitmapWidth_ = 1024, bitmapHeight_ = 1024;
    int marginLeft_ = 0, marginRight_ = 0, marginTop_ = 0, marginBottom_ = 0;
    int width_ = 0, height_ = 0;
    bool laidOut_ = false;
};

// The main window's meter set-up: 8 bars of weight 1.8, green ramp, raised lit part,
// margins 2/2/3/3, 1024 x 1024 bitmap.
void ConfigureMainMeters(MeterPanel& panel, int bars = 8);
