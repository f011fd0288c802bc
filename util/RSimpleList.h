// Singly linked owning list used for the small collections of the server
// (messages, IP homes, access rules, libraries, listeners).
//
// The list owns its elements. Iteration is by cursor (`First`/`Next`), and
// `RemoveCurrent` unlinks and frees the element under the cursor, leaving the
// cursor so that the following `Next` yields the element after it. That makes
// "walk and drop" loops safe without the caller keeping a previous pointer.
#pragma once

#include <cstddef>
#include <utility>

namespace vantor {

template <typename T>
struct RListElem {
  T data;
  RListElem* next = nullptr;

  template <typename... A>
  explicit RListElem(A&&... args) : data(std::forward<A>(args)...) {}
};

template <typename T>
class RSimpleList {
 public:
  RSimpleList() = default;
  RSimpleList(const RSimpleList&) = delete;
  RSimpleList& operator=(const RSimpleList&) = delete;
  RSimpleList(RSimpleList&& other) noexcept { Swap(other); }
  RSimpleList& operator=(RSimpleList&& other) noexcept {
    if (this != &other) {
      Clear();
      Swap(other);
    }
    return *this;
  }
  ~RSimpleList() { Clear(); }

  // Appends at the tail; returns the stored value.
  template <typename... A>
  T& Append(A&&... args) {
    auto* e = new RListElem<T>(std::forward<A>(args)...);
    if (tail_ != nullptr) {
      tail_->next = e;
    } else {
      head_ = e;
    }
    tail_ = e;
    ++count_;
    return e->data;
  }

  // Inserts at the head; returns the stored value.
  template <typename... A>
  T& Prepend(A&&... args) {
    auto* e = new RListElem<T>(std::forward<A>(args)...);
    e->next = head_;
    head_ = e;
    if (tail_ == nullptr) tail_ = e;
    ++count_;
    return e->data;
  }

  // Cursor walk. Returns nullptr at the end.
  T* First() {
    prev_ = nullptr;
    cur_ = head_;
    removed_ = false;
    return cur_ != nullptr ? &cur_->data : nullptr;
  }
  T* Next() {
    if (removed_) {
      removed_ = false;
      cur_ = prev_ != nullptr ? prev_->next : head_;
    } else if (cur_ != nullptr) {
      prev_ = cur_;
      cur_ = cur_->next;
    }
    return cur_ != nullptr ? &cur_->data : nullptr;
  }

  // Unlinks and frees the element under the cursor.
  void RemoveCurrent() {
    if (cur_ == nullptr || removed_) return;
    RListElem<T>* victim = cur_;
    if (prev_ != nullptr) {
      prev_->next = victim->next;
    } else {
      head_ = victim->next;
    }
    if (tail_ == victim) tail_ = prev_;
    cur_ = nullptr;
    removed_ = true;
    --count_;
    delete victim;
  }

  // Removes every element for which pred(value) is true; returns how many.
  template <typename P>
  size_t RemoveIf(P pred) {
    size_t n = 0;
    for (T* v = First(); v != nullptr; v = Next()) {
      if (pred(*v)) {
        RemoveCurrent();
        ++n;
      }
    }
    return n;
  }

  void Clear() {
    while (head_ != nullptr) {
      RListElem<T>* n = head_->next;
      delete head_;
      head_ = n;
    }
    tail_ = prev_ = cur_ = nullptr;
    removed_ = false;
    count_ = 0;
  }

  size_t Count() const { return count_; }
  bool Empty() const { return count_ == 0; }

  // Read-only range-for support; do not modify the list while iterating so.
  class ConstIter {
   public:
    explicit ConstIter(const RListElem<T>* e) : e_(e) {}
    const T& operator*() const { return e_->data; }
    ConstIter& operator++() {
      e_ = e_->next;
      return *this;
    }
    bool operator!=(const ConstIter& o) const { return e_ != o.e_; }

   private:
    const RListElem<T>* e_;
  };
  ConstIter begin() const { return ConstIter(head_); }
  ConstIter end() const { return ConstIter(nullptr); }

 private:
  void Swap(RSimpleList& o) noexcept {
    std::swap(head_, o.head_);
    std::swap(tail_, o.tail_);
    std::swap(count_, o.count_);
    prev_ = cur_ = o.prev_ = o.cur_ = nullptr;
    removed_ = o.removed_ = false;
  }

  RListElem<T>* head_ = nullptr;
  RListElem<T>* tail_ = nullptr;
  RListElem<T>* prev_ = nullptr;
  RListElem<T>* cur_ = nullptr;
  bool removed_ = false;
  size_t count_ = 0;
};

}  // namespace vantor
