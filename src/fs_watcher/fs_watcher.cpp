// The directory watcher: its worker, the handling of each packet, watch registration and the change-record walk.
// Packets: a read's completion carries its entry's OVERLAPPED (matched through `in_flight`, where a removed entry
// lives until then); posted ones carry none: key 0 wakes the worker, any other names a watch (kick or removal).
#include "fs_watcher/fs_watcher.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <system_error>
#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif
#ifndef _WIN32
#include <pthread.h>
#endif

#include "fs_watcher/file_attributes.h"
#include "fs_watcher/path_join.h"
#include "fs_watcher/scope_guard.h"
#include "fs_watcher/wfnmatch.h"
#include "platform/log.h"

// Nothing thrown on the worker may end it; thread cancellation still unwinds.
#ifdef __GLIBCXX__
#define QUORVEL_CATCH_ALL \
  catch (abi::__forced_unwind&) { throw; } \
  catch (...)
#else
#define QUORVEL_CATCH_ALL catch (...)
#endif

namespace {

constexpr std::uint32_t kNameChangeActions = static_cast<std::uint32_t>(FsWatchAction::CREATE) |
                                             static_cast<std::uint32_t>(FsWatchAction::DELETE) |
                                             static_cast<std::uint32_t>(FsWatchAction::RENAME);

std::uint64_t IdOf(HANDLE handle) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle)); }

// Clears `in_call` however the handler call ends, also when a thread exit unwinds through it.
struct InCall {
  explicit InCall(WatchEntry& entry) : entry_(entry) { entry_.in_call.store(true); }
  ~InCall() {
    entry_.in_call.store(false);
    entry_.in_call.notify_all();
  }
  WatchEntry& entry_;
};

// False when the watch was removed: the walk then reports nothing more.
bool CallHandler(WatchEntry& entry, std::uint64_t id, FsWatchAction action, std::wstring_view path,
                 std::wstring_view old_path) {
  InCall in_call(entry);
  // Checked after `in_call` is set: a removal sets `removed`, then waits while `in_call` holds (one sees the other).
  if (entry.removed.load()) return false;
  // A handler that throws loses its own event only: the walk goes on with the next record.
  try {
    entry.handler(id, action, path, old_path);
  }
  QUORVEL_CATCH_ALL {}
  return true;
}

// One record of the walk; false ends the walk. `name` is never empty.
bool HandleRecord(const std::shared_ptr<WatchEntry>& entry, std::uint64_t id, DWORD action, std::wstring name) {
  if (action == FILE_ACTION_RENAMED_OLD_NAME) {
    entry->pending_old_name = std::move(name);
    return true;
  }
  // The old half pairs only with the record that directly follows it: kept any longer, it could pair with the
  // new name of an unrelated later rename.
  std::wstring old_name;
  old_name.swap(entry->pending_old_name);
  if (action == FILE_ACTION_RENAMED_NEW_NAME) {
    if (old_name.empty() || !(FsWatcher::MatchFilters(entry, old_name) || FsWatcher::MatchFilters(entry, name))) {
      return true;
    }
    return CallHandler(*entry, id, FsWatchAction::RENAME, JoinPath(entry->path, name), JoinPath(entry->path, old_name));
  }
  FsWatchAction reported;
  switch (action) {
    case FILE_ACTION_ADDED:
      reported = FsWatchAction::CREATE;
      break;
    case FILE_ACTION_REMOVED:
      reported = FsWatchAction::DELETE;
      break;
    case FILE_ACTION_MODIFIED:
      reported = FsWatchAction::MODIFY;
      break;
    default:
      return true;
  }
  // The filters come before the file test, so a rejected record costs no file-system call.
  if (!FsWatcher::MatchFilters(entry, name)) return true;
  const std::wstring full_path = JoinPath(entry->path, name);
  if (entry->file_only && !IsFileW(full_path.c_str())) return true;
  return CallHandler(*entry, id, reported, full_path, {});
}

// A completion that reports lost changes: a 0-byte read, or one that failed because the changes did not fit.
bool IsLoss(BOOL dequeued, DWORD error, DWORD bytes) {
  constexpr DWORD kNotifyCleanup = 745;  // ERROR_NOTIFY_CLEANUP, which older SDK headers (mingw-w64's) lack
  if (dequeued) return bytes == 0;
  return error == ERROR_NOTIFY_ENUM_DIR || error == kNotifyCleanup;
}

}  // namespace

FsWatcher* FsWatcher::Instance() {
  // Never destroyed: the worker may still run while static destructors do.
  static FsWatcher* const instance = MakeInstance();
  return instance;
}

FsWatcher::~FsWatcher() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex);
  Shutdown(true);
  // Reads whose completion never came back may still be written by the platform: their records are kept.
  std::lock_guard<std::mutex> lock(mutex);
  if (!in_flight.empty()) {
    static auto* const parked = new std::vector<std::shared_ptr<WatchEntry>>();
    for (auto& [ov, read] : in_flight) parked->push_back(std::move(read.entry));
    in_flight.clear();
  }
}

DWORD FsWatcher::NotifyFilterFor(std::uint32_t actions, bool file_only) {
  DWORD notify = 0;
  if (actions & static_cast<std::uint32_t>(FsWatchAction::MODIFY)) notify |= FILE_NOTIFY_CHANGE_LAST_WRITE;
  if (actions & kNameChangeActions) {
    notify |= FILE_NOTIFY_CHANGE_FILE_NAME;
    if (!file_only) notify |= FILE_NOTIFY_CHANGE_DIR_NAME;
  }
  return notify;
}

bool FsWatcher::MatchFilters(const std::shared_ptr<WatchEntry>& entry, std::wstring_view name) {
  return MatchFilterList(entry->filters, name);
}

void FsWatcher::ProcessNotifications(std::shared_ptr<WatchEntry> entry, DWORD bytes) {
  if (bytes == 0) return;
  // The chain is checked as it is walked: a record or a name that reaches past what the read delivered, or a
  // misaligned offset, ends the walk instead of reading out of bounds.
  constexpr std::uint64_t kHeader = offsetof(FILE_NOTIFY_INFORMATION, FileName);
  const std::uint64_t limit = std::min<std::uint64_t>(bytes, WatchEntry::kBufferSize);
  const std::uint64_t id = IdOf(entry->dir);
  if (entry->removed.load()) return;
  std::uint64_t offset = 0;
  for (;;) {
    if (offset % alignof(DWORD) != 0 || offset + kHeader > limit) return;
    const BYTE* record = entry->buffer + offset;
    DWORD next = 0, action = 0, name_bytes = 0;
    std::memcpy(&next, record + offsetof(FILE_NOTIFY_INFORMATION, NextEntryOffset), sizeof next);
    std::memcpy(&action, record + offsetof(FILE_NOTIFY_INFORMATION, Action), sizeof action);
    std::memcpy(&name_bytes, record + offsetof(FILE_NOTIFY_INFORMATION, FileNameLength), sizeof name_bytes);
    if (offset + kHeader + name_bytes > limit) return;
    offset += next;
    // FileNameLength counts bytes; a length that holds no whole character is a record without a name.
    const std::size_t length = name_bytes / sizeof(WCHAR);
    if (length > 0) {
      std::wstring name(length, L'\0');
      std::memcpy(name.data(), record + kHeader, length * sizeof(WCHAR));
      if (!HandleRecord(entry, id, action, std::move(name))) return;
    } else {
      entry->pending_old_name.clear();  // a record all the same: nothing pairs across it
    }
    if (next == 0 || offset >= limit) return;
  }
}

//
//
//
//
//
//
//
//
//
//
//
BOOL FsWatcher::Post(std::uint64_t key) { return PostTo(port, key); }

BOOL FsWatcher::PostTo(HANDLE to, std::uint64_t key) {
  if (!to) return FALSE;
  return PostQueuedCompletionStatus(to, 0, static_cast<ULONG_PTR>(key), nullptr);
}

void FsWatcher::CloseWatchEntry(std::shared_ptr<WatchEntry> entry) {
  if (entry->dir) {
    FindCloseChangeNotification(entry->dir);
    entry->dir = nullptr;
  }
}

void FsWatcher::LogReadFailure(const std::wstring& path, DWORD error) {
  // Kept on this line: the source location is part of the record handed to Python logging.
  quorvel::log::Wide(QUORVEL_LOG_SITE("FsWatcher::executeOnce"), spdlog::level::err, L"FsWatch: ReadDirectoryChanges failed on directory {}, error={}", path, error); static_assert(__LINE__ == 201, "the ReadDirectoryChanges failure is logged from line 201");
}

bool FsWatcher::Start(const WaitHook& waiting) {
  // The worker itself holds the worker: nothing to start, and waiting for the lifecycle lock could deadlock.
  if (IsWorkerThread()) return false;
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex);
  if (worker.joinable()) {
    // A worker asked to leave (by a stop from its own handler, or by a stop whose wait was given up) serves
    // nothing any more: it is joined here rather than blocking every later start.
    if (!stop_requested) return false;
    Shutdown(false, waiting);
  }
  HANDLE created = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  if (!created) return false;
  port = created;
  ++port_generation;
  stop_requested = false;
  wake_sent_ = false;
  {
    std::lock_guard<std::mutex> lock(ended_mutex_);
    worker_ended_ = false;
  }
  try {
    worker = std::thread([this] { WorkerLoop(); });
  } catch (...) {  // no worker will ever wait on the port
    CloseHandle(port);
    port = nullptr;
    throw;
  }
  return true;
}

void FsWatcher::Stop(const WaitHook& waiting) {
  if (IsWorkerThread()) {
    // The worker leaves its loop after the packet it is serving; a later Stop elsewhere joins it.
    stop_requested = true;
    Post(0);
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                            "FsWatcher::Stop called on the watcher's own thread");
  }
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex);
  Shutdown(false, waiting);
}

void FsWatcher::DropEntry(const std::shared_ptr<WatchEntry>& entry) {
  if (!entry->dir) return;
  entry->removed.store(true);
  auto it = watches.find(IdOf(entry->dir));
  if (it != watches.end() && it->second == entry) watches.erase(it);
  CloseWatchEntry(entry);
  // A read outstanding on a port that is closed already: closing the directory ended it, and its completion
  // can never be dequeued, so nothing waits for it any more.
  auto read = in_flight.find(&entry->overlapped);
  if (read != in_flight.end() && read->second.entry == entry &&
      (!port || read->second.port_generation != port_generation)) {
    in_flight.erase(read);
    entry->read_pending = false;
  }
}

void FsWatcher::WaitForWorkerEnd(const WaitHook& waiting) {
  std::unique_lock<std::mutex> lock(ended_mutex_);
  const auto ended = [this] { return worker_ended_; };
  if (!waiting) {
    ended_cv_.wait(lock, ended);
    return;
  }
  while (!ended_cv_.wait_for(lock, std::chrono::milliseconds(50), ended)) {
    lock.unlock();
    waiting();  // may throw: the worker stays asked to stop, and the next Start or Stop waits again
    lock.lock();
  }
}

void FsWatcher::Shutdown(bool close_all, const WaitHook& waiting) {
  if (worker.joinable()) {
    stop_requested = true;
    if (!wake_sent_) {
      wake_sent_ = true;
      if (!PostTo(port, 0)) {
        // Without its wake-up the worker would wait for ever; closing the port ends its wait.
        CloseHandle(port);
        port_closed_ = true;
      }
    }
    WaitForWorkerEnd(waiting);
    worker.join();
    worker_id = std::thread::id();
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::shared_ptr<WatchEntry>> closing;
    for (const auto& [id, entry] : watches) {
      if (close_all || entry->remove_requested) closing.push_back(entry);
    }
    for (const auto& entry : closing) DropEntry(entry);
  }
  if (port) {
    if (!port_closed_) {
      Drain();
      CloseHandle(port);
    }
    port = nullptr;
    port_closed_ = false;
  }
}

void FsWatcher::Drain() {
  // Completions still queued end their reads: a removed entry is released, a live one keeps no read pending.
  // A removed entry's cancelled read may complete a moment after its close, so that is waited for, briefly.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  for (;;) {
    bool closed_in_flight = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (const auto& [ov, read] : in_flight) {
        closed_in_flight = closed_in_flight || (!read.entry->dir && read.port_generation == port_generation);
      }
    }
    const DWORD wait = closed_in_flight && std::chrono::steady_clock::now() < deadline ? 10 : 0;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* ov = nullptr;
    const BOOL dequeued = GetQueuedCompletionStatus(port, &bytes, &key, &ov, wait);
    if (!ov) {
      if (!dequeued) return;
      continue;
    }
    std::shared_ptr<WatchEntry> done;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = in_flight.find(ov);
    if (it != in_flight.end()) {
      done = std::move(it->second.entry);
      in_flight.erase(it);
      done->read_pending = false;
    }
  }
}

std::uint64_t FsWatcher::WatchDir(const std::wstring& path, std::vector<WatchFilter> filters, std::uint32_t actions,
                                  bool file_only, WatchHandler&& handler) {
  // A path with a NUL inside would open a different directory than the one reported in every event.
  if (path.empty() || actions == 0 || path.find(L'\0') != std::wstring::npos) return 0;
  const DWORD notify_filter = NotifyFilterFor(actions, file_only);
  if (notify_filter == 0) return 0;

  enum class Failure { kNone, kOpen, kBind } failure = Failure::kNone;
  std::uint64_t id = 0;
  {
    // On the worker (from a handler) the port cannot close under us, and the lifecycle lock may be held by a
    // Stop that waits for this very thread.
    std::unique_lock<std::mutex> lifecycle;
    if (!IsWorkerThread()) lifecycle = std::unique_lock<std::mutex>(lifecycle_mutex);
    // Without a serving worker the watch could never report: it is refused rather than left dead.
    if (!Serving()) return 0;

    HANDLE dir = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (dir == INVALID_HANDLE_VALUE) {
      failure = Failure::kOpen;
    } else {
      bool done = false;
      ScopeGuard guard([&dir, &done] {
        if (!done) CloseHandle(dir);
      });
      if (!CreateIoCompletionPort(dir, port, static_cast<ULONG_PTR>(IdOf(dir)), 1)) {
        failure = Failure::kBind;
      } else {
        auto entry = std::make_shared<WatchEntry>();
        entry->dir = dir;
        entry->path = path;
        entry->filters = std::move(filters);
        entry->notify_filter = notify_filter;
        entry->file_only = file_only;
        entry->handler = std::move(handler);
        entry->watch_subtree = std::any_of(entry->filters.begin(), entry->filters.end(),
                                           [](const WatchFilter& f) { return f.recursive_depth != 0; });
        std::lock_guard<std::mutex> lock(mutex);
        // A handle value is reused only after its close, which erases its entry under this same lock.
        if (watches.emplace(IdOf(dir), entry).second) {
          if (Post(IdOf(dir))) {
            done = true;
            id = IdOf(dir);
          } else {
            // Without its kick the watch would never be read: no watch rather than a dead one.
            watches.erase(IdOf(dir));
          }
        }
      }
    }
  }
  // Logged with no lock held: a logging handler may call back into the watcher.
  if (failure == Failure::kOpen) {
    quorvel::log::Wide(QUORVEL_LOG_SITE("FsWatcher::WatchDir"), spdlog::level::err,
                       L"FsWatcher: unable to open directory {}", path);
  } else if (failure == Failure::kBind) {
    quorvel::log::Wide(QUORVEL_LOG_SITE("FsWatcher::WatchDir"), spdlog::level::err,
                       L"FsWatcher: unable to associate the handle of directory {} to an IoPort", path);
  }
  return id;
}

void FsWatcher::RemoveWatch(std::uint64_t id) {
  const bool on_worker = IsWorkerThread();
  std::shared_ptr<WatchEntry> entry;
  {
    std::unique_lock<std::mutex> lifecycle;
    if (!on_worker) lifecycle = std::unique_lock<std::mutex>(lifecycle_mutex);
    std::lock_guard<std::mutex> lock(mutex);
    auto it = watches.find(id);
    if (it == watches.end()) return;
    entry = it->second;
    entry->remove_requested = true;
    entry->removed.store(true);
    // A held worker closes it (or, if it is stopping, the Stop that joins it does); with none, it is done here.
    if (on_worker || worker.joinable()) {
      Post(id);
    } else {
      DropEntry(entry);
    }
  }
  // A handler call of this watch that began before the removal ends before the removal returns; the walk makes
  // no further call (on the worker the call in progress is the caller itself).
  if (!on_worker) {
    while (entry->in_call.load()) entry->in_call.wait(true);
  }
}

bool FsWatcher::Serving() const {
  if (!port || stop_requested) return false;
  // On the worker, `worker` itself may still be being assigned by Start; the worker is running, by definition.
  return IsWorkerThread() || worker.joinable();
}

bool FsWatcher::IssueRead(const std::shared_ptr<WatchEntry>& entry, DWORD& error) {
  // Tracked before the read is issued, so that a record the platform writes into is never released untracked.
  in_flight.emplace(&entry->overlapped, InFlight{entry, port_generation});
  entry->overlapped = OVERLAPPED{};
  if (ReadDirectoryChangesW(entry->dir, entry->buffer, WatchEntry::kBufferSize, entry->watch_subtree,
                            entry->notify_filter, &entry->bytes_returned, &entry->overlapped, nullptr)) {
    entry->read_pending = true;
    return true;
  }
  error = GetLastError();
  entry->read_pending = false;
  in_flight.erase(&entry->overlapped);
  return false;
}

void FsWatcher::WorkerLoop() {
  worker_id = std::this_thread::get_id();
  struct Ended {
    FsWatcher& watcher;
    ~Ended() {
      {
        std::lock_guard<std::mutex> lock(watcher.ended_mutex_);
        watcher.worker_ended_ = true;
      }
      watcher.ended_cv_.notify_all();
    }
  } ended{*this};
  while (!stop_requested) {
    executeOnce();
    // A port that fails every wait must not make the worker spin.
    if (dequeue_failed_ && !stop_requested) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (auto* hook = worker_end_hook_.load()) {
    try {
      hook();
    }
    QUORVEL_CATCH_ALL {}
  }
}

void FsWatcher::executeOnce() {
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* ov = nullptr;
    const BOOL dequeued = GetQueuedCompletionStatus(port, &bytes, &key, &ov, INFINITE);
    const DWORD error = dequeued ? ERROR_SUCCESS : GetLastError();
    dequeue_failed_ = !dequeued && !ov;
    if (dequeue_failed_) return;
    bool go_on = true;
    try {
      go_on = HandlePacket(dequeued, error, bytes, key, ov);
    }
    QUORVEL_CATCH_ALL {}
    if (!dequeued || !go_on) return;
  }
}

bool FsWatcher::HandlePacket(BOOL dequeued, DWORD error, DWORD bytes, ULONG_PTR key, OVERLAPPED* ov) {
  DWORD read_error = ERROR_SUCCESS;
  bool read_failed = false;
  std::shared_ptr<WatchEntry> entry;

  if (!ov) {
    if (key == 0) return false;  // the wake-up
    // A kick or a removal: the entry's flags say which.
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto it = watches.find(key);
      if (it == watches.end()) return true;
      entry = it->second;
      if (entry->remove_requested) {
        DropEntry(entry);
      } else if (!entry->read_pending && entry->dir) {
        read_failed = !IssueRead(entry, read_error);
      }
    }
    if (read_failed) LogReadFailure(entry->path, read_error);
    return true;
  }

  // A read is over; its entry is known by its OVERLAPPED alone.
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = in_flight.find(ov);
    if (it == in_flight.end()) return true;
    entry = std::move(it->second.entry);
    in_flight.erase(it);
    entry->read_pending = false;
    if (entry->remove_requested) DropEntry(entry);
    // A closed entry is released with this packet: no walk, no read.
    if (!entry->dir) return true;
  }
  const bool lost = IsLoss(dequeued, error, bytes);
  if (lost) entry->pending_old_name.clear();  // its new half may be among what was lost
  // Linux: the system's limit of watched folders left `bytes` folders of the tree unwatched. Nothing was lost and
  // the watch goes on; the platform says so once a watch.
  const bool limit_reached = !dequeued && error == ERROR_NOT_ENOUGH_QUOTA;
  if (!dequeued && !lost && !limit_reached) {
    // The read ended in an error (the directory went away, for one): the watch stays silent until removed.
    quorvel::log::Wide(QUORVEL_LOG_SITE("FsWatcher::executeOnce"), spdlog::level::err,
                       L"FsWatch: waiting for changes failed on directory {}, error={}", entry->path, error);
    return true;
  }
  // The walk runs with no lock: nothing else reads the buffer while no read is outstanding.
  if (!lost && !limit_reached) {
    try {
      ProcessNotifications(entry, bytes);
    }
    QUORVEL_CATCH_ALL {}
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (entry->remove_requested) {
      DropEntry(entry);  // removed while the walk ran
    } else if (entry->dir && !entry->read_pending) {
      read_failed = !IssueRead(entry, read_error);
    }
  }
  if (lost) {
    try {
      quorvel::log::Wide(QUORVEL_LOG_SITE("FsWatcher::executeOnce"), spdlog::level::warn,
                         L"FsWatch: changes lost on directory {}, buffer overflow", entry->path);
    }
    QUORVEL_CATCH_ALL {}
  }
  if (limit_reached) {
    try {
      quorvel::log::Wide(QUORVEL_LOG_SITE("FsWatcher::executeOnce"), spdlog::level::warn,
                         L"FsWatch: the system's limit of watched folders (fs.inotify.max_user_watches) was reached "
                         L"on directory {}; folders under it not watched: {}",
                         entry->path, bytes);
    }
    QUORVEL_CATCH_ALL {}
  }
  if (read_failed) LogReadFailure(entry->path, read_error);
  return true;
}

std::size_t FsWatcher::WatchCount() {
  std::lock_guard<std::mutex> lock(mutex);
  return watches.size();
}

std::size_t FsWatcher::InFlightCount() {
  std::lock_guard<std::mutex> lock(mutex);
  return in_flight.size();
}

FsWatcher* FsWatcher::MakeInstance() {
  auto* made = new FsWatcher();
#ifndef _WIN32
  // A child after fork has no worker; the port and the watches it inherited are the parent's.
  pthread_atfork(nullptr, nullptr, [] { Instance()->ForgetAfterFork(); });
#endif
  return made;
}

void FsWatcher::ForgetAfterFork() {
  // Only the forking thread exists here: the locks may have been held by threads that are gone, and the worker
  // object names a thread of the parent. Both are made anew, over the old ones, which are never used again.
  new (&mutex) std::mutex();
  new (&lifecycle_mutex) std::mutex();
  new (&ended_mutex_) std::mutex();
  new (&ended_cv_) std::condition_variable();
  new (&worker) std::thread();
  worker_id = std::thread::id();
  port = nullptr;
  stop_requested = false;
  wake_sent_ = false;
  port_closed_ = false;
  worker_ended_ = false;
  dequeue_failed_ = false;
  // The parent's entries are kept, untouched (their handles may be closed only by the parent's own calls).
  static auto* const parked = new std::vector<std::shared_ptr<WatchEntry>>();
  for (auto& [id, entry] : watches) parked->push_back(std::move(entry));
  for (auto& [ov, read] : in_flight) parked->push_back(std::move(read.entry));
  watches.clear();
  in_flight.clear();
}
