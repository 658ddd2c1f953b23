// A dialog combo box seen through ComboList, and the main dialog's controls seen
// through BridgeView. Window thread only.
#pragma once

#include <windows.h>

#include <map>
#include <memory>

#include "app/BridgeController.h"
#include "app/ValueLists.h"
#include "app/resource.h"

class ComboBoxList : public ComboList {
public:
    explicit ComboBoxList(HWND combo) : hwnd_(combo) {}
    HWND Handle() const { return hwnd_; }
    void Clear() override;
    int Add(const std::string& text, intptr_t data) override;
    int Count() const override;
    std::string Text(int index) const override;
    intptr_t Data(int index) const override;
    void SetData(int index, intptr_t data) override;
    int Selection() const override;
    void Select(int index) override;

private:
    HWND hwnd_;
};

// Every drop-down list of the main window.
inline constexpr int kListControls[] = {
    IDC_INPUT_INTERFACE,  IDC_INPUT_DEVICE,      IDC_INPUT_BUFCOUNT, IDC_INPUT_BUFSIZE,
    IDC_INPUT_SAMPLERATE, IDC_OUTPUT_INTERFACE,  IDC_OUTPUT_DEVICE,  IDC_OUTPUT_BUFCOUNT,
    IDC_OUTPUT_BUFSIZE,   IDC_OUTPUT_SAMPLERATE, IDC_CHANNELS};

// Widens the open drop-down of a combo box to its longest entry (never below the box's
// own width), so long device names show whole when the list is open.
void FitDroppedWidth(HWND combo);

class DialogBridgeView : public BridgeView {
public:
    explicit DialogBridgeView(HWND dialog) : dialog_(dialog) {}
    ComboList& List(int controlId) override;
    void EnableControl(int controlId, bool enable) override;
    bool HasFocus(int controlId) override;
    void FocusControl(int controlId) override;
    std::string ReadStatus() override;
    void WriteStatus(const std::string& text) override;
    intptr_t Window() override { return reinterpret_cast<intptr_t>(dialog_); }

private:
    HWND dialog_;
    std::map<int, std::unique_ptr<ComboBoxList>> lists_;
};
