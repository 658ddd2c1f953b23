// Private-profile (INI) files: the project's own reader and writer, used by the native
// build and by tests; on Windows the program goes through the platform's functions
// (Profile.h picks). Window thread only; every call goes to the file, nothing is cached.
//
// Format: "[section]" headers, "key=value" lines. Section and key names compare without
// regard to ASCII case; values are single-byte text. A write replaces the key's value
// or appends the key at the end of its section (the section, and the file, are created
// when missing); every other line, comments and blank lines included, stays as it was.
#pragma once

#include <string>

// The value of key in section, or def when the file, the section or the key is missing.
std::string IniReadString(const char* section, const char* key, const char* def,
                          const std::string& file);

// def when the key is missing; otherwise the decimal integer at the start of the value
// (an optional sign, then digits; 0 when there are none).
int IniReadInt(const char* section, const char* key, int def, const std::string& file);

// Returns false, and changes nothing, when an existing file cannot be read or may not be
// written (read-only), or when the new content cannot be written. The new content goes
// to a temporary file beside it, flushed to the disk, that replaces the old file in one
// atomic rename: at every moment the name holds either the old file or the new one.
bool IniWriteString(const char* section, const char* key, const char* value,
                    const std::string& file);

// The leading-integer conversion shared with the numeric lists (as atoi, without
// overflow: values beyond the int range saturate).
int LeadingInt(const char* text);
