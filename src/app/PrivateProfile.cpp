#include "app/PrivateProfile.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <vector>

namespace {

struct Line {
    std::string text;  // without its line ending
    std::string eol;   // "\r\n", "\n" or "" (last line without ending)
};

bool ReadLines(const std::string& file, std::vector<Line>& lines) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t pos = 0;
    while (pos < data.size()) {
        size_t nl = data.find('\n', pos);
        Line l;
        if (nl == std::string::npos) {
            l.text = data.substr(pos);
            pos = data.size();
        } else {
            size_t end = nl;
            if (end > pos && data[end - 1] == '\r') {
                --end;
                l.eol = "\r\n";
            } else {
                l.eol = "\n";
            }
            l.text = data.substr(pos, end - pos);
            pos = nl + 1;
        }
        lines.push_back(std::move(l));
    }
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && IsBlank(s[a])) ++a;
    while (b > a && IsBlank(s[b - 1])) --b;
    return s.substr(a, b - a);
}

bool EqualNoCase(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Section name of a header line, or false when the line is not a header.
bool SectionName(const std::string& text, std::string& name) {
    std::string t = Trim(text);
    if (t.size() < 2 || t[0] != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

// Key and value of a key line; comment lines (';') and lines without '=' are not keys.
bool KeyValue(const std::string& text, std::string& key, std::string& value) {
    std::string t = Trim(text);
    if (t.empty() || t[0] == ';') return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    // The platform strips one pair of enclosing quotes from a value.
    if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                              (value.front() == '\'' && value.back() == '\'')))
        value = value.substr(1, value.size() - 2);
    return true;
}

struct Found {
    long sectionLine = -1;  // header line of the first matching section
    long sectionEnd = -1;   // one past the last line of that section
    long lastKeyLine = -1;  // last non-blank line inside the section
    long keyLine = -1;      // line of the key, when present
    std::string value;
};

Found Locate(const std::vector<Line>& lines, const char* section, const char* key) {
    Found f;
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string name;
        if (SectionName(lines[i].text, name)) {
            if (inSection) {
                f.sectionEnd = static_cast<long>(i);
                return f;
            }
            if (EqualNoCase(name, section)) {
                inSection = true;
                f.sectionLine = static_cast<long>(i);
                f.lastKeyLine = static_cast<long>(i);
            }
            continue;
        }
        if (!inSection) continue;
        if (!Trim(lines[i].text).empty()) f.lastKeyLine = static_cast<long>(i);
        std::string k, v;
        if (f.keyLine < 0 && KeyValue(lines[i].text, k, v) && EqualNoCase(k, key)) {
            f.keyLine = static_cast<long>(i);
            f.value = v;
        }
    }
    if (inSection) f.sectionEnd = static_cast<long>(lines.size());
    return f;
}

}  // namespace

int LeadingInt(const char* text) {
    if (!text) return 0;
    while (IsBlank(*text)) ++text;
    bool negative = false;
    if (*text == '-' || *text == '+') {
        negative = *text == '-';
        ++text;
    }
    long long v = 0;
    while (*text >= '0' && *text <= '9') {
        v = v * 10 + (*text - '0');
        if (v > 1LL << 40) v = 1LL << 40;  // saturate below, no overflow
        ++text;
    }
    if (negative) v = -v;
    if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

std::string IniReadString(const char* section, const char* key, const char* def,
                          const std::string& file) {
    std::vector<Line> lines;
    if (ReadLines(file, lines)) {
        Found f = Locate(lines, section, key);
        if (f.keyLine >= 0) return f.value;
    }
    return def ? def : "";
}

int IniReadInt(const char* section, const char* key, int def, const std::string& file) {
    std::vector<Line> lines;
    if (!ReadLines(file, lines)) return def;
    Found f = Locate(lines, section, key);
    if (f.keyLine < 0) return def;
    return LeadingInt(f.value.c_str());
}

bool IniWriteString(const char* section, const char* key, const char* value,
                    const std::string& file) {
    std::vector<Line> lines;
    ReadLines(file, lines);
    // New lines take the ending the file already uses, CR LF for a new file.
    std::string eol = "\r\n";
    for (const Line& l : lines)
        if (!l.eol.empty()) {
            eol = l.eol;
            break;
        }
    std::string keyLine = std::string(key) + "=" + (value ? value : "");
    Found f = Locate(lines, section, key);
    if (f.keyLine >= 0) {
        lines[f.keyLine].text = keyLine;
    } else if (f.sectionLine >= 0) {
        // Append behind the section's last non-blank line, so blank separators stay
        // between sections.
        size_t at = static_cast<size_t>(f.lastKeyLine) + 1;
        if (lines[at - 1].eol.empty()) lines[at - 1].eol = eol;
        lines.insert(lines.begin() + static_cast<long>(at), Line{keyLine, eol});
    } else {
        if (!lines.empty() && lines.back().eol.empty()) lines.back().eol = eol;
        lines.push_back(Line{"[" + std::string(section) + "]", eol});
        lines.push_back(Line{keyLine, eol});
    }
    std::string out;
    for (const Line& l : lines) out += l.text + l.eol;

    std::string tmp = file + ".tmp";
    {
        std::ofstream o(tmp, std::ios::binary | std::ios::trunc);
        if (!o) return false;
        o.write(out.data(), static_cast<std::streamsize>(out.size()));
        o.flush();
        if (!o) {
            o.close();
            std::remove(tmp.c_str());
            return false;
        }
    }
#ifdef _WIN32
    // rename() does not replace an existing file on Windows.
    std::remove(file.c_str());
#endif
    if (std::rename(tmp.c_str(), file.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}
