// Runs a clean-up action when the scope that holds the guard ends, by return or by exception.
#pragma once

#include <functional>
#include <utility>

class ScopeGuard {
 public:
  explicit ScopeGuard(std::function<void()> callback) : callback_(std::move(callback)) {}
  ~ScopeGuard() {
    if (!dismissed_ && callback_) callback_();
  }
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;

  void Dismiss() { dismissed_ = true; }

 private:
  std::function<void()> callback_;
  bool dismissed_ = false;
};
