// The dialog's side of the WASAPI interface: both Interface lists offer "WASAPI" and
// "WASAPI Excl" after "KS", the settings file stores them by these texts, and each
// text makes its own interface type (4 shared, 5 exclusive) with its own saved device.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "app/BridgeController.h"
#include "app/Profile.h"
#include "app/resource.h"

namespace fs = std::filesystem;

namespace {

struct TypePort : BridgePort {
  int type = 0;
  std::string saved;
  void Create(bool, int t) override { type = t; }
  int FillDeviceList(ComboList& list, bool, const std::string& s) override {
    saved = s;
    list.Clear();
    return 0;
  }
  int GetSelectedDevice(const ComboList&, std::string&) override { return 0; }
  int Open(const SideOpenRequest&) override { return 1; }
  std::string ErrorText() const override { return {}; }
  void Close() override {}
  bool IsInput() const override { return false; }
  std::string Name() const override { return {}; }
  SideOpenRequest Params() const override { return {}; }
  bool HasDefaultDevice() const override { return true; }
  bool HasFailed() const override { return false; }
  std::string FailureText() const override { return {}; }
};

struct View : BridgeView {
  std::map<int, MemoryComboList> lists;
  ComboList& List(int id) override { return lists[id]; }
  void EnableControl(int, bool) override {}
  bool HasFocus(int) override { return false; }
  void FocusControl(int) override {}
  std::string ReadStatus() override { return {}; }
  void WriteStatus(const std::string&) override {}
  intptr_t Window() override { return 0; }
};

TEST(WasapiLists, BothListsOfferSharedAndExclusiveAfterKsAndTheSettingsKeepThem) {
  const fs::path dir = fs::temp_directory_path() / "velorand_wasapi_lists";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string ini = (dir / "Velorand.ini").string();
  std::ofstream(ini, std::ios::binary) << "[Input]\r\nInterface=WASAPI Excl\r\nWASAPI Excl_device={in}\r\n"
                                          "[Output]\r\nInterface=WASAPI\r\nWASAPI_device={out}\r\n";
  View view;
  TypePort in, out;
  AsyncResampler resampler;
  {
    BridgeController ctl(view, in, out, resampler, ini);
    ctl.FillLists();
    for (int id : {IDC_INPUT_INTERFACE, IDC_OUTPUT_INTERFACE}) {
      MemoryComboList& l = view.lists[id];
      ASSERT_EQ(l.Count(), 5);
      EXPECT_EQ(l.Text(2), "KS");
      EXPECT_EQ(l.Text(3), "WASAPI");
      EXPECT_EQ(l.Text(4), "WASAPI Excl");
    }
    ctl.LoadSettings();
    ctl.OnInterfaceChanged(Side::Input);
    ctl.OnInterfaceChanged(Side::Output);
    // The lists select by leading text: "WASAPI" must not land on "WASAPI Excl".
    EXPECT_EQ(ListText(view.lists[IDC_INPUT_INTERFACE]), "WASAPI Excl");
    EXPECT_EQ(ListText(view.lists[IDC_OUTPUT_INTERFACE]), "WASAPI");
    EXPECT_EQ(in.type, 5);
    EXPECT_EQ(out.type, 4);
    EXPECT_EQ(in.saved, "{in}");
    EXPECT_EQ(out.saved, "{out}");
    ctl.Shutdown();
  }
  EXPECT_EQ(ProfileReadString("Input", "Interface", "", ini), "WASAPI Excl");
  EXPECT_EQ(ProfileReadString("Output", "Interface", "", ini), "WASAPI");
  fs::remove_all(dir);
}

}  // namespace
