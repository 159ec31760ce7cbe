// Owner of at most one counted reference to a COM interface, for the locals of the capture: whatever path a
// call leaves by, each interface it obtained is released exactly once, in the reverse order of declaration.
#pragma once

#include "platform/win32.h"

template <typename T>
class ComHolder {
 public:
  ComHolder() = default;
  virtual ~ComHolder() { Reset(); }

  // Never copied: a copy would need its own reference, and the capture has no use for one.
  ComHolder(const ComHolder&) = delete;
  ComHolder& operator=(const ComHolder&) = delete;

  void Reset() {
    if (ptr_ != nullptr) {
      ptr_->Release();
      ptr_ = nullptr;
    }
  }

  // Keeps a reference of its own to `ptr`.
  ComHolder& operator=(T* ptr) {
    Reset();
    if (ptr != nullptr) {
      ptr->AddRef();
      ptr_ = ptr;
    }
    return *this;
  }

  // The out-parameter of a call that returns a new reference, which the holder then owns without an AddRef.
  // Anything still held is released first, so a reference cannot be overwritten and lost.
  T** operator&() {
    Reset();
    return &ptr_;
  }

  // Hands the reference to the caller without a Release.
  T* Detach() {
    T* ptr = ptr_;
    ptr_ = nullptr;
    return ptr;
  }

  T* Get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  T* ptr_ = nullptr;
};

// The out-parameter of QueryInterface, GetParent and the like, which take the interface's address as void**.
template <typename T>
void** OutParam(ComHolder<T>& holder) {
  return reinterpret_cast<void**>(&holder);
}
