// The device list an AudioPort fills and reads: in the program a drop-down list of the
// dialog, in tests a MemoryDeviceList. Entries keep the order they are added in; each
// carries an integer datum (the port stores the device index, -2 for "Disable").
// Window thread only.
//
// The operations match the dialog's own list abstraction one for one, so one adapter
// class can implement both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class DeviceList {
 public:
  virtual ~DeviceList() = default;
  virtual void Clear() = 0;
  // Appends and returns the new entry's index.
  virtual int Add(const std::string& text, intptr_t data) = 0;
  virtual int Count() const = 0;
  virtual std::string Text(int index) const = 0;
  virtual intptr_t Data(int index) const = 0;
  virtual void SetData(int index, intptr_t data) = 0;
  virtual int Selection() const = 0;   // -1 when nothing is selected
  virtual void Select(int index) = 0;  // -1 clears the selection
};

// A list held in memory.
class MemoryDeviceList : public DeviceList {
 public:
  void Clear() override { entries_.clear(); sel_ = -1; }
  int Add(const std::string& text, intptr_t data) override {
    entries_.push_back({text, data});
    return static_cast<int>(entries_.size()) - 1;
  }
  int Count() const override { return static_cast<int>(entries_.size()); }
  std::string Text(int i) const override { return Valid(i) ? entries_[i].text : std::string(); }
  intptr_t Data(int i) const override { return Valid(i) ? entries_[i].data : -1; }
  void SetData(int i, intptr_t data) override { if (Valid(i)) entries_[i].data = data; }
  int Selection() const override { return sel_; }
  void Select(int i) override { sel_ = Valid(i) ? i : -1; }

 private:
  bool Valid(int i) const { return i >= 0 && i < Count(); }
  struct Entry {
    std::string text;
    intptr_t data;
  };
  std::vector<Entry> entries_;
  int sel_ = -1;
};
