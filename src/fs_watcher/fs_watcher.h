// The process-wide directory watcher: one I/O completion port, one worker thread that waits on it, and the watched
// directories, each a WatchEntry that reads its changes with ReadDirectoryChangesW.
//
// Locks. `mutex` guards `watches`, `in_flight` and the entries' flags; it is held only briefly and never while a
// handler runs or a line is logged, so a handler may call back into the watcher. `lifecycle_mutex` serialises
// Start, Stop, WatchDir and RemoveWatch on other threads and guards the creation and closing of `port` and
// `worker`; the worker never takes it. Lock order: lifecycle_mutex, then mutex. Neither is ever held while
// waiting for the GIL, so callers may release the GIL around every call.
//
// Calls on the worker thread (from inside a handler) never wait for the worker: Start returns false, Stop asks
// the worker to leave its loop and throws std::system_error(resource_deadlock_would_occur), WatchDir and
// RemoveWatch work on the worker's own port.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "fs_watcher/watch_entry.h"
#include "fs_watcher/watch_types.h"

class FsWatcher {
 public:
  // The process-wide watcher, created on first use and never destroyed.
  static FsWatcher* Instance();

  // Made public for tests, which may run a watcher of their own; production code uses Instance().
  FsWatcher() = default;
  // Stops the worker and closes the port and every watch.
  ~FsWatcher();
  FsWatcher(const FsWatcher&) = delete;
  FsWatcher& operator=(const FsWatcher&) = delete;

  // Called now and then, with no lock held, while Start or Stop waits for a worker to end; it may throw to give
  // up the wait (the watcher then stays stopping: the next Start or Stop waits again).
  using WaitHook = std::function<void()>;

  // True when it made the port and started the worker; false while a serving worker is held or when no port can
  // be made. A worker that was asked to stop (from its own handler, or by a Stop whose wait was given up) is
  // joined first. Throws std::system_error when the thread cannot be started (the port is closed again then).
  bool Start(const WaitHook& waiting = {});
  // Stops and joins the worker, then closes the port. Watches stay, with their directories open, but report
  // nothing again; removals that no worker served are carried out here.
  void Stop(const WaitHook& waiting = {});
  // Watch id (the directory handle's value), or 0 when no watch was made.
  std::uint64_t WatchDir(const std::wstring& path, std::vector<WatchFilter> filters, std::uint32_t actions,
                         bool file_only, WatchHandler&& handler);
  // Closes and drops the watch; an unknown id does nothing. On any thread but the worker it returns only once
  // no further event of the watch can reach its handler; on the worker (from a handler) the records of the
  // watch that remain in the buffer being walked are dropped.
  void RemoveWatch(std::uint64_t id);

  // Runs on the worker just before it ends (the bindings release the worker's Python thread state there).
  void SetWorkerEndHook(void (*hook)()) { worker_end_hook_ = hook; }

  // One dispatch run of the worker: handles packets until a dequeue fails or the wake-up arrives.
  void executeOnce();

  // Reports the change records of a completed read (`bytes` of them in `entry->buffer`) through the entry's
  // handler. Runs on the worker with no lock held and no read outstanding for the entry.
  static void ProcessNotifications(std::shared_ptr<WatchEntry> entry, DWORD bytes);
  static bool MatchFilters(const std::shared_ptr<WatchEntry>& entry, std::wstring_view name);
  // FILE_NOTIFY_CHANGE_* mask asked for by an action mask; 0 when the mask names no action.
  static DWORD NotifyFilterFor(std::uint32_t actions, bool file_only);

  bool IsWorkerThread() const { return worker_id.load() == std::this_thread::get_id(); }

  // For tests: counts of stored watches and of entries with a read outstanding.
  std::size_t WatchCount();
  std::size_t InFlightCount();

 private:
  static FsWatcher* MakeInstance();
  // In a child after fork: starts from a clean state, leaving what the parent had untouched.
  void ForgetAfterFork();
  BOOL Post(std::uint64_t key);
  static void LogReadFailure(const std::wstring& path, DWORD error);
  // With `lifecycle_mutex` held: joins a held worker, carries out requested removals (or closes every watch),
  // releases the reads that completed meanwhile and closes the port.
  void Shutdown(bool close_all, const WaitHook& waiting = {});
  void WaitForWorkerEnd(const WaitHook& waiting);
  void Drain();
  BOOL PostTo(HANDLE to, std::uint64_t key);
  void CloseWatchEntry(std::shared_ptr<WatchEntry> entry);
  void WorkerLoop();
  // One packet; false for the wake-up.
  bool HandlePacket(BOOL dequeued, DWORD error, DWORD bytes, ULONG_PTR key, OVERLAPPED* ov);
  // Under `mutex`: issues the entry's next read; on failure returns false with the error code.
  bool IssueRead(const std::shared_ptr<WatchEntry>& entry, DWORD& error);
  // Under `mutex`: closes the entry and takes it out of `watches`; it stays in `in_flight` while a read is out.
  void DropEntry(const std::shared_ptr<WatchEntry>& entry);
  bool Serving() const;

  std::mutex mutex;
  HANDLE port = nullptr;
  std::thread worker;
  std::unordered_map<std::uint64_t, std::shared_ptr<WatchEntry>> watches;
  std::atomic<bool> stop_requested{false};

  std::mutex lifecycle_mutex;
  // Every entry with a read outstanding, by the address of its OVERLAPPED: completions are matched by it, never by
  // key, so a removed entry lives until its cancelled read is dequeued and a reused handle value never receives an
  // old watch's completion.
  struct InFlight {
    std::shared_ptr<WatchEntry> entry;
    std::uint64_t port_generation;  // which port the read completes to
  };
  std::unordered_map<OVERLAPPED*, InFlight> in_flight;
  std::uint64_t port_generation = 0;  // counts the ports made by Start; guarded like `port`
  std::atomic<std::thread::id> worker_id{};
  bool dequeue_failed_ = false;  // the worker's own
  // Set by the worker as it ends, so that a wait for it can be given up (a join cannot).
  std::mutex ended_mutex_;
  std::condition_variable ended_cv_;
  bool worker_ended_ = false;
  // Guarded like `port`: the wake-up of the worker being stopped was sent (or the port closed instead).
  bool wake_sent_ = false;
  bool port_closed_ = false;
  std::atomic<void (*)()> worker_end_hook_{nullptr};
};
