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

void FitDroppedWidth(HWND combo) {
    if (!combo) return;
    HDC dc = GetDC(combo);
    if (!dc) return;
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(combo, WM_GETFONT, 0, 0)));
    ComboBoxList list(combo);
    int widest = 0;
    for (int i = 0; i < list.Count(); ++i) {
        const std::string text = list.Text(i);
        SIZE extent = {};
        if (GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &extent))
            widest = extent.cx > widest ? extent.cx : widest;
    }
    SelectObject(dc, old);
    ReleaseDC(combo, dc);
    // Room for the list's borders, the item margins and a vertical scroll bar.
    const int wanted = widest + 2 * GetSystemMetrics(SM_CXEDGE) + 8 + GetSystemMetrics(SM_CXVSCROLL);
    RECT rc = {};
    GetWindowRect(combo, &rc);
    SendMessageA(combo, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(wanted > rc.right - rc.left ? wanted : 0), 0);
}

ComboList& DialogBridgeView::List(int controlId) {
    auto& slot = lists_[controlId];
    if (!slot) slot = std::make_unique<ComboBoxList>(GetDlgItem(dialog_, controlId));
    return *slot;
}

void DialogBridgeView::EnableControl(int controlId, bool enable) {
    EnableWindow(GetDlgItem(dialog_, controlId), enable ? TRUE : FALSE);
}

bool DialogBridgeView::HasFocus(int controlId) { return GetFocus() == GetDlgItem(dialog_, controlId); }

void DialogBridgeView::FocusControl(int controlId) {
    // Not SetFocus: the dialog's own focus move also makes a push button the default one.
    SendMessageA(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog_, controlId)), TRUE);
}

std::string DialogBridgeView::ReadStatus() {
    char text[256] = {};
    GetDlgItemTextA(dialog_, IDC_STATUS, text, sizeof text);
    return text;
}

void DialogBridgeView::WriteStatus(const std::string& text) {
    SetDlgItemTextA(dialog_, IDC_STATUS, text.c_str());
}
