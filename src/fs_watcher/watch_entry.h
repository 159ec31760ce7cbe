// The record of one watched directory. The platform writes into `overlapped` and `buffer` while a read is
// outstanding, so a record never moves and is never freed before the completion of its last read is dequeued
// (FsWatcher keeps it in `in_flight` until then).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "fs_watcher/watch_types.h"

struct WatchEntry {
  // First member: a completion's OVERLAPPED* is the address of its entry.
  OVERLAPPED overlapped{};
  // The directory handle; its value is the watch id. Null once closed. Written only by the worker, or by the
  // watcher while no worker runs, always under FsWatcher::mutex.
  HANDLE dir = nullptr;
  // Guarded by FsWatcher::mutex.
  bool read_pending = false;
  bool remove_requested = false;
  // Fixed before the entry is stored.
  std::wstring path;
  std::vector<WatchFilter> filters;
  bool watch_subtree = false;
  DWORD notify_filter = 0;
  bool file_only = false;
  WatchHandler handler;
  // The walk's alone, on the worker thread: the old half of a rename waiting for its new half.
  std::wstring pending_old_name;
  // Set by a removal: the walk calls the handler no more. `in_call` is true while the worker is inside the
  // handler, so a removal on another thread can wait until no further event of the watch can be reported.
  std::atomic<bool> removed{false};
  std::atomic<bool> in_call{false};
  DWORD bytes_returned = 0;
  // Change records of the last completed read. 64 KiB: the largest read Windows accepts on network shares; a
  // smaller buffer overflows after a short burst while a handler runs, and on Linux (4-byte WCHAR) could not
  // hold one record of a long relative path.
  static constexpr DWORD kBufferSize = 64 * 1024;
  alignas(DWORD) BYTE buffer[kBufferSize]{};

  WatchEntry() = default;
  WatchEntry(const WatchEntry&) = delete;
  WatchEntry& operator=(const WatchEntry&) = delete;
};
