#pragma once
// A kernel handle closed on every path. Null and INVALID_HANDLE_VALUE both
// mean "none": the API answers failure with one or the other, call by call.
#include <windows.h>

namespace tb::platform {

inline bool UsableHandle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : h_(h) {}
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return UsableHandle(h_); }
  // For a call that hands back a handle through a pointer.
  HANDLE* out() {
    Reset();
    return &h_;
  }
  void Reset(HANDLE h = nullptr) {
    if (UsableHandle(h_)) ::CloseHandle(h_);
    h_ = h;
  }
  HANDLE Release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }

 private:
  HANDLE h_;
};

}  // namespace tb::platform
