// The dialog's drop-down lists seen from portable code: a small list interface (the
// Win32 dialog wraps a combo box, tests use MemoryComboList), the fixed value tables,
// and the reading and selecting rules every list follows. Window thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ComboList {
public:
    virtual ~ComboList() = default;
    virtual void Clear() = 0;
    // Appends (the lists are unsorted) and returns the new entry's index.
    virtual int Add(const std::string& text, intptr_t data) = 0;
    virtual int Count() const = 0;
    virtual std::string Text(int index) const = 0;
    virtual intptr_t Data(int index) const = 0;
    virtual void SetData(int index, intptr_t data) = 0;
    virtual int Selection() const = 0;   // -1 when nothing is selected
    virtual void Select(int index) = 0;  // -1 clears the selection
};

// A list held in memory: the tests' combo box.
class MemoryComboList : public ComboList {
public:
    void Clear() override { entries_.clear(); sel_ = -1; }
    int Add(const std::string& text, intptr_t data) override {
        entries_.push_back({text, data});
        return static_cast<int>(entries_.size()) - 1;
    }
    int Count() const override { return static_cast<int>(entries_.size()); }
    std::string Text(int i) const override { return Valid(i) ? entries_[i].text : std::string(); }
    intptr_t Data(int i) const override { return Valid(i) ? entries_[i].data : -1; }
    void SetData(int i, intptr_t data) override { if (Valid(i)) entries_[i].data = data; }
    int Selection() const override { return sel_; }
    void Select(int i) override { sel_ = Valid(i) ? i : -1; }

private:
    bool Valid(int i) const { return i >= 0 && i < Count(); }
    struct Entry { std::string text; intptr_t data; };
    std::vector<Entry> entries_;
    int sel_ = -1;
};

// The value tables, in the order the lists show them.
const std::vector<int>& BufferSizeValues();   // 48 … 4096 frames
const std::vector<int>& BufferCountValues();  // 2, 3, 4, 6, 8, 12, 16
const std::vector<int>& SampleRateValues();   // 44100 … 192000
const std::vector<int>& ChannelValues();      // 2, 4, 6, 8

// Replaces the list's entries by the values as plain decimal text.
void FillValues(ComboList& list, const std::vector<int>& values);
void FillTexts(ComboList& list, const std::vector<std::string>& texts);

// Leading integer of the selected entry's text; 0 with no selection.
int ListValue(const ComboList& list);
// The selected entry's text; empty with no selection.
std::string ListText(const ComboList& list);
// Selects the first entry whose text converts to value; leaves the selection otherwise.
bool SelectValue(ComboList& list, int value);
// Selects the first entry that begins with text (ASCII case ignored); leaves the
// selection otherwise.
bool SelectText(ComboList& list, const std::string& text);
