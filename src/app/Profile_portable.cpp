#include "app/Profile.h"

#include "app/PrivateProfile.h"

std::string ProfileReadString(const char* section, const char* key, const char* def,
                              const std::string& file) {
    return IniReadString(section, key, def, file);
}

int ProfileReadInt(const char* section, const char* key, int def, const std::string& file) {
    return IniReadInt(section, key, def, file);
}

bool ProfileWriteString(const char* section, const char* key, const char* value,
                        const std::string& file) {
    return IniWriteString(section, key, value, file);
}

bool ProfileWriteInt(const char* section, const char* key, int value, const std::string& file) {
    return ProfileWriteString(section, key, std::to_string(value).c_str(), file);
}
