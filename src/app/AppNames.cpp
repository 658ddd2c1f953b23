#include "app/AppNames.h"

#include <cstdint>
#include <cstdio>

namespace {

// FNV-1a, 64 bits: stable across builds and platforms, which a slot name must be, since
// copies of different builds started from one path share their slots.
uint64_t Fnv1a64(const std::string& text) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

}  // namespace

std::string InstanceSlotName(const std::string& exePath, int instance) {
    std::string base = exePath.substr(0, 260);
    for (char& c : base) {
        if (c == '\\' || c == '*' || c == '?' || c == ':') c = '-';
        else if (c == ' ') c = '_';
        else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    std::string suffix(1, '_');
    suffix += std::to_string(instance);
    if (base.size() + suffix.size() <= kMaxSlotNameChars) return base + suffix;

    // Too long for a mutex name: keep the start of the path, readable in an object
    // viewer, and replace the rest by a hash of the whole (lower-cased) path, so that
    // long paths sharing their first couple of hundred characters still get slots of
    // their own.
    char hash[24];
    const int hashChars =
        std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(Fnv1a64(base)));
    const size_t keep = kMaxSlotNameChars - suffix.size() - static_cast<size_t>(hashChars);
    return base.substr(0, keep) + hash + suffix;
}

std::string SettingsPathFor(const std::string& exePath, int instance) {
    std::string base = exePath;
    size_t dot = base.rfind('.');
    if (dot != std::string::npos) base.erase(dot);
    if (instance > 1) base += "_" + std::to_string(instance);
    return base + ".ini";
}

std::string InstanceTitle(const std::string& title, int instance) {
    if (instance <= 1) return title;
    return "[" + std::to_string(instance) + "] " + title.substr(0, 255);
}
