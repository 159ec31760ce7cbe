#include "platform/linux/seam/seam_windows.h"

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

WindowsSeam& state() {
  static WindowsSeam* s = new WindowsSeam;
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
