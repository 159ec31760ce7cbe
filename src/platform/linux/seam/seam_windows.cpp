#include "platform/linux/seam/seam_windows.h"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/linux/seam/seam.h"
#include "platform/linux/display/x11_windows.h"

namespace quorvel::platform {

namespace detail {
std::atomic<long>& LiveProcessObjects();
}  // namespace detail

namespace {

struct WindowsSeam {
  std::mutex mutex;
  std::unordered_map<std::string, std::size_t> calls;
  std::atomic<bool> virtual_time{false};
  std::atomic<unsigned long long> virtual_ms{0};
  std::atomic<bool> dpi_chosen{false};
  std::atomic<UINT> dpi_x{0};
  std::atomic<UINT> dpi_y{0};
};

// Never destroyed. Production calls count too, so a fork child makes its own: the parent's lock may be held by a
// thread the child does not have. The counts start again there; the settings are kept.
std::atomic<WindowsSeam*> the_state{nullptr};

void MakeAnewInChild() {
  WindowsSeam* old = the_state.load(std::memory_order_relaxed);
  auto* fresh = new WindowsSeam;
  if (old != nullptr) {
    fresh->virtual_time.store(old->virtual_time.load());
    fresh->virtual_ms.store(old->virtual_ms.load());
    fresh->dpi_x.store(old->dpi_x.load());
    fresh->dpi_y.store(old->dpi_y.load());
    fresh->dpi_chosen.store(old->dpi_chosen.load());
  }
  the_state.store(fresh, std::memory_order_release);
}

WindowsSeam& state() {
  static const bool fork_handled = pthread_atfork(nullptr, nullptr, &MakeAnewInChild) == 0;
  (void)fork_handled;
  WindowsSeam* s = the_state.load(std::memory_order_acquire);
  if (s != nullptr) return *s;
  auto* made = new WindowsSeam;
  if (the_state.compare_exchange_strong(s, made)) return *made;
  delete made;
  return *s;
}

}  // namespace

namespace detail {

void CountCall(std::string_view function) {
  WindowsSeam& s = state();
  std::lock_guard lock(s.mutex);
  ++s.calls[std::string(function)];
}

bool SeamVirtualSleep(DWORD milliseconds) {
  WindowsSeam& s = state();
  if (!s.virtual_time.load(std::memory_order_acquire)) return false;
  s.virtual_ms.fetch_add(milliseconds);
  return true;
}

bool SeamChosenDpi(UINT& x, UINT& y) {
  WindowsSeam& s = state();
  if (!s.dpi_chosen.load(std::memory_order_acquire)) return false;
  x = s.dpi_x.load();
  y = s.dpi_y.load();
  return true;
}

}  // namespace detail

namespace seam {

void FailNextHResult(std::string_view function, HRESULT result) { FailNext(function, static_cast<DWORD>(result)); }

void ChooseDpi(UINT x, UINT y) {
  WindowsSeam& s = state();
  s.dpi_x.store(x);
  s.dpi_y.store(y);
  s.dpi_chosen.store(true, std::memory_order_release);
}

void UseVirtualTime(bool on) { state().virtual_time.store(on, std::memory_order_release); }

unsigned long long VirtualMilliseconds() { return state().virtual_ms.load(); }

std::size_t OpenProcessHandles() { return static_cast<std::size_t>(detail::LiveProcessObjects().load()); }

std::size_t Calls(std::string_view function) {
  WindowsSeam& s = state();
  std::lock_guard lock(s.mutex);
  auto it = s.calls.find(std::string(function));
  return it == s.calls.end() ? 0 : it->second;
}

void ResetWindows() {
  WindowsSeam& s = state();
  {
    std::lock_guard lock(s.mutex);
    s.calls.clear();
  }
  s.virtual_time.store(false);
  s.virtual_ms.store(0);
  s.dpi_chosen.store(false);
}

}  // namespace seam
}  // namespace quorvel::platform
