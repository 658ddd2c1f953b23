#include "app/ValueLists.h"

#include "app/PrivateProfile.h"

const std::vector<int>& BufferSizeValues() {
    static const std::vector<int> v = {48,  64,  96,   120,  128,  144,  160,  192,
                                       240, 256, 384,  441,  480,  512,  768,  882,
                                       960, 1024, 1536, 1920, 2048, 3072, 3840, 4096};
    return v;
}

const std::vector<int>& BufferCountValues() {
    // Counting from 2 by a step of 1 that doubles after the second and the fourth step.
    static const std::vector<int> v = [] {
        std::vector<int> r;
        int value = 2, step = 1;
        for (int i = 0; i < 7; ++i) {
            r.push_back(value);
            if (i == 2 || i == 4) step *= 2;
            value += step;
        }
        return r;
    }();
    return v;
}

const std::vector<int>& SampleRateValues() {
    static const std::vector<int> v = {44100, 48000, 88200, 96000, 176400, 192000};
    return v;
}

const std::vector<int>& ChannelValues() {
    static const std::vector<int> v = {2, 4, 6, 8};
    return v;
}

void FillValues(ComboList& list, const std::vector<int>& values) {
    list.Clear();
    for (int v : values) list.Add(std::to_string(v), 0);
}

void FillTexts(ComboList& list, const std::vector<std::string>& texts) {
    list.Clear();
    for (const std::string& t : texts) list.Add(t, 0);
}

int ListValue(const ComboList& list) {
    int sel = list.Selection();
    if (sel < 0) return 0;
    return LeadingInt(list.Text(sel).c_str());
}

std::string ListText(const ComboList& list) {
    int sel = list.Selection();
    return sel < 0 ? std::string() : list.Text(sel);
}

bool SelectValue(ComboList& list, int value) {
    for (int i = 0; i < list.Count(); ++i)
        if (LeadingInt(list.Text(i).c_str()) == value) {
            list.Select(i);
            return true;
        }
    return false;
}

static char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SelectText(ComboList& list, const std::string& text) {
    for (int i = 0; i < list.Count(); ++i) {
        std::string entry = list.Text(i);
        if (entry.size() < text.size()) continue;
        bool match = true;
        for (size_t k = 0; k < text.size() && match; ++k) match = Lower(entry[k]) == Lower(text[k]);
        if (match) {
            list.Select(i);
            return true;
        }
    }
    return false;
}
