#include "app/ComboBox_win32.h"

#include "app/resource.h"

void ComboBoxList::Clear() { SendMessageA(hwnd_, CB_RESETCONTENT, 0, 0); }

int ComboBoxList::Add(const std::string& text, intptr_t data) {
    LRESULT i = SendMessageA(hwnd_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    if (i >= 0) SendMessageA(hwnd_, CB_SETITEMDATA, static_cast<WPARAM>(i), static_cast<LPARAM>(data));
    return static_cast<int>(i);
}

int ComboBoxList::Count() const { return static_cast<int>(SendMessageA(hwnd_, CB_GETCOUNT, 0, 0)); }

std::string ComboBoxList::Text(int index) const {
    LRESULT n = SendMessageA(hwnd_, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (n == CB_ERR || n < 0) return std::string();
    std::string s(static_cast<size_t>(n) + 1, '\0');
    LRESULT got = SendMessageA(hwnd_, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&s[0]));
    if (got == CB_ERR || got < 0) return std::string();
    s.resize(static_cast<size_t>(got));
    return s;
}

intptr_t ComboBoxList::Data(int index) const {
    LRESULT d = SendMessageA(hwnd_, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
    return static_cast<intptr_t>(d);
}

void ComboBoxList::SetData(int index, intptr_t data) {
    SendMessageA(hwnd_, CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(data));
}

int ComboBoxList::Selection() const {
    LRESULT s = SendMessageA(hwnd_, CB_GETCURSEL, 0, 0);
    return s == CB_ERR ? -1 : static_cast<int>(s);
}

void ComboBoxList::Select(int index) { SendMessageA(hwnd_, CB_SETCURSEL, static_cast<WPARAM>(index), 0); }

ComboList& DialogBridgeView::List(int controlId) {
    auto& slot = lists_[controlId];
    if (!slot) slot = std::make_unique<ComboBoxList>(GetDlgItem(dialog_, controlId));
    return *slot;
}

void DialogBridgeView::EnableControl(int controlId, bool enable) {
    EnableWindow(GetDlgItem(dialog_, controlId), enable ? TRUE : FALSE);
}

std::string DialogBridgeView::ReadStatus() {
    char text[256] = {};
    GetDlgItemTextA(dialog_, IDC_STATUS, text, sizeof text);
    return text;
}

void DialogBridgeView::WriteStatus(const std::string& text) {
    SetDlgItemTextA(dialog_, IDC_STATUS, text.c_str());
}
