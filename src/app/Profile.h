// The three private-profile operations the settings go through: the platform's on
// Windows (Profile_win32.cpp), the project's own INI implementation elsewhere
// (Profile_portable.cpp). Window thread only.
#pragma once

#include <string>

std::string ProfileReadString(const char* section, const char* key, const char* def,
                              const std::string& file);
int ProfileReadInt(const char* section, const char* key, int def, const std::string& file);
// A failed write is not reported to the user; the result is for callers that care.
bool ProfileWriteString(const char* section, const char* key, const char* value,
                        const std::string& file);
bool ProfileWriteInt(const char* section, const char* key, int value, const std::string& file);
