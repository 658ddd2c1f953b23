#include "app/AppNames.h"
#include "app/StartConfig.h"
#include "app/ValueLists.h"

#include <gtest/gtest.h>

TEST(AppNames, SlotNameFromExecutablePath) {
    EXPECT_EQ(InstanceSlotName("C:\\Program Files\\Velorand\\Velorand.exe", 1),
              "c--program_files-velorand-velorand.exe_1");
    EXPECT_EQ(InstanceSlotName("D:\\A*B?\\X Y.EXE", 17), "d--a-b--x_y.exe_17");
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
