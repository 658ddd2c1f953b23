#include "app/AppNames.h"
#include "app/StartConfig.h"
#include "app/ValueLists.h"
#include "app/WindowPlacement.h"

#include <gtest/gtest.h>

TEST(AppNames, SlotNameFromExecutablePath) {
    EXPECT_EQ(InstanceSlotName("C:\\Program Files\\Velorand\\Velorand.exe", 1),
              "c--program_files-velorand-velorand.exe_1");
    EXPECT_EQ(InstanceSlotName("D:\\A*B?\\X Y.EXE", 17), "d--a-b--x_y.exe_17");
}

TEST(AppNames, SlotNamesOfLongPathsAreShortenedToFit) {
    // Ordinary names stay exactly as they were, up to the longest the platform takes.
    const std::string dir = "C:\\" + std::string(227, 'D') + "\\";
    const std::string fits = dir + std::string(259 - 2 - dir.size(), 'e');  // name "..._1" of 259
    EXPECT_EQ(InstanceSlotName(fits, 1), "c--" + std::string(227, 'd') + "-" + std::string(fits.size() - dir.size(), 'e') + "_1");
    EXPECT_EQ(InstanceSlotName(fits, 1).size(), kMaxSlotNameChars);

    const std::string a = dir + std::string(15, 'x') + "\\Velorand.exe";  // 259, as long as a module path gets
    const std::string b = dir + std::string(15, 'y') + "\\Velorand.exe";
    for (int n : {1, 10, 255}) {
        const std::string name = InstanceSlotName(a, n);
        EXPECT_LE(name.size(), kMaxSlotNameChars);
        EXPECT_EQ(name.rfind("c--ddd", 0), 0u);
        EXPECT_EQ(name.substr(name.size() - std::to_string(n).size() - 1), "_" + std::to_string(n));
        EXPECT_NE(name, InstanceSlotName(b, n));  // paths differing only after the cut
    }
    EXPECT_NE(InstanceSlotName(a, 1), InstanceSlotName(a, 2));
    // Paths differ in case only where the system ignores it: still one set of slots.
    std::string upper = a;
    upper[3] = 'd';
    EXPECT_EQ(InstanceSlotName(upper, 7), InstanceSlotName(a, 7));
}

TEST(AppNames, SettingsPathCutsAtLastDotOfWholePath) {
    EXPECT_EQ(SettingsPathFor("C:\\Tools\\Velorand.exe", 1), "C:\\Tools\\Velorand.ini");
    EXPECT_EQ(SettingsPathFor("C:\\Tools\\Velorand.exe", 3), "C:\\Tools\\Velorand_3.ini");
    EXPECT_EQ(SettingsPathFor("C:\\my.tools\\velorand", 1), "C:\\my.ini");
    EXPECT_EQ(SettingsPathFor("C:\\tools\\velorand", 2), "C:\\tools\\velorand_2.ini");
}

TEST(AppNames, TitlePrefixFromSecondInstance) {
    EXPECT_EQ(InstanceTitle("Velorand", 1), "Velorand");
    EXPECT_EQ(InstanceTitle("Velorand", 2), "[2] Velorand");
    EXPECT_EQ(InstanceTitle("Velorand", 255), "[255] Velorand");
}

TEST(WindowPlacement, SavedPlaceIsKeptOnlyWhileTheWorkAreaShowsIt) {
    const ScreenRect area{0, 0, 1920, 1040};  // a task bar below
    auto at = [](int l, int t) { return ScreenRect{l, t, l + 660, t + 200}; };
    auto same = [](const ScreenRect& a, const ScreenRect& b) {
        return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
    };
    EXPECT_TRUE(same(KeepOnWorkArea(at(100, 50), area), at(100, 50)));
    EXPECT_TRUE(same(KeepOnWorkArea(at(3000, 2000), area), at(1260, 840)));  // monitor gone
    EXPECT_TRUE(same(KeepOnWorkArea(at(-700, -300), area), at(0, 0)));
    EXPECT_TRUE(same(KeepOnWorkArea(at(1800, 1000), area), at(1260, 840)));  // half off
    // A second monitor left of the first: negative coordinates are ordinary there.
    EXPECT_TRUE(same(KeepOnWorkArea(at(-1500, 10), {-1680, 0, 0, 1050}), at(-1500, 10)));
    // Larger than the area: the top-left corner (the title bar) stays reachable.
    EXPECT_TRUE(same(KeepOnWorkArea(at(50, 50), {0, 0, 640, 150}), at(0, 0)));
}

TEST(ValueLists, TablesInDisplayOrder) {
    EXPECT_EQ(BufferCountValues(), (std::vector<int>{2, 3, 4, 6, 8, 12, 16}));
    ASSERT_EQ(BufferSizeValues().size(), 24u);
    EXPECT_EQ(BufferSizeValues().front(), 48);
    EXPECT_EQ(BufferSizeValues()[11], 441);
    EXPECT_EQ(BufferSizeValues().back(), 4096);
    EXPECT_EQ(SampleRateValues(), (std::vector<int>{44100, 48000, 88200, 96000, 176400, 192000}));
    EXPECT_EQ(ChannelValues(), (std::vector<int>{2, 4, 6, 8}));
}

TEST(ValueLists, SelectByValueAndReadBack) {
    MemoryComboList l;
    FillValues(l, BufferSizeValues());
    EXPECT_EQ(ListValue(l), 0);  // no selection reads 0
    EXPECT_EQ(ListText(l), "");
    EXPECT_TRUE(SelectValue(l, 512));
    EXPECT_EQ(ListValue(l), 512);
    EXPECT_EQ(ListText(l), "512");
    EXPECT_FALSE(SelectValue(l, 500));  // not offered: selection unchanged
    EXPECT_EQ(ListValue(l), 512);
}

TEST(ValueLists, SelectByTextIsCaseInsensitivePrefix) {
    MemoryComboList l;
    FillTexts(l, {"Wave", "DS", "KS"});
    EXPECT_TRUE(SelectText(l, "ks"));
    EXPECT_EQ(ListText(l), "KS");
    EXPECT_TRUE(SelectText(l, "Wa"));
    EXPECT_EQ(ListText(l), "Wave");
    EXPECT_FALSE(SelectText(l, "WaveX"));
    EXPECT_EQ(ListText(l), "Wave");
    MemoryComboList empty;
    EXPECT_FALSE(SelectText(empty, "Wave"));
    EXPECT_EQ(ListText(empty), "");
}

TEST(StartConfig, FifoAndMaxBlockFromGeometry) {
    EXPECT_EQ(FifoSamplesFor({8, 512, 44100}, {4, 256, 48000}), 4096);
    EXPECT_EQ(MaxBlockFor({8, 512, 44100}, {4, 256, 48000}), 1024);
    EXPECT_EQ(FifoSamplesFor({2, 48, 44100}, {2, 48, 192000}), 144);
    EXPECT_EQ(MaxBlockFor({2, 48, 44100}, {2, 48, 192000}), 96);
    EXPECT_EQ(FifoSamplesFor({2, 128, 44100}, {16, 4096, 48000}), 16 * 4096);
    EXPECT_EQ(FifoSamplesFor({0, 0, 0}, {0, 0, 0}), 0);  // lists without selection
}
