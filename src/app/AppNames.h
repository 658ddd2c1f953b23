// Names derived from the executable's path and the instance number: the process-wide
// instance-slot name, the settings-file path and the window title. Pure functions.
#pragma once

#include <cstddef>
#include <string>

inline constexpr const char* kVersionText = "0.92";
inline constexpr int kMaxInstances = 255;
// Longest name CreateMutexA takes: the name must convert into a MAX_PATH (260) buffer
// with its terminating zero; longer names fail and the slot would count as taken.
inline constexpr size_t kMaxSlotNameChars = 259;

// "c--program_files-velorand-velorand.exe_1": backslash, '*', '?', ':' become '-',
// blanks '_', "_N" appended, ASCII letters lower-cased. The path is cut at 260
// characters first, as the platform's module path buffer would. A name longer than
// kMaxSlotNameChars keeps its first characters and ends in "~" + 16 hex digits of a
// hash of the whole path + "_N", so it always fits; every shorter name is as above.
std::string InstanceSlotName(const std::string& exePath, int instance);

// Executable path without its extension (cut at the last dot of the whole path), then
// "_N" for instances 2 and up, then ".ini".
std::string SettingsPathFor(const std::string& exePath, int instance);

// "[N] " + title for instances 2 and up, the title itself for instance 1.
std::string InstanceTitle(const std::string& title, int instance);
