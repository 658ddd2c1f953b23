#include "app/Profile.h"

#include <windows.h>

std::string ProfileReadString(const char* section, const char* key, const char* def,
                              const std::string& file) {
    char buffer[256] = {};
    GetPrivateProfileStringA(section, key, def, buffer, sizeof buffer, file.c_str());
    return buffer;
}

int ProfileReadInt(const char* section, const char* key, int def, const std::string& file) {
    return static_cast<int>(GetPrivateProfileIntA(section, key, def, file.c_str()));
}

bool ProfileWriteString(const char* section, const char* key, const char* value,
                        const std::string& file) {
    return WritePrivateProfileStringA(section, key, value, file.c_str()) != FALSE;
}

bool ProfileWriteInt(const char* section, const char* key, int value, const std::string& file) {
    char text[16];
    wsprintfA(text, "%i", value);
    return ProfileWriteString(section, key, text, file);
}
