#include "app/PrivateProfile.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <io.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

struct Line {
    std::string text;  // without its line ending
    std::string eol;   // "\r\n", "\n" or "" (last line without ending)
};

enum class FileRead { Ok, Missing, Failed };

// The whole file. Only a regular file is read: a directory or a pipe under the settings
// name fails at once instead of hanging the window thread. forUpdate also fails for a
// file that may not be written (read-only attribute, no write permission), so that a
// writer never replaces what it could not have changed in place.
FileRead ReadText(const std::string& file, bool forUpdate, std::string& data, fs::perms* mode) {
    std::error_code ec;
    const fs::file_status st = fs::status(file, ec);
    if (st.type() == fs::file_type::not_found) return FileRead::Missing;
    if (ec || st.type() != fs::file_type::regular) return FileRead::Failed;
    constexpr fs::perms anyWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if (forUpdate && (st.permissions() & anyWrite) == fs::perms::none) return FileRead::Failed;
    if (mode) *mode = st.permissions();
    std::FILE* in = std::fopen(file.c_str(), forUpdate ? "r+b" : "rb");
    if (!in) return FileRead::Failed;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) data.append(buffer, n);
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    return failed ? FileRead::Failed : FileRead::Ok;
}

std::vector<Line> SplitLines(const std::string& data) {
    std::vector<Line> lines;
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
    return lines;
}

// A missing or unreadable file reads as empty: the reader then gives the defaults.
bool ReadLines(const std::string& file, std::vector<Line>& lines) {
    std::string data;
    if (ReadText(file, false, data, nullptr) != FileRead::Ok) return false;
    lines = SplitLines(data);
    return true;
}

// Content on the disk before the name points at it: a crash, a log-off or a power cut
// leaves either the old file or the new one, never a torn or empty one.
bool WriteDurably(const std::string& path, const std::string& content) {
    std::FILE* o = std::fopen(path.c_str(), "wb");
    if (!o) return false;
    bool ok = std::fwrite(content.data(), 1, content.size(), o) == content.size() && std::fflush(o) == 0;
#ifdef _WIN32
    ok = ok && _commit(_fileno(o)) == 0;
#else
    ok = ok && fsync(fileno(o)) == 0;
#endif
    ok = std::fclose(o) == 0 && ok;
    return ok;
}

// One rename that replaces the target, so no moment exists without a settings file.
bool RenameOver(const std::string& from, const std::string& to) {
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
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
    std::string data;
    fs::perms mode = fs::perms::unknown;
    const FileRead read = ReadText(file, true, data, &mode);
    // A file that exists but cannot be read is not an empty one: replacing it would
    // lose every other setting in it.
    if (read == FileRead::Failed) return false;
    std::vector<Line> lines = SplitLines(data);
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

    const std::string tmp = file + ".tmp";
    if (!WriteDurably(tmp, out)) {
        std::remove(tmp.c_str());
        return false;
    }
    if (read == FileRead::Ok) {
        std::error_code ignored;  // the new file keeps the old one's permissions
        fs::permissions(tmp, mode, ignored);
    }
    if (!RenameOver(tmp, file)) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}
