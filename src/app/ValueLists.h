// The dialog's drop-down lists seen from portable code: a small list interface (the
// Win32 dialog wraps a combo box, tests use MemoryComboList), the fixed value tables,
// and the reading and selecting rules every list follows. Window thread only.
#pragma once

#include "audio/DeviceList.h"

#include <cstdint>
#include <string>
#include <vector>

// The dialog's lists are the same abstraction the audio port fills with devices, so one
// combo-box wrapper serves both.
using ComboList = DeviceList;
using MemoryComboList = MemoryDeviceList;

// The value tables, in the order the lists show them.
const std::vector<int>& BufferSizeValues();   // 48 … 4096 frames
const std::vector<int>& BufferCountValues();  // 2, 3, 4, 6, 8, 12, 16
const std::vector<int>& SampleRateValues();   // 44100 … 192000
const std::vector<int>& ChannelValues();      // 2, 4, 6, 8

// Replaces the list's entries by the values as plain decimal text.
void FillValues(ComboList& list, const std::vector<int>& values);
void FillTexts(ComboList& list, const std::vector<std::string>& texts);

// Leading integer of the selected entry's text; 0 with no selection.
int ListValue(const ComboList& list);
// The selected entry's text; empty with no selection.
std::string ListText(const ComboList& list);
// Selects the first entry whose text converts to value; leaves the selection otherwise.
bool SelectValue(ComboList& list, int value);
// Selects the first entry that begins with text (ASCII case ignored); leaves the
// selection otherwise.
bool SelectText(ComboList& list, const std::string& text);
