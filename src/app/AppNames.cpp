#include "app/AppNames.h"

std::string InstanceSlotName(const std::string& exePath, int instance) {
    std::string name = exePath.substr(0, 260);
    for (char& c : name) {
        if (c == '\\' || c == '*' || c == '?' || c == ':') c = '-';
        else if (c == ' ') c = '_';
    }
    name += "_" + std::to_string(instance);
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return name;
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
