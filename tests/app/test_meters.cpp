// Level trackers and meter drawing: peak table, hold, layout and pixels.
#include "app/LevelMeter.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(LevelTracker, PeakTableAndBarValues) {
    struct Row { int32_t peak; int level; };
    for (Row r : {Row{0, 0}, Row{25, 0}, Row{26, 2}, Row{100, 48}, Row{1000, 127}, Row{3276, 169},
                  Row{16383, 224}, Row{32767, 248}, Row{32768, 248}, Row{2000000, 248}}) {
        EXPECT_EQ(PeakLevel(r.peak), r.level) << "peak " << r.peak;
        EXPECT_EQ(BarValueForPeak(r.peak), 4 * r.level);
    }
}

TEST(LevelTracker, FeedTakesAbsolutePeakAtStride) {
    LevelTracker t(1, 5);
    std::vector<int32_t> block = {3, -32768, 7, 9000, 0, 12};
    t.Feed(block.data(), 3, 2);  // 3, 7, 0
    EXPECT_EQ(t.TakePeak(), 7);
    t.Feed(block.data(), 6, 1);
    EXPECT_EQ(t.TakePeak(), 32768);
    EXPECT_EQ(t.TakePeak(), 0);  // taken clears
    EXPECT_EQ(BarValueForPeak(32768), 992);
    t.Feed(block.data(), 1, 1);
    t.Feed(block.data() + 3, 1, 1);
    t.Feed(block.data(), 1, 1);
    EXPECT_EQ(t.TakePeak(), 9000);  // largest since last take
}

TEST(LevelTracker, DelayLinePassesPeaksOnLater) {
    LevelTracker t(3, 2);
    int32_t a = 100, b = 200, c = 300;
    t.Feed(&a, 1, 1);
    EXPECT_EQ(t.TakePeak(), 0);
    t.Feed(&b, 1, 1);
    EXPECT_EQ(t.TakePeak(), 0);
    t.Feed(&c, 1, 1);
    EXPECT_EQ(t.TakePeak(), 100);
    t.Feed(&c, 1, 1);
    EXPECT_EQ(t.TakePeak(), 200);
}

TEST(LevelTracker, HoldRepeatsFiveTicksThenDropsAtOnce) {
    LevelTracker t(1, 5);
    EXPECT_EQ(t.Hold(1000), 1000);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(t.Hold(0), 1000) << i;
    EXPECT_EQ(t.Hold(0), 0);
    EXPECT_EQ(t.Hold(0), 0);
    EXPECT_EQ(t.Hold(50), 50);
}

TEST(LevelTracker, ConcurrentFeedAndTakeNeverLosesTheMaximum) {
    LevelTracker t(1, 5);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        std::vector<int32_t> block(64, 0);
        for (int i = 0; i < 200000; ++i) {
            block[static_cast<size_t>(i % 64)] = (i % 1000 == 999) ? 30000 : 10;
            t.Feed(block.data(), 64, 1);
            block[static_cast<size_t>(i % 64)] = 0;
        }
        stop = true;
    });
    int32_t best = 0;
    while (!stop) best = std::max(best, t.TakePeak());
    feeder.join();
    best = std::max(best, t.TakePeak());
    EXPECT_EQ(best, 30000);
}

namespace {

struct Panel {
    MeterPanel p;
    std::vector<uint32_t> pixels = std::vector<uint32_t>(1024 * 1024, 0);
    Panel(int w, int h) {
        ConfigureMainMeters(p);
        p.Layout(w, h);
    }
    uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * 1024 + x]; }
    void Draw() { p.DrawBars(pixels.data(), 1024); }
};

}  // namespace

TEST(MeterPanel, LayoutOfTheExampleControl) {
    Panel m(87, 70);
    ASSERT_EQ(m.p.BarCount(), 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(m.p.Bar(i).left, 4 + 10 * i);
        EXPECT_EQ(m.p.Bar(i).thickness, 9);
        EXPECT_EQ(m.p.Bar(i).top, 3);
        EXPECT_EQ(m.p.Bar(i).length, 64);
    }
}

TEST(MeterPanel, NarrowBarsLoseTheirBevelAndBigTargetsAreClamped) {
    Panel narrow(20, 40);
    for (int i = 0; i < 8; ++i) EXPECT_LT(narrow.p.Bar(i).thickness, 2);
    EXPECT_EQ(narrow.p.Bar(0).litBevel, 0);
    Panel huge(3000, 2000);
    EXPECT_EQ(huge.p.Width(), 1024);
    EXPECT_EQ(huge.p.Height(), 1024);
    const MeterBar& last = huge.p.Bar(7);
    EXPECT_LE(last.left + last.thickness, 1024 - 2);
    EXPECT_EQ(last.length, 1024 - 6);
    huge.p.Bar(7).value = 1000;
    huge.Draw();  // must stay inside the pixel buffer (ASan watches)
}

TEST(ColorRamp, GreenRampRowsAndDimming) {
    Panel m(87, 70);
    const std::vector<uint32_t>& lit = m.p.Bar(0).lit.Table();
    ASSERT_EQ(lit.size(), 64u);
    EXPECT_EQ(lit[63], 0x00CC00u);  // bottom row: position 0, bright
    // j = 1 (row 62): position 1000/63, then x 0.7.
    double u = 1.0 / 63;
    uint32_t r = static_cast<uint32_t>(static_cast<int>(u * 0xB0) * 0.7);
    uint32_t g = static_cast<uint32_t>(static_cast<int>((1 - u) * 0xCC + u * 0xFF) * 0.7);
    uint32_t b = static_cast<uint32_t>(static_cast<int>(u * 0x50) * 0.7);
    EXPECT_EQ(lit[62], (r << 16) | (g << 8) | b);
    // j = 63 (row 0) is odd: the top colour dimmed.
    EXPECT_EQ(lit[0], (static_cast<uint32_t>(0xB0 * 0.7) << 16) | (static_cast<uint32_t>(0xFF * 0.7) << 8) |
                          static_cast<uint32_t>(0x50 * 0.7));
    for (uint32_t c : m.p.Bar(0).dark.Table()) EXPECT_EQ(c, 0u);
    // Every bar shares the same tables.
    EXPECT_EQ(m.p.Bar(7).lit.Table(), lit);

    ColorRamp single;
    single.AddStop(0x102030, 500);
    single.Build(3);
    EXPECT_EQ(single.Table(), (std::vector<uint32_t>{0x102030, 0x0C1926, 0x102030}));
    ColorRamp none;
    none.Build(2);
    EXPECT_EQ(none.Table(), (std::vector<uint32_t>{0xB0B0B0, 0x8C8C8C}));
}

static uint32_t Lighten(uint32_t c) {
    uint32_t o = 0;
    for (int s : {16, 8, 0}) o |= ((((c >> s) & 0xFF) / 2) + 128) << s;
    return o;
}
static uint32_t Darken(uint32_t c) {
    uint32_t o = 0;
    for (int s : {16, 8, 0}) {
        uint32_t v = (c >> s) & 0xFF;
        o |= (v - v / 4 - v / 8) << s;
    }
    return o;
}

TEST(MeterBar, PixelsOfAHalfLitBarWithBevel) {
    Panel m(87, 70);
    m.p.Bar(1).value = BarValueForPeak(1000);  // 508
    m.Draw();
    const MeterBar& b = m.p.Bar(1);
    const std::vector<uint32_t>& lit = b.lit.Table();
    int r = (1000 - 508) * 64 / 1000;  // 31 rows dark
    ASSERT_EQ(r, 31);
    for (int k = 0; k < r; ++k)
        for (int x = 0; x < 9; ++x) ASSERT_EQ(m.At(b.left + x, 3 + k), 0u);
    // Top lit row lightened, then its left pixel lightened again, right one darkened.
    EXPECT_EQ(m.At(b.left + 4, 3 + r), Lighten(lit[31]));
    EXPECT_EQ(m.At(b.left, 3 + r), Lighten(Lighten(lit[31])));
    EXPECT_EQ(m.At(b.left + 8, 3 + r), Darken(Lighten(lit[31])));
    // A middle row: plain ramp colour inside, bevelled edges.
    EXPECT_EQ(m.At(b.left + 3, 3 + 40), lit[40]);
    EXPECT_EQ(m.At(b.left, 3 + 40), Lighten(lit[40]));
    EXPECT_EQ(m.At(b.left + 8, 3 + 40), Darken(lit[40]));
    // Bottom row darkened.
    EXPECT_EQ(m.At(b.left + 5, 3 + 63), Darken(lit[63]));
    // Gaps, margins and the other (zero) bars stay black.
    EXPECT_EQ(m.At(b.left + 9, 3 + 40), 0u);
    EXPECT_EQ(m.At(1, 3 + 40), 0u);
    EXPECT_EQ(m.At(b.left + 4, 2), 0u);
    EXPECT_EQ(m.At(b.left + 4, 3 + 64), 0u);
    for (int y = 3; y < 67; ++y) EXPECT_EQ(m.At(m.p.Bar(0).left + 4, y), 0u);
}

TEST(MeterBar, FullAndNegativeValues) {
    Panel m(87, 70);
    m.p.Bar(0).value = 992;  // full scale: top rows stay dark
    m.p.Bar(2).value = 5000;  // counts as 1000
    m.p.Bar(3).value = -5;
    m.Draw();
    int r = (1000 - 992) * 64 / 1000;
    EXPECT_EQ(r, 0);
    EXPECT_NE(m.At(m.p.Bar(0).left + 4, 3), 0u);
    EXPECT_NE(m.At(m.p.Bar(2).left + 4, 3), 0u);
    for (int y = 3; y < 67; ++y) EXPECT_EQ(m.At(m.p.Bar(3).left + 4, y), 0u);

    MeterPanel notLaid;
    ConfigureMainMeters(notLaid);
    std::vector<uint32_t> px(16, 0);
    notLaid.DrawBars(px.data(), 4);  // draws nothing before layout
    for (uint32_t c : px) EXPECT_EQ(c, 0u);
}
