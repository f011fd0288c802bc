// Intrusive doubly linked list: the element embeds an RDblLink and the list
// never owns it. All sessions and all sockets of the process are linked this
// way, newest first, so an element can unlink itself in O(1) from its
// destructor.
//
// `Unlink` is safe during a walk that uses `NextOf` taken before the call
// (see `ForEachSafe`).
#pragma once

#include <cstddef>

namespace vantor {

struct RDblLink {
  RDblLink* next = nullptr;
  RDblLink* prev = nullptr;
  void* owner = nullptr;  // the element that embeds this link
  bool linked = false;
};

template <typename T, RDblLink T::*Link>
class RDblLinkedList {
 public:
  RDblLinkedList() = default;
  RDblLinkedList(const RDblLinkedList&) = delete;
  RDblLinkedList& operator=(const RDblLinkedList&) = delete;

  // Links at the head (newest first). A linked element is left alone.
  void PushFront(T* obj) {
    RDblLink& l = obj->*Link;
    if (l.linked) return;
    l.owner = obj;
    l.prev = nullptr;
    l.next = head_;
    if (head_ != nullptr) head_->prev = &l;
    head_ = &l;
    l.linked = true;
    ++count_;
  }

  void Unlink(T* obj) {
    RDblLink& l = obj->*Link;
    if (!l.linked) return;
    if (l.prev != nullptr) {
      l.prev->next = l.next;
    } else {
      head_ = l.next;
    }
    if (l.next != nullptr) l.next->prev = l.prev;
    l.next = l.prev = nullptr;
    l.linked = false;
    --count_;
  }

  T* Head() const { return FromLink(head_); }
  static T* NextOf(T* obj) { return FromLink((obj->*Link).next); }
  size_t Count() const { return count_; }
  bool Empty() const { return count_ == 0; }

  // Calls f(T*) for every element; f may unlink (or destroy) the element it
  // is given, never another one.
  template <typename F>
  void ForEachSafe(F f) {
    for (T* cur = Head(); cur != nullptr;) {
      T* next = NextOf(cur);
      f(cur);
      cur = next;
    }
  }

 private:
  static T* FromLink(RDblLink* l) { return l != nullptr ? static_cast<T*>(l->owner) : nullptr; }

  RDblLink* head_ = nullptr;
  size_t count_ = 0;
};

}  // namespace vantor
