// Builds change-record buffers as the platform lays them out (FILE_NOTIFY_INFORMATION, DWORD-aligned), and
// collects handler calls and holds the worker at a gate, for the watcher's tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "fs_watcher/watch_entry.h"

namespace records {

struct Record {
  DWORD action;
  std::wstring name;
  // Overrides, for malformed chains.
  long long name_bytes = -1;    // FileNameLength; -1: the name's size
  long long next_offset = -1;   // NextEntryOffset; -1: the next record (0 for the last)
};

// Lays `list` out into `entry`'s buffer; returns the byte count a read would deliver.
inline DWORD Fill(WatchEntry& entry, const std::vector<Record>& list) {
  std::memset(entry.buffer, 0, sizeof entry.buffer);
  constexpr std::size_t header = offsetof(FILE_NOTIFY_INFORMATION, FileName);
  std::size_t offset = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Record& r = list[i];
    const std::size_t name_size = r.name.size() * sizeof(WCHAR);
    std::size_t size = header + name_size;
    size = (size + alignof(DWORD) - 1) / alignof(DWORD) * alignof(DWORD);
    const bool last = i + 1 == list.size();
    const DWORD next = r.next_offset >= 0 ? static_cast<DWORD>(r.next_offset) : (last ? 0 : static_cast<DWORD>(size));
    const DWORD length = r.name_bytes >= 0 ? static_cast<DWORD>(r.name_bytes) : static_cast<DWORD>(name_size);
    BYTE* at = entry.buffer + offset;
    std::memcpy(at + offsetof(FILE_NOTIFY_INFORMATION, NextEntryOffset), &next, sizeof next);
    std::memcpy(at + offsetof(FILE_NOTIFY_INFORMATION, Action), &r.action, sizeof r.action);
    std::memcpy(at + offsetof(FILE_NOTIFY_INFORMATION, FileNameLength), &length, sizeof length);
    std::memcpy(at + header, r.name.data(), name_size);
    offset += size;
  }
  return static_cast<DWORD>(offset);
}

struct Event {
  std::uint64_t id;
  FsWatchAction action;
  std::wstring path;
  std::wstring old_path;
  bool operator==(const Event&) const = default;
};

inline void PrintTo(const Event& e, std::ostream* os) {
  const std::string path(e.path.begin(), e.path.end()), old_path(e.old_path.begin(), e.old_path.end());
  *os << "{id " << e.id << ", action " << static_cast<int>(e.action) << ", \"" << path << "\", \"" << old_path << "\"}";
}

// A thread-safe list of handler calls.
class Recorder {
 public:
  WatchHandler Handler() {
    return [this](std::uint64_t id, FsWatchAction action, std::wstring_view path, std::wstring_view old_path) {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back({id, action, std::wstring(path), std::wstring(old_path)});
    };
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<Event> events_;
};

// Polls `condition` until it holds or `limit` passes (long enough for a slow machine or Wine).
inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A gate a handler can wait at, to hold the worker still while a test queues changes behind it.
class Gate {
 public:
  // A test that ends early (a failed ASSERT) must not leave the worker held here: stopping the watcher would wait
  // for it until the test program's time-out.
  ~Gate() {
    std::unique_lock<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(20), [this] { return inside_ == 0; });
  }
  void Block() {
    std::unique_lock<std::mutex> lock(mutex_);
    blocked_ = true;
    ++inside_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    --inside_;
    changed_.notify_all();
  }
  bool WaitUntilBlocked() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [this] { return blocked_; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool blocked_ = false, open_ = false;
  int inside_ = 0;
};

}  // namespace records
