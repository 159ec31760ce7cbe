#include "platform/linux/seam/seam.h"

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/linux/base/errors.h"
#include "platform/linux/files/fs_event.h"
#include "platform/linux/base/handle_table.h"

namespace quorvel::platform {

namespace {

struct SeamState {
  std::mutex mutex;
  std::unordered_map<std::string, DWORD> failures;
  std::atomic<bool> armed{false};  // lets production calls skip the lock
  std::atomic<DWORD> cancelled_read_error{ERROR_SUCCESS};
  std::atomic<std::size_t> backlog_limit{0};
  std::atomic<bool> windows_backlog{false};
};

SeamState& state() {
  static SeamState* s = new SeamState;
  return *s;
}

}  // namespace

namespace detail {

Counters& counters() {
  static Counters* c = new Counters;
  return *c;
}

bool SeamConsumeFailure(std::string_view function, DWORD& error) {
  SeamState& s = state();
  if (!s.armed.load(std::memory_order_acquire)) return false;
  std::lock_guard lock(s.mutex);
  auto it = s.failures.find(std::string(function));
  if (it == s.failures.end()) return false;
  error = it->second;
  s.failures.erase(it);
  s.armed.store(!s.failures.empty(), std::memory_order_release);
  return true;
}

DWORD SeamCancelledReadError() { return state().cancelled_read_error.load(); }

std::size_t SeamBacklogLimit(std::size_t default_limit) {
  const std::size_t limit = state().backlog_limit.load(std::memory_order_relaxed);
  return limit ? limit : default_limit;
}

bool SeamWindowsBacklog() { return state().windows_backlog.load(std::memory_order_relaxed); }

}  // namespace detail

namespace seam {

void FailNext(std::string_view function, DWORD error) {
  SeamState& s = state();
  std::lock_guard lock(s.mutex);
  s.failures[std::string(function)] = error;
  s.armed.store(true, std::memory_order_release);
}

bool CompleteRead(HANDLE directory, DWORD error) { return detail::CompleteOutstandingRead(directory, error); }

void InjectQueueOverflow() { detail::InjectQueueOverflow(); }

void SetCancelledReadError(DWORD error) { state().cancelled_read_error.store(error); }

void SetBacklogLimit(std::size_t records) { state().backlog_limit.store(records); }

void SetWindowsBacklog(bool on) { state().windows_backlog.store(on); }

void ReuseHandleValue(HANDLE value) { detail::ForceNextHandleValue(value); }

std::size_t OpenHandles() { return detail::OpenHandleCount(); }
std::size_t LivePorts() { return static_cast<std::size_t>(detail::counters().live_ports.load()); }
std::size_t QueuedPackets() { return static_cast<std::size_t>(detail::counters().queued_packets.load()); }
std::size_t OutstandingReads() { return static_cast<std::size_t>(detail::counters().outstanding_reads.load()); }
std::size_t BatchPauses() { return static_cast<std::size_t>(detail::counters().batch_pauses.load()); }

void Reset() {
  SeamState& s = state();
  {
    std::lock_guard lock(s.mutex);
    s.failures.clear();
    s.armed.store(false, std::memory_order_release);
  }
  s.cancelled_read_error.store(ERROR_SUCCESS);
  s.backlog_limit.store(0);
  s.windows_backlog.store(false);
  detail::ForceNextHandleValue(nullptr);
}

}  // namespace seam
}  // namespace quorvel::platform
