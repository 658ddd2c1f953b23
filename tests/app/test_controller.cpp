// The dialog's decisions against fake ports and in-memory lists: initialisation and
// settings, Start arithmetic and failures, Stop, control states, status writes, the
// automatic start and the callbacks.
#include "app/BridgeController.h"
#include "app/PrivateProfile.h"
#include "app/resource.h"
#include "engine/MmClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct FakePort : BridgePort {
    struct Device { std::string name, id; };
    bool isInput = false;
    int type = 0;
    int creates = 0;
    bool open = false;
    int opens = 0;
    int openResult = 0;
    std::string error;
    SideOpenRequest last;
    std::string lastSaved;
    std::map<int, std::vector<Device>> devicesByType;
    bool hasDefault = true;
    int closes = 0;          // closes of an open side
    bool failed = false;     // the open stream stopped (cleared by Close)
    std::string failure;

    void Create(bool in, int t) override {
        Close();
        isInput = in;
        type = (t >= 1 && t <= 3) ? t : 0;
        ++creates;
    }
    int FillDeviceList(ComboList& list, bool, const std::string& saved) override {
        if (!type) return -1;
        lastSaved = saved;
        list.Clear();
        int sel = -1;
        const auto& devs = devicesByType[type];
        for (size_t i = 0; i < devs.size(); ++i) {
            list.Add(devs[i].name, static_cast<intptr_t>(i));
            if (devs[i].id == saved) sel = static_cast<int>(i);
            else if (i == 0 && hasDefault && saved == "WAVE_MAPPER" && sel < 0) sel = 0;
        }
        if (sel >= 0) list.Select(sel);
        return list.Count();
    }
    int GetSelectedDevice(const ComboList& list, std::string& id) override {
        if (!type) return -1;
        int sel = list.Selection();
        if (sel < 0) return 0;
        id = devicesByType[type][static_cast<size_t>(list.Data(sel))].id;
        return 1;
    }
    int Open(const SideOpenRequest& r) override {
        ++opens;
        last = r;
        if (openResult != 0) return openResult;
        open = true;
        return 0;
    }
    std::string ErrorText() const override { return error; }
    void Close() override {
        if (open) ++closes;
        open = false;
        failed = false;
    }
    bool IsInput() const override { return type && isInput; }
    std::string Name() const override {
        static const char* n[] = {"Invalid", "Wave", "DS", "KS"};
        return type ? std::string(n[type]) + (isInput ? "Rec" : "Play") : "MustCreateFirst";
    }
    SideOpenRequest Params() const override { return open ? last : SideOpenRequest{}; }
    bool HasDefaultDevice() const override { return hasDefault; }
    bool HasFailed() const override { return open && failed; }
    std::string FailureText() const override { return failure; }
};

// The engine clock, driven by the recovery tests.
std::atomic<uint32_t> g_nowMs{0};
uint32_t TestNow() { return g_nowMs.load(); }
struct TestClock {
    MmClockFunction before = SetMmClock(TestNow);
    explicit TestClock(uint32_t start) { g_nowMs = start; }
    ~TestClock() { SetMmClock(before); }
};

struct FakeView : BridgeView {
    std::map<int, MemoryComboList> lists;
    std::map<int, bool> enabled;
    std::string status = "Status";
    int statusWrites = 0;
    int focus = 0;  // control with the keyboard focus, 0 for none
    ComboList& List(int id) override { return lists[id]; }
    void EnableControl(int id, bool e) override {
        enabled[id] = e;
        if (!e && focus == id) focus = 0;  // as the platform does: a disabled control loses it
    }
    bool HasFocus(int id) override { return focus == id; }
    void FocusControl(int id) override { focus = id; }
    std::string ReadStatus() override { return status.substr(0, 255); }
    void WriteStatus(const std::string& t) override {
        status = t;
        ++statusWrites;
    }
    intptr_t Window() override { return 0x1234; }
};

class Controller : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("velorand_ctl_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ini_ = (dir_ / "Velorand.ini").string();
        for (FakePort* p : {&in_, &out_}) {
            p->devicesByType[1] = {{"Wave Mapper", "WAVE_MAPPER"}, {"CableA", "CableA"}, {"CableB", "CableB"}};
            p->devicesByType[2] = {{"Primary Sound Driver", "{0}"}, {"CableA", "{A}"}};
            p->devicesByType[3] = {};
        }
    }
    void TearDown() override {
        ctl_.reset();
        fs::remove_all(dir_);
    }
    void WriteIni(const std::string& text) { std::ofstream(ini_, std::ios::binary) << text; }
    std::string ReadIni() {
        std::ifstream i(ini_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(i)), std::istreambuf_iterator<char>());
    }
    // The dialog's initialisation order.
    BridgeController& Init() {
        ctl_ = std::make_unique<BridgeController>(view_, in_, out_, resampler_, ini_);
        ctl_->FillLists();
        ctl_->LoadSettings();
        ctl_->OnInterfaceChanged(Side::Input);
        ctl_->OnInterfaceChanged(Side::Output);
        autoStartFailed_ = ctl_->AutoStartOrEnable();
        return *ctl_;
    }
    MemoryComboList& L(int id) { return view_.lists[id]; }

    fs::path dir_;
    std::string ini_;
    FakeView view_;
    FakePort in_, out_;
    AsyncResampler resampler_;
    std::unique_ptr<BridgeController> ctl_;
    bool autoStartFailed_ = false;
};

TEST_F(Controller, FirstLaunchShowsDefaultsAndWritesOnlyTheInterfaces) {
    Init();
    EXPECT_EQ(ListText(L(IDC_INPUT_INTERFACE)), "Wave");
    EXPECT_EQ(ListText(L(IDC_OUTPUT_INTERFACE)), "Wave");
    for (int id : {IDC_INPUT_BUFCOUNT, IDC_OUTPUT_BUFCOUNT}) EXPECT_EQ(ListValue(L(id)), 8);
    for (int id : {IDC_INPUT_BUFSIZE, IDC_OUTPUT_BUFSIZE}) EXPECT_EQ(ListValue(L(id)), 512);
    for (int id : {IDC_INPUT_SAMPLERATE, IDC_OUTPUT_SAMPLERATE}) EXPECT_EQ(ListValue(L(id)), 44100);
    EXPECT_EQ(ListValue(L(IDC_CHANNELS)), 2);
    EXPECT_EQ(in_.type, 1);
    EXPECT_TRUE(in_.isInput);
    EXPECT_FALSE(out_.isInput);
    EXPECT_EQ(in_.lastSaved, "WAVE_MAPPER");
    EXPECT_EQ(ListText(L(IDC_INPUT_DEVICE)), "Wave Mapper");
    EXPECT_EQ(ReadIni(), "[Input]\r\nInterface=Wave\r\n[Output]\r\nInterface=Wave\r\n");
    EXPECT_FALSE(ctl_->Running());
    EXPECT_TRUE(view_.enabled[IDC_START]);
    EXPECT_FALSE(view_.enabled[IDC_STOP]);
    EXPECT_FALSE(view_.enabled[IDC_INPUT_REPORT]);
    EXPECT_FALSE(view_.enabled[IDC_OUTPUT_REPORT]);
}

TEST_F(Controller, StartBuildsRecordsAndResamplerConfig) {
    WriteIni("[Input]\nInterface=ds\nBufferSize=512\nBufferCount=8\nSamplerate=44100\nDS_device={A}\n"
             "[Output]\nBufferSize=256\nBufferCount=4\nSamplerate=48000\nWave_device=CableB\n"
             "[Common]\nChannels=6\n");
    BridgeController& c = Init();
    EXPECT_EQ(in_.type, 2);  // the prefix match of "ds" selects "DS"
    ASSERT_TRUE(c.Start());
    EXPECT_EQ(in_.last.deviceId, "{A}");
    EXPECT_EQ(in_.last.deviceName, "CableA");
    EXPECT_EQ(in_.last.sampleRate, 44100);
    EXPECT_EQ(in_.last.bufferFrames, 512);
    EXPECT_EQ(in_.last.bufferCount, 8);
    EXPECT_EQ(in_.last.channels, 6);
    EXPECT_EQ(in_.last.window, 0x1234);
    EXPECT_EQ(out_.last.deviceId, "CableB");
    EXPECT_EQ(out_.last.sampleRate, 48000);
    const ResamplerConfig& rc = c.LastConfig();
    EXPECT_EQ(rc.fifoSamples, 4096);
    EXPECT_EQ(rc.maxBlock, 1024);
    EXPECT_EQ(rc.channels, 6);  // every selected channel is carried
    EXPECT_DOUBLE_EQ(rc.inputRate, 44100.0);
    EXPECT_DOUBLE_EQ(rc.outputRate, 48000.0);
    EXPECT_EQ(rc.quality, -1);
    EXPECT_EQ(rc.variableRatio, 1);
    EXPECT_DOUBLE_EQ(rc.maxTrackRatio, 1.08);
    EXPECT_EQ(rc.ratioControl, kRatioControlDelay);  // no "RatioControl" entry
    EXPECT_EQ(resampler_.Config().channels, 6);
    EXPECT_TRUE(c.Running());
    EXPECT_FALSE(view_.enabled[IDC_START]);
    EXPECT_FALSE(view_.enabled[IDC_CHANNELS]);
    EXPECT_TRUE(view_.enabled[IDC_STOP]);
    EXPECT_TRUE(view_.enabled[IDC_INPUT_REPORT]);
}

TEST_F(Controller, RatioControlIsReadAtEveryStart) {
    WriteIni("[Common]\nRatioControl=Level\n");
    BridgeController& c = Init();
    ASSERT_TRUE(c.Start());
    EXPECT_EQ(c.LastConfig().ratioControl, kRatioControlLevel);
    c.Stop();
    WriteIni("[Common]\nRatioControl=PI\n");
    ASSERT_TRUE(c.Start());
    EXPECT_EQ(c.LastConfig().ratioControl, kRatioControlDelay);
}

TEST_F(Controller, SmallestGeometryAndNoDeviceSelection) {
    WriteIni("[Input]\nBufferSize=48\nBufferCount=2\n[Output]\nBufferSize=48\nBufferCount=2\nSamplerate=192000\n"
             "Interface=KS\n");
    BridgeController& c = Init();
    EXPECT_EQ(L(IDC_OUTPUT_DEVICE).Selection(), -1);  // KS offers no device here
    ASSERT_TRUE(c.Start());
    EXPECT_EQ(c.LastConfig().fifoSamples, 144);
    EXPECT_EQ(c.LastConfig().maxBlock, 96);
    EXPECT_EQ(out_.last.deviceId, "Default Device");
    EXPECT_EQ(out_.last.deviceName, "");
}

TEST_F(Controller, FailedOutputOpenClosesInputAndKeepsControls) {
    Init();
    out_.openResult = 1;
    out_.error = "Device busy";
    EXPECT_FALSE(ctl_->Start());
    EXPECT_FALSE(in_.open);
    EXPECT_EQ(view_.status, "Output Error:\nDevice busy");
    EXPECT_FALSE(ctl_->Running());
    EXPECT_TRUE(view_.enabled[IDC_START]);
    EXPECT_FALSE(view_.enabled[IDC_STOP]);
    // Status ticks while stopped leave the error alone.
    ctl_->OnStatusTick();
    EXPECT_EQ(view_.status, "Output Error:\nDevice busy");
}

TEST_F(Controller, FailedInputOpenNeverTriesTheOutput) {
    Init();
    in_.openResult = 2;
    in_.error = "Invalid sample rate!";
    EXPECT_FALSE(ctl_->Start());
    EXPECT_EQ(out_.opens, 0);
    EXPECT_EQ(view_.status, "Input Error:\nInvalid sample rate!");
}

TEST_F(Controller, StopInAnyStateAndStatusWrittenOnlyOnChange) {
    Init();
    ctl_->Stop();
    EXPECT_FALSE(in_.open);
    EXPECT_FALSE(out_.open);
    EXPECT_EQ(view_.status, "");
    EXPECT_TRUE(view_.enabled[IDC_INPUT_DEVICE]);
    EXPECT_FALSE(view_.enabled[IDC_STOP]);
    int writes = view_.statusWrites;
    ctl_->SetStatusText("");
    ctl_->SetStatusText("x");
    ctl_->SetStatusText("x");
    EXPECT_EQ(view_.statusWrites, writes + 1);

    ASSERT_TRUE(ctl_->Start());
    ctl_->OnStatusTick();
    EXPECT_EQ(view_.status.rfind("Input: 0.00 \t\tOutput:0.00 \nRatio: 1.0000\t\tOver: 0  Under: 0\n", 0), 0u)
        << view_.status;
    writes = view_.statusWrites;
    ctl_->OnStatusTick();
    EXPECT_EQ(view_.statusWrites, writes);  // same figures: no rewrite
    ctl_->Stop();
    EXPECT_EQ(view_.status, "");
}

TEST_F(Controller, FocusGoesToStopAndBackInsteadOfBeingLost) {
    Init();
    view_.focus = IDC_START;  // clicked, or Enter on the default button
    ASSERT_TRUE(ctl_->Start());
    EXPECT_EQ(view_.focus, IDC_STOP);
    ctl_->Stop();
    EXPECT_EQ(view_.focus, IDC_START);
    view_.focus = IDC_CHANNELS;  // Enter pressed while a list had the focus
    ASSERT_TRUE(ctl_->Start());
    EXPECT_EQ(view_.focus, IDC_STOP);
    view_.focus = IDC_INPUT_REPORT;
    ctl_->Stop();
    EXPECT_EQ(view_.focus, IDC_START);
    view_.focus = 0;  // the dialog was not active: nothing takes the focus
    ASSERT_TRUE(ctl_->Start());
    EXPECT_EQ(view_.focus, 0);
}

TEST_F(Controller, EveryValueChoiceIsWrittenAtOnce) {
    Init();
    const struct {
        int id;
        const char* section;
        const char* key;
        int value;
    } choices[] = {{IDC_INPUT_BUFCOUNT, "Input", "BufferCount", 3},   {IDC_INPUT_BUFSIZE, "Input", "BufferSize", 441},
                   {IDC_INPUT_SAMPLERATE, "Input", "Samplerate", 96000}, {IDC_OUTPUT_BUFCOUNT, "Output", "BufferCount", 16},
                   {IDC_OUTPUT_BUFSIZE, "Output", "BufferSize", 48},   {IDC_OUTPUT_SAMPLERATE, "Output", "Samplerate", 192000},
                   {IDC_CHANNELS, "Common", "Channels", 8}};
    for (const auto& c : choices) {
        ASSERT_TRUE(SelectValue(L(c.id), c.value));
        ctl_->OnValueChanged(c.id);
        EXPECT_EQ(IniReadInt(c.section, c.key, -1, ini_), c.value) << c.section << " " << c.key;
    }
    // Nothing but the choices: Started stays for the close to write.
    EXPECT_EQ(IniReadInt("Common", "Started", -1, ini_), -1);
}

TEST_F(Controller, UnmatchedInterfaceKeepsPortAndStoresEmptyText) {
    Init();
    int creates = in_.creates;
    L(IDC_INPUT_DEVICE).Select(1);
    L(IDC_INPUT_INTERFACE).Clear();
    ctl_->OnInterfaceChanged(Side::Input);
    EXPECT_EQ(in_.creates, creates);
    EXPECT_EQ(L(IDC_INPUT_DEVICE).Count(), 3);
    EXPECT_EQ(L(IDC_INPUT_DEVICE).Selection(), 1);
    EXPECT_EQ(IniReadString("Input", "Interface", "x", ini_), "");
}

TEST_F(Controller, DeviceChoicePerInterfaceSurvivesSwitching) {
    Init();
    L(IDC_OUTPUT_DEVICE).Select(2);
    ctl_->OnDeviceChanged(Side::Output);
    EXPECT_EQ(IniReadString("Output", "Wave_device", "", ini_), "CableB");
    SelectText(L(IDC_OUTPUT_INTERFACE), "DS");
    ctl_->OnInterfaceChanged(Side::Output);
    EXPECT_EQ(out_.type, 2);
    L(IDC_OUTPUT_DEVICE).Select(1);
    ctl_->OnDeviceChanged(Side::Output);
    SelectText(L(IDC_OUTPUT_INTERFACE), "Wave");
    ctl_->OnInterfaceChanged(Side::Output);
    EXPECT_EQ(ListText(L(IDC_OUTPUT_DEVICE)), "CableB");
    EXPECT_EQ(IniReadString("Output", "DS_device", "", ini_), "{A}");
    EXPECT_EQ(IniReadString("Output", "Interface", "", ini_), "Wave");
}

TEST_F(Controller, UnknownStoredValuesLeaveListsEmptyAndSaveZero) {
    WriteIni("[Input]\nBufferSize=500\n[Common]\nChannels=3\n");
    Init();
    EXPECT_EQ(L(IDC_INPUT_BUFSIZE).Selection(), -1);
    EXPECT_EQ(L(IDC_CHANNELS).Selection(), -1);
    // The ports would refuse a zero geometry; the fakes accept it, so the resampler's
    // refusal must still keep the bridge from running silently.
    EXPECT_FALSE(ctl_->Start());
    EXPECT_FALSE(in_.open);
    EXPECT_FALSE(out_.open);
    EXPECT_EQ(view_.status.rfind("Input Error:\n", 0), 0u);
    ctl_->SaveSettings();
    EXPECT_EQ(IniReadInt("Input", "BufferSize", -1, ini_), 0);
    EXPECT_EQ(IniReadInt("Common", "Channels", -1, ini_), 0);
    EXPECT_EQ(IniReadInt("Common", "Started", -1, ini_), 0);
}

TEST_F(Controller, StartedSevenStartsAutomaticallyAndCloseWritesOne) {
    WriteIni("[Common]\nStarted=7\n");
    Init();
    EXPECT_FALSE(autoStartFailed_);
    EXPECT_TRUE(ctl_->Running());
    EXPECT_TRUE(in_.open && out_.open);
    // The close path: settings first (Started=1), then Stop.
    ctl_->SaveSettings();
    ctl_->Stop();
    EXPECT_EQ(IniReadInt("Common", "Started", -1, ini_), 1);
    EXPECT_EQ(IniReadInt("Input", "BufferCount", -1, ini_), 8);
    EXPECT_EQ(IniReadInt("Output", "Samplerate", -1, ini_), 44100);
}

TEST_F(Controller, FailedAutomaticStartStaysVisibleWithUsableControls) {
    WriteIni("[Common]\nStarted=1\n");
    in_.openResult = 1;
    in_.error = "No such device";
    Init();
    EXPECT_TRUE(autoStartFailed_);
    EXPECT_FALSE(ctl_->Running());
    EXPECT_EQ(view_.status, "Input Error:\nNo such device");
    EXPECT_TRUE(view_.enabled[IDC_START]);
    EXPECT_TRUE(view_.enabled[IDC_INPUT_DEVICE]);
    EXPECT_FALSE(view_.enabled[IDC_STOP]);
    ctl_->OnStatusTick();
    EXPECT_EQ(view_.status, "Input Error:\nNo such device");
}

TEST_F(Controller, CallbacksFeedOnlySelectedChannelsAndClamp) {
    Init();
    ASSERT_TRUE(ctl_->Start());  // 2 channels
    std::vector<std::vector<int32_t>> bufs(8, std::vector<int32_t>(512, 1000));
    std::vector<const int32_t*> in;
    for (auto& b : bufs) in.push_back(b.data());
    ctl_->OnInputBlock(in.data(), 512);
    EXPECT_EQ(ctl_->Tracker(0).TakePeak(), 1000);
    EXPECT_EQ(ctl_->Tracker(1).TakePeak(), 1000);
    for (int i = 2; i < 8; ++i) EXPECT_EQ(ctl_->Tracker(i).TakePeak(), 0);

    MeterPanel panel;
    ConfigureMainMeters(panel);
    panel.Layout(87, 70);
    ctl_->OnInputBlock(in.data(), 512);
    ctl_->OnMeterTick(panel);
    EXPECT_EQ(panel.Bar(0).value, 508);
    EXPECT_EQ(panel.Bar(2).value, 0);

    std::vector<int32_t> a = {40000, -40000, 32767, -32768, 5}, b = {70000, 0, 0, 0, 0},
                         untouched = {99999, 0, 0, 0, 0};
    int32_t* out[] = {a.data(), b.data(), untouched.data()};
    ClampBlock(out, 2, 5);
    EXPECT_EQ(a, (std::vector<int32_t>{32767, -32768, 32767, -32768, 5}));
    EXPECT_EQ(b[0], 32767);
    EXPECT_EQ(untouched[0], 99999);

    std::vector<int32_t*> outs;
    for (auto& v : bufs) outs.push_back(v.data());
    bufs[0][0] = 1 << 20;
    ctl_->OnOutputBlock(outs.data(), 512);  // pulled silence (not primed), within range
    for (int c = 0; c < 2; ++c)
        for (int32_t v : bufs[static_cast<size_t>(c)]) ASSERT_TRUE(v >= -32768 && v <= 32767);
}

TEST_F(Controller, ReportDescribesTheOpenSide) {
    Init();
    ASSERT_TRUE(ctl_->Start());
    std::string r = ctl_->ReportText(Side::Input);
    EXPECT_EQ(r.rfind("*************** Capture Mode Report ***************\r\n", 0), 0u);
    EXPECT_NE(r.find("Device name: Wave Mapper\r\nDevice path: WAVE_MAPPER\r\nInterface: WaveRec\r\n"
                     "Sample rate: 44100    Number of blocks: 8    Samples per block: 512\r\n"),
              std::string::npos)
        << r;
    r = ctl_->ReportText(Side::Output);
    EXPECT_NE(r.find("Playback Mode Report"), std::string::npos);
    EXPECT_NE(r.find("Interface: WavePlay"), std::string::npos);
    ctl_->Stop();
}

}  // namespace

// A side whose stream fails while running: named in the status line, closed, reopened
// every second from its saved identifier once enumeration lists it again (wherever it
// now sits in the list), the other side never touched.
TEST_F(Controller, FailedSideIsReopenedEverySecondWithoutTouchingTheOther) {
    TestClock clock(5000);
    WriteIni("[Input]\nWave_device=CableA\n");
    BridgeController& c = Init();
    ASSERT_TRUE(c.Start());
    c.OnStatusTick();
    ASSERT_EQ(view_.status.rfind("Input: ", 0), 0u);

    in_.failed = true;
    in_.failure = "The device was removed";
    auto& waveIn = in_.devicesByType[1];
    waveIn.erase(waveIn.begin() + 1);  // CableA gone
    c.OnStatusTick();
    EXPECT_EQ(view_.status, "Input Error:\nThe device was removed");
    EXPECT_FALSE(in_.open);
    EXPECT_TRUE(c.Recovering(Side::Input));
    EXPECT_TRUE(view_.enabled[IDC_STOP]);

    g_nowMs = 5999;
    c.OnStatusTick();
    EXPECT_EQ(in_.opens, 1);  // not before a second
    g_nowMs = 6000;
    c.OnStatusTick();
    EXPECT_EQ(in_.opens, 1);  // absent: waited for, not replaced by the default device
    EXPECT_EQ(view_.status, "Input Error:\nDevice \"CableA\" is not present (waiting for it)");

    waveIn.push_back({"CableA", "CableA"});  // back, at another place in the list
    in_.openResult = 1;
    in_.error = "Device busy";
    g_nowMs = 7000;
    c.OnStatusTick();
    EXPECT_EQ(in_.opens, 2);
    EXPECT_EQ(view_.status, "Input Error:\nDevice busy");

    in_.openResult = 0;
    g_nowMs = 7500;
    c.OnStatusTick();
    EXPECT_EQ(in_.opens, 2);
    g_nowMs = 8000;
    c.OnStatusTick();
    EXPECT_EQ(in_.opens, 3);
    EXPECT_TRUE(in_.open);
    EXPECT_EQ(in_.last.deviceId, "CableA");
    EXPECT_FALSE(c.Recovering(Side::Input));
    EXPECT_EQ(view_.status.rfind("Input: ", 0), 0u);
    EXPECT_EQ(ListText(L(IDC_INPUT_DEVICE)), "CableA");  // the dialog's list untouched
    EXPECT_EQ(out_.opens, 1);
    EXPECT_EQ(out_.closes, 0);
    EXPECT_TRUE(out_.open);
}

// Stop ends the recovery; a failure without a platform text gets a plain one.
TEST_F(Controller, StopEndsRecovery) {
    TestClock clock(100);
    BridgeController& c = Init();
    ASSERT_TRUE(c.Start());
    out_.failed = true;
    c.OnStatusTick();
    EXPECT_EQ(view_.status, "Output Error:\nDevice stopped delivering audio");
    EXPECT_TRUE(in_.open);
    c.Stop();
    g_nowMs = 10000;
    c.OnStatusTick();
    EXPECT_EQ(out_.opens, 1);
    EXPECT_FALSE(out_.open);
    EXPECT_EQ(view_.status, "");
    EXPECT_FALSE(c.Recovering(Side::Output));
}

// An automatic start while the saved output device is missing runs with the output
// waiting for it (never the default device), keeps "Started" set, and opens the device
// when it appears.
TEST_F(Controller, AbsentDeviceAtAutomaticStartIsWaitedForAndStartedKept) {
    TestClock clock(0);
    WriteIni("[Output]\nWave_device=CableB\n[Common]\nStarted=1\n");
    auto& waveOut = out_.devicesByType[1];
    waveOut.pop_back();  // CableB missing at launch
    Init();
    EXPECT_FALSE(autoStartFailed_);
    EXPECT_TRUE(ctl_->Running());
    EXPECT_EQ(out_.opens, 0);
    EXPECT_TRUE(in_.open);
    EXPECT_EQ(view_.status, "Output Error:\nDevice \"CableB\" is not present (waiting for it)");
    ctl_->SaveSettings();
    EXPECT_EQ(IniReadInt("Common", "Started", -1, ini_), 1);
    EXPECT_EQ(IniReadString("Output", "Wave_device", "", ini_), "CableB");

    waveOut.push_back({"CableB", "CableB"});
    g_nowMs = 1000;
    ctl_->OnStatusTick();
    EXPECT_EQ(out_.opens, 1);
    EXPECT_EQ(out_.last.deviceId, "CableB");
    EXPECT_EQ(in_.opens, 1);
    EXPECT_EQ(view_.status.rfind("Input: ", 0), 0u);
}
