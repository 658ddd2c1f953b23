#include "app/LevelMeter.h"

#include <algorithm>
#include <cmath>
#include <limits>

LevelTracker::LevelTracker(int delayBlocks, int holdTicks)
    : delay_(static_cast<size_t>(std::max(1, delayBlocks)), 0),
      readIndex_(0),
      writeIndex_(static_cast<int>(delay_.size()) - 1),
      holdReload_(holdTicks) {}

void LevelTracker::Feed(const int32_t* samples, int count, int stride) {
    int64_t peak = 0;
    if (samples && stride > 0) {
        for (int i = 0; i < count; ++i) {
            int64_t s = samples[static_cast<size_t>(i) * static_cast<size_t>(stride)];
            if (s < 0) s = -s;
            if (s > peak) peak = s;
        }
    }
    if (peak > std::numeric_limits<int32_t>::max()) peak = std::numeric_limits<int32_t>::max();
    const int d = static_cast<int>(delay_.size());
    delay_[static_cast<size_t>(writeIndex_)] = static_cast<int32_t>(peak);
    int32_t out = delay_[static_cast<size_t>(readIndex_)];
    writeIndex_ = (writeIndex_ + 1) % d;
    readIndex_ = (readIndex_ + 1) % d;
    // Atomic maximum: the timer may clear the value between our read and write.
    int32_t cur = accumulated_.load(std::memory_order_relaxed);
    while (out > cur &&
           !accumulated_.compare_exchange_weak(cur, out, std::memory_order_relaxed)) {
    }
}

int32_t LevelTracker::TakePeak() { return accumulated_.exchange(0, std::memory_order_relaxed); }

int32_t LevelTracker::Hold(int32_t peak) {
    if (peak != 0) {
        held_ = peak;
        countdown_ = holdReload_;
        return peak;
    }
    if (countdown_ == 0) return 0;
    --countdown_;
    return held_;
}

int PeakLevel(int32_t peak) {
    int64_t v = static_cast<int64_t>(peak) + 1;
    if (v > 32767 || v < -32768) v = 32767;
    double x = static_cast<double>(v) / 32768.0;
    if (x < 0.000001) x = 0.000001;
    double level = std::trunc(80.0 * std::log10(x) + 249.0);
    if (level < 0) level = 0;
    if (level > 255) level = 255;
    return static_cast<int>(level);
}

// ---- ColorRamp --------------------------------------------------------------------

bool ColorRamp::AddStop(uint32_t rgb, int pos) {
    if (static_cast<int>(stops_.size()) >= kMaxStops) return false;
    pos = std::clamp(pos, 0, 1000);
    auto it = std::upper_bound(stops_.begin(), stops_.end(), pos,
                               [](int p, const Stop& s) { return p < s.pos; });
    stops_.insert(it, Stop{rgb & 0xFFFFFFu, pos});
    return true;
}

bool ColorRamp::SameDesign(const ColorRamp& o) const {
    if (stops_.size() != o.stops_.size() || dim_ != o.dim_ || brightness_ != o.brightness_)
        return false;
    for (size_t i = 0; i < stops_.size(); ++i)
        if (stops_[i].rgb != o.stops_[i].rgb || stops_[i].pos != o.stops_[i].pos) return false;
    return true;
}

static int Component(uint32_t rgb, int shift) { return static_cast<int>((rgb >> shift) & 0xFF); }

uint32_t ColorRamp::ColorAt(double t) const {
    const Stop* s0 = &stops_.front();
    const Stop* s1 = &stops_.back();
    for (size_t i = 0; i + 1 < stops_.size(); ++i) {
        if (t >= stops_[i].pos && t <= stops_[i + 1].pos) {
            s0 = &stops_[i];
            s1 = &stops_[i + 1];
            break;
        }
    }
    double u = s1->pos != s0->pos ? (t - s0->pos) / static_cast<double>(s1->pos - s0->pos) : 0.0;
    if (t <= stops_.front().pos) u = 0.0, s0 = s1 = &stops_.front();
    if (t >= stops_.back().pos) u = 0.0, s0 = s1 = &stops_.back();
    u = std::clamp(u, 0.0, 1.0);
    uint32_t out = 0;
    for (int shift : {16, 8, 0}) {
        int c = static_cast<int>((1.0 - u) * Component(s0->rgb, shift) + u * Component(s1->rgb, shift));
        out |= static_cast<uint32_t>(std::clamp(c, 0, 255)) << shift;
    }
    return out;
}

void ColorRamp::Build(int n) {
    table_.assign(static_cast<size_t>(std::max(0, n)), 0);
    if (n <= 0) return;
    if (stops_.size() <= 1) {
        uint32_t rgb = stops_.empty() ? 0xB0B0B0u : stops_.front().rgb;
        for (int i = 0; i < n; ++i) {
            uint32_t c = rgb;
            if (i % 2 == 1) {
                c = 0;
                for (int shift : {16, 8, 0})
                    c |= static_cast<uint32_t>(static_cast<int>(Component(rgb, shift) * 0.8)) << shift;
            }
            table_[static_cast<size_t>(i)] = c;
        }
        return;
    }
    const int bright = static_cast<int>(std::trunc(brightness_ * 256.0));
    for (int j = 0; j < n; ++j) {
        double t = n > 1 ? static_cast<double>(j) / (n - 1) * 1000.0 : 0.0;
        uint32_t rgb = ColorAt(t);
        uint32_t out = 0;
        for (int shift : {16, 8, 0}) {
            int c = Component(rgb, shift);
            if (j % 2 == 1) c = static_cast<int>(c * dim_);
            c = (c * bright) >> 8;
            out |= static_cast<uint32_t>(std::clamp(c, 0, 255)) << shift;
        }
        table_[static_cast<size_t>(n - 1 - j)] = out;
    }
}

// ---- MeterBar ---------------------------------------------------------------------

static uint32_t Lighten(uint32_t rgb) {
    uint32_t out = 0;
    for (int shift : {16, 8, 0}) out |= static_cast<uint32_t>(Component(rgb, shift) / 2 + 128) << shift;
    return out;
}

static uint32_t Darken(uint32_t rgb) {
    uint32_t out = 0;
    for (int shift : {16, 8, 0}) {
        int c = Component(rgb, shift);
        out |= static_cast<uint32_t>(c - c / 4 - c / 8) << shift;
    }
    return out;
}

void MeterBar::Draw(uint32_t* pixels, int rowWidth) const {
    if (!pixels || thickness <= 0 || length <= 0) return;
    int v = std::clamp(value, 0, 1000);
    int r = (1000 - v) * length / 1000;
    auto row = [&](int k) { return pixels + static_cast<size_t>(top + k) * rowWidth + left; };
    const bool darkTable = static_cast<int>(dark.Table().size()) >= length;
    const bool litTable = static_cast<int>(lit.Table().size()) >= length;
    for (int k = 0; k < r; ++k) {
        uint32_t c = darkTable ? dark.At(k) : 0;
        std::fill(row(k), row(k) + thickness, c);
    }
    for (int k = r; k < length; ++k) {
        uint32_t c = litTable ? lit.At(k) : 0;
        std::fill(row(k), row(k) + thickness, c);
    }
    if (litBevel == 1 && r < length) {
        if (length - r > 1) {
            for (int x = 0; x < thickness; ++x) {
                row(r)[x] = Lighten(row(r)[x]);
                row(length - 1)[x] = Darken(row(length - 1)[x]);
            }
        }
        for (int k = r; k < length; ++k) {
            row(k)[0] = Lighten(row(k)[0]);
            row(k)[thickness - 1] = Darken(row(k)[thickness - 1]);
        }
    }
}

// ---- MeterPanel -------------------------------------------------------------------

void MeterPanel::Configure(int bw, int bh, int ml, int mr, int mt, int mb) {
    bitmapWidth_ = bw;
    bitmapHeight_ = bh;
    marginLeft_ = ml;
    marginRight_ = mr;
    marginTop_ = mt;
    marginBottom_ = mb;
    laidOut_ = false;
}

void MeterPanel::Layout(int clientWidth, int clientHeight) {
    width_ = std::clamp(clientWidth, 0, bitmapWidth_);
    height_ = std::clamp(clientHeight, 0, bitmapHeight_);
    const int n = static_cast<int>(bars_.size());
    const int available = width_ - marginLeft_ - marginRight_;
    const int length = height_ - marginTop_ - marginBottom_;
    if (n == 0 || available <= 0 || length <= 0) {
        for (MeterBar& b : bars_) b.thickness = b.length = 0;
        laidOut_ = true;
        return;
    }
    // All bars of a panel share weight and fill in this program; the first bar's figures
    // stand for all of them.
    const double w = bars_[0].weight, f = bars_[0].fill;
    const double scale = available / ((n - 1) * w + w * f);
    const double s = w * scale;
    const int step = static_cast<int>(std::floor(s + 0.000001));
    const int used = (n - 1) * step + static_cast<int>(std::floor(f * s + 0.000001));
    const int leftover = available - used;
    int x = marginLeft_ + leftover / 2;
    for (int i = 0; i < n; ++i) {
        MeterBar& b = bars_[static_cast<size_t>(i)];
        b.left = x;
        b.thickness = static_cast<int>(std::trunc(s)) - static_cast<int>(std::trunc(s - f * s));
        x += step;
        if (b.left + b.thickness >= x) b.thickness -= 1;
        b.top = marginTop_;
        b.length = length;
        if (b.thickness < 2) b.litBevel = 0;
        // Bars alike in design share the previous bar's tables instead of a rebuild.
        const MeterBar* prev = i > 0 ? &bars_[static_cast<size_t>(i - 1)] : nullptr;
        if (prev && b.lit.SameDesign(prev->lit) && prev->lit.Table().size() == static_cast<size_t>(length))
            b.lit = prev->lit;
        else
            b.lit.Build(length);
        if (prev && b.dark.SameDesign(prev->dark) && prev->dark.Table().size() == static_cast<size_t>(length))
            b.dark = prev->dark;
        else
            b.dark.Build(length);
    }
    laidOut_ = true;
}

void MeterPanel::DrawBars(uint32_t* pixels, int rowWidth) const {
    if (!laidOut_ || !pixels) return;
    for (const MeterBar& b : bars_) b.Draw(pixels, rowWidth);
}

void ConfigureMainMeters(MeterPanel& panel, int bars) {
    panel.Configure(1024, 1024, 2, 2, 3, 3);
    MeterBar bar;
    bar.weight = 1.8;
    bar.fill = 0.9;
    bar.litBevel = 1;
    bar.darkBevel = 0;
    // 0x00FF00 with every component x 0.8, truncated: 0x00CC00.
    bar.lit.AddStop(0x00CC00, 0);
    bar.lit.AddStop(0xB0FF50, 1000);
    bar.dark.AddStop(0x000000, 0);
    for (int i = 0; i < bars; ++i) panel.AddBar(bar);
}
