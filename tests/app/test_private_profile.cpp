// The project's own INI reader/writer against real files: the behaviour the settings
// rely on (defaults, case-insensitive names, appends, every other line kept).
#include "app/PrivateProfile.h"
#include "app/Profile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

class IniFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("velorand_ini_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "Velorand.ini").string();
    }
    void TearDown() override { fs::remove_all(dir_); }
    void Write(const std::string& content) {
        std::ofstream o(path_, std::ios::binary);
        o << content;
    }
    std::string Read() {
        std::ifstream i(path_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(i)), std::istreambuf_iterator<char>());
    }
    fs::path dir_;
    std::string path_;
};

TEST_F(IniFile, MissingFileSectionOrKeyGivesDefaults) {
    EXPECT_EQ(IniReadString("Input", "Interface", "Wave", path_), "Wave");
    EXPECT_EQ(IniReadInt("Input", "BufferSize", 512, path_), 512);
    Write("[Input]\r\nBufferSize=256\r\n");
    EXPECT_EQ(IniReadInt("Output", "BufferSize", 512, path_), 512);
    EXPECT_EQ(IniReadInt("Input", "BufferCount", 8, path_), 8);
    EXPECT_EQ(IniReadInt("Input", "BufferSize", 512, path_), 256);
}

TEST_F(IniFile, NamesCompareWithoutCaseAndValuesAreTrimmed) {
    Write("[iNpUt]\r\n  interface =  DS \r\nKS_DEVICE=\\\\?\\x#y\r\n");
    EXPECT_EQ(IniReadString("Input", "Interface", "Wave", path_), "DS");
    EXPECT_EQ(IniReadString("INPUT", "ks_device", "WAVE_MAPPER", path_), "\\\\?\\x#y");
}

TEST_F(IniFile, IntegerIsTheLeadingNumber) {
    Write("[Common]\nStarted=7\nChannels=4abc\nBad=abc\nNeg=-120\nEmpty=\n");
    EXPECT_EQ(IniReadInt("Common", "Started", 0, path_), 7);
    EXPECT_EQ(IniReadInt("Common", "Channels", 2, path_), 4);
    EXPECT_EQ(IniReadInt("Common", "Bad", 5, path_), 0);  // present but not a number
    EXPECT_EQ(IniReadInt("Common", "Neg", 0, path_), -120);
    EXPECT_EQ(IniReadInt("Common", "Empty", 9, path_), 0);
    EXPECT_EQ(LeadingInt("99999999999999"), 2147483647);
}

TEST_F(IniFile, WriteCreatesFileThenAppendsKeysAndSections) {
    ASSERT_TRUE(IniWriteString("Input", "Interface", "Wave", path_));
    EXPECT_EQ(Read(), "[Input]\r\nInterface=Wave\r\n");
    ASSERT_TRUE(IniWriteString("Output", "Interface", "DS", path_));
    ASSERT_TRUE(IniWriteString("input", "Wave_device", "CableA", path_));
    EXPECT_EQ(Read(), "[Input]\r\nInterface=Wave\r\nWave_device=CableA\r\n[Output]\r\nInterface=DS\r\n");
    ASSERT_TRUE(IniWriteString("INPUT", "INTERFACE", "KS", path_));
    EXPECT_EQ(IniReadString("Input", "Interface", "", path_), "KS");
    EXPECT_EQ(Read(), "[Input]\r\nINTERFACE=KS\r\nWave_device=CableA\r\n[Output]\r\nInterface=DS\r\n");
}

TEST_F(IniFile, WriteKeepsEveryOtherLine) {
    const std::string before =
        "; written by hand\n"
        "[Kernel Streaming]\n"
        "Trace=0\n"
        "\n"
        "[Input]\n"
        "# odd line without equals\n"
        "BufferSize=512\n"
        "\n"
        "[MainWindow]\n"
        "wndrect_top=10";  // last line without line ending
    Write(before);
    ASSERT_TRUE(IniWriteString("Input", "BufferCount", "4", path_));
    ASSERT_TRUE(IniWriteString("MainWindow", "wndrect_left", "-20", path_));
    ASSERT_TRUE(IniWriteString("Input", "BufferSize", "256", path_));
    EXPECT_EQ(Read(),
              "; written by hand\n"
              "[Kernel Streaming]\n"
              "Trace=0\n"
              "\n"
              "[Input]\n"
              "# odd line without equals\n"
              "BufferSize=256\n"
              "BufferCount=4\n"
              "\n"
              "[MainWindow]\n"
              "wndrect_top=10\n"
              "wndrect_left=-20\n");
    EXPECT_EQ(IniReadInt("MainWindow", "wndrect_left", 0, path_), -20);
}

TEST_F(IniFile, FirstOfDuplicateSectionsAndKeysWins) {
    Write("[Input]\r\nBufferSize=128\r\nBufferSize=256\r\n[Input]\r\nBufferSize=384\r\n");
    EXPECT_EQ(IniReadInt("Input", "BufferSize", 0, path_), 128);
    ASSERT_TRUE(IniWriteString("Input", "BufferSize", "1024", path_));
    EXPECT_EQ(Read(), "[Input]\r\nBufferSize=1024\r\nBufferSize=256\r\n[Input]\r\nBufferSize=384\r\n");
}

TEST_F(IniFile, UnwritableFileFailsWithoutDamage) {
    std::string inMissingDir = (dir_ / "no" / "such" / "dir.ini").string();
    EXPECT_FALSE(IniWriteString("Input", "Interface", "Wave", inMissingDir));
    EXPECT_FALSE(fs::exists(inMissingDir));
}

TEST_F(IniFile, FileThatCannotBeReadOrWrittenIsNeverReplaced) {
    const std::string before = "[Input]\r\nBufferSize=256\r\n[Kernel Streaming]\r\nTrace=0\r\n";
    // No permission at all (as root still refused: no write bit), then read-only.
    for (fs::perms p : {fs::perms::none, fs::perms::owner_read | fs::perms::group_read}) {
        Write(before);
        fs::permissions(path_, p);
        EXPECT_FALSE(IniWriteString("Input", "Interface", "Wave", path_));
        fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(Read(), before);
        EXPECT_FALSE(fs::exists(path_ + ".tmp"));
    }
    // Something that is not a file under the settings name.
    const std::string dirPath = (dir_ / "Folder.ini").string();
    fs::create_directory(dirPath);
    EXPECT_FALSE(IniWriteString("Input", "Interface", "Wave", dirPath));
    EXPECT_TRUE(fs::is_directory(dirPath));
    EXPECT_EQ(IniReadString("Input", "Interface", "dflt", dirPath), "dflt");
}

TEST_F(IniFile, WriteReplacesThroughOneRenameAndLeavesNoTemporary) {
    Write("[Input]\nBufferSize=256\n");
    fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(IniWriteString("Input", "BufferSize", "512", path_));
    EXPECT_EQ(Read(), "[Input]\nBufferSize=512\n");
    EXPECT_FALSE(fs::exists(path_ + ".tmp"));
    EXPECT_EQ(fs::status(path_).permissions() & fs::perms::group_read, fs::perms::group_read);
}

TEST_F(IniFile, ProfileFacadeRoundTrips) {
    // The facade is the platform's functions on Windows, ours elsewhere: same answers.
    ASSERT_TRUE(ProfileWriteInt("Common", "Channels", 6, path_));
    ASSERT_TRUE(ProfileWriteString("Common", "Note", "a b", path_));
    EXPECT_EQ(ProfileReadInt("common", "channels", 2, path_), 6);
    EXPECT_EQ(ProfileReadString("COMMON", "note", "", path_), "a b");
    EXPECT_EQ(ProfileReadInt("Common", "Missing", 44100, path_), 44100);
    EXPECT_EQ(IniReadInt("Common", "Channels", 2, path_), 6);
}

}  // namespace
