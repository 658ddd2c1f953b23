// The layer's doubly linked list (head, tail, count) of pointers it does not own. Entries
// are allocated without throwing, so a failed allocation is a result the caller handles
// (the layer reports E_OUTOFMEMORY) rather than an exception through driver code.
#pragma once

#include <cstdint>
#include <new>

template <typename T>
class KsList {
 public:
  struct Entry {
    T* item;
    Entry* prev;
    Entry* next;
  };

  KsList() = default;
  ~KsList() { Clear(); }
  KsList(const KsList&) = delete;
  KsList& operator=(const KsList&) = delete;

  // False when the entry could not be allocated; the list is unchanged then.
  bool AddTail(T* item) {
    Entry* e = new (std::nothrow) Entry{item, tail_, nullptr};
    if (!e) return false;
    if (tail_) tail_->next = e; else head_ = e;
    tail_ = e;
    ++count_;
    return true;
  }
  // Removes the first entry holding item; false when it is not listed.
  bool Remove(T* item) {
    for (Entry* e = head_; e; e = e->next) {
      if (e->item != item) continue;
      (e->prev ? e->prev->next : head_) = e->next;
      (e->next ? e->next->prev : tail_) = e->prev;
      delete e;
      --count_;
      return true;
    }
    return false;
  }
  bool Contains(const T* item) const {
    for (Entry* e = head_; e; e = e->next)
      if (e->item == item) return true;
    return false;
  }
  // Removes every entry (the items are not destroyed).
  void Clear() {
    while (head_) {
      Entry* next = head_->next;
      delete head_;
      head_ = next;
    }
    tail_ = nullptr;
    count_ = 0;
  }
  Entry* Head() const { return head_; }
  Entry* Tail() const { return tail_; }
  int32_t Count() const { return count_; }
  bool Empty() const { return count_ == 0; }

  // Range-for over the items, head to tail.
  struct Iterator {
    Entry* e;
    T* operator*() const { return e->item; }
    Iterator& operator++() { e = e->next; return *this; }
    bool operator!=(const Iterator& o) const { return e != o.e; }
  };
  Iterator begin() const { return Iterator{head_}; }
  Iterator end() const { return Iterator{nullptr}; }

 private:
  Entry* head_ = nullptr;
  Entry* tail_ = nullptr;
  int32_t count_ = 0;
};
