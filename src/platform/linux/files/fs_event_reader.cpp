// The reader thread and the kernel-watch table. One inotify instance serves the whole process (the per-user limit is
// 128 instances). A thread waiting on a completion port that directories are bound to reads the kernel queue itself
// when the kernel wakes it (ServeWaiting, through Port::Dequeue), so a change reaches it with one wake-up; the kernel
// wakes the reader thread (its interest is exclusive and queued behind the ports') only when no such thread waits. The
// reader then leaves the change to that busy thread, which reads what has queued meanwhile as one batch when it comes
// back, and drains the queue itself every kGuardNanoseconds (a millisecond where the kernel refuses epoll_pwait2) until
// it is found empty, so the kernel's bounded queue never overflows while a handler runs; with no port serving the queue
// it reads at once. Nothing sleeps on the way from the kernel to a waiting thread, except in a burst
// (ServeWhileWaiting), where a short pause before each read makes batches. All readers read and dispatch under the
// engine's lock, so events are never taken out of order. Kernel watches are shared: every watch asks for the same event
// mask, so the kernel hands out one watch descriptor per inode, which the layer reference-counts between handles
// (Node). The parent of a watched directory is watched for deletions and renames only (its `guards`), as the handle's
// open descriptor keeps the kernel from reporting the directory's own deletion. The mount tables are watched too
// (fs_event_mounts.cpp): a watched directory whose mount leaves its table is gone. Events are dispatched here to the
// watches' records (creations, deletions, writes) and to rename pairing (moves). Kernel watches no handle uses any more
// are given back in slices (ReleasePending): each removal queues an IN_IGNORED event, and the reader drains the queue
// between slices, so that closing a big tree never overflows the queue for the other watches. A child after fork leaves
// its parent's engine alone and makes its own.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <system_error>
#include <thread>

#include "platform/linux/files/fs_event_engine.h"
#include "platform/linux/base/errors.h"

namespace quorvel::platform::detail::fs_event {

std::atomic<unsigned> engine_generation{0};

// Never destroyed: the reader thread runs until the process ends. A child after fork makes its own on first use.
std::atomic<Engine*> current_engine{nullptr};

void ForgetEngineInChild() {
  if (Engine* old = current_engine.exchange(nullptr)) old->AbandonInChild();
  engine_generation.fetch_add(1);
}

Engine& engine() {
  static const bool fork_handled = [] { return pthread_atfork(nullptr, nullptr, &ForgetEngineInChild) == 0; }();
  (void)fork_handled;
  Engine* e = current_engine.load();
  if (e) return *e;
  auto* made = new Engine;
  if (current_engine.compare_exchange_strong(e, made)) return *made;
  delete made;
  return *e;
}

DWORD Engine::Start() {
  if (inotify_fd_ >= 0) return ERROR_SUCCESS;
  // The kernel fixes an instance's queue size when the instance is made.
  long limit = 0;
  if (std::ifstream in("/proc/sys/fs/inotify/max_queued_events"); in >> limit && limit > 0) queued_events_limit_ = limit;
  int ifd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (ifd < 0) return Win32FromErrno(errno);
  int efd = epoll_create1(EPOLL_CLOEXEC);
  if (efd < 0) {
    const int error = errno;
    ::close(ifd);
    return Win32FromErrno(error);
  }
  const int pfd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event interest{};
  interest.events = EPOLLIN | EPOLLEXCLUSIVE;
  interest.data.fd = ifd;
  epoll_event poke{};
  poke.events = EPOLLIN;
  poke.data.fd = pfd;
  if (pfd < 0 || epoll_ctl(efd, EPOLL_CTL_ADD, ifd, &interest) != 0 || epoll_ctl(efd, EPOLL_CTL_ADD, pfd, &poke) != 0) {
    const int error = errno;
    ::close(ifd);
    ::close(efd);
    if (pfd >= 0) ::close(pfd);
    return Win32FromErrno(error);
  }
  try {
    std::thread(&Engine::ReaderLoop, this).detach();
  } catch (const std::system_error&) {
    ::close(ifd);
    ::close(efd);
    ::close(pfd);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  poke_fd_ = pfd;
  inotify_fd_ = ifd;
  epoll_fd_ = efd;
  return ERROR_SUCCESS;
}

// The reader's hold of the engine's lock: announced, so that a long job holding it (the first scan of a big tree)
// lets the reader in between its slices.
struct ReaderLock {
  explicit ReaderLock(Engine& engine) : engine_(engine) {
    engine_.reader_waiting.fetch_add(1);
    engine_.mutex.lock();
    engine_.reader_waiting.fetch_sub(1);
  }
  ~ReaderLock() { engine_.mutex.unlock(); }
  Engine& engine_;
};


// Reads the kernel queue and dispatches what it holds, under the engine's lock (held by the caller), so that two
// threads serving it never take events out of order. kMore: kernel watches are still to be given back, and the
// lock is to be given up before the next slice.
Engine::Served Engine::ReadAndDispatch(char* buffer, std::size_t size, bool until_empty, std::size_t* events) {
  Served served = kEmpty;
  for (;;) {
    const ssize_t length = ::read(inotify_fd_, buffer, size);
    if (length < 0) {
      if (errno == EINTR) continue;
      return served;
    }
    served = kRead;
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      Process(*event);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (events) ++*events;
    }
    FlushReads();
    // Kernel watches still to be given back: their IN_IGNORED events are on their way, and the next slice
    // follows them; the lock is given up in between.
    if (!releasing_.empty()) return kMore;
    // A read that left room for more took all there was (what came since wakes the next wait): one read a batch.
    if (!until_empty && static_cast<std::size_t>(length) + sizeof(inotify_event) + NAME_MAX + 1 <= size) {
      return kReadSome;
    }
  }
}

namespace {

constexpr int kWaitFailedPauseMilliseconds = 10;
// While a mount table keeps changing, it is read at most this often (a host with thousands of mounts takes some
// milliseconds a read); a change after a quiet spell is read at once.
constexpr std::chrono::milliseconds kMountReadInterval{500};

// epoll_pwait2, whose time-out can be shorter than a millisecond, exists from Linux 5.11; an older kernel answers
// ENOSYS, and a seccomp filter written before it EPERM (or whatever it was told to). Once refused, the guard period
// is waited with epoll_wait, rounded up to a whole millisecond, for the rest of the process.
std::atomic<bool> pwait2_refused{false};

int WaitGuardPeriod(int efd, epoll_event& ready) {
  if (!pwait2_refused.load(std::memory_order_relaxed)) {
    const timespec guard{0, kGuardNanoseconds};
    const int count = epoll_pwait2(efd, &ready, 1, &guard, nullptr);
    if (count >= 0 || errno == EINTR) return count;
    pwait2_refused.store(true, std::memory_order_relaxed);
  }
  constexpr int kGuardMilliseconds = static_cast<int>((kGuardNanoseconds + 999'999) / 1'000'000);
  return epoll_wait(efd, &ready, 1, kGuardMilliseconds);
}

}  // namespace

void Engine::ReaderLoop() {
  // The descriptors are set before the thread starts and never change.
  int efd, ifd, pfd;
  {
    std::lock_guard lock(mutex);
    efd = epoll_fd_;
    ifd = inotify_fd_;
    pfd = poke_fd_;
  }
  alignas(inotify_event) static thread_local char buffer[64 * 1024];
  using Clock = std::chrono::steady_clock;
  bool mounts_changed = false;
  Clock::time_point mounts_due{};
  Clock::time_point mounts_read = Clock::now() - kMountReadInterval;
  // True when `ready` is the inotify instance; pokes and mount tables are handled here.
  const auto changes_ready = [&](const epoll_event& ready) {
    if (ready.data.fd == pfd) {
      std::uint64_t count;
      [[maybe_unused]] const ssize_t ignored = ::read(pfd, &count, sizeof count);
      return true;  // a waiting thread left work here: read on
    }
    if (ready.data.fd == ifd) return true;
    ReaderLock lock(*this);
    if (MountTableChanged(ready.data.fd) && !mounts_changed) {
      mounts_changed = true;
      mounts_due = std::max(Clock::now(), mounts_read + kMountReadInterval);
    }
    return false;
  };
  bool guarding = false;
  for (;;) {
    int timeout_ms = -1;
    if (mounts_changed) {
      const Clock::time_point now = Clock::now();
      if (now >= mounts_due) {
        mounts_changed = false;
        mounts_read = now;
        ReadChangedMountTables();
      } else {
        timeout_ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(mounts_due - now).count());
      }
    }
    epoll_event ready;
    const int count = guarding ? WaitGuardPeriod(efd, ready) : epoll_wait(efd, &ready, 1, timeout_ms);
    if (count == 0 && !guarding) continue;  // a mount table's read is due
    if (count < 0 && errno != EINTR) {
      // Not a wait that was cut short: retrying at once would spin. The reader pauses, and tries again.
      std::this_thread::sleep_for(std::chrono::milliseconds(kWaitFailedPauseMilliseconds));
      continue;
    }
    if (count < 0 || (count > 0 && !changes_ready(ready))) continue;  // EINTR, or the mount table
    if (count > 0 && ready.data.fd != pfd && !guarding) {
      std::lock_guard lock(mutex);
      // No port's waiting thread took this change: its thread is busy (in a handler, say) and reads what the queue
      // holds when it comes back, a batch. Meanwhile the queue is only kept from overflowing.
      if (ports_serve_) {
        guarding = reader_guarding_ = true;
        epoll_ctl(efd, EPOLL_CTL_DEL, inotify_fd_, nullptr);
        continue;
      }
    }
    bool grace_used = false;
    bool read_any = false;
    for (;;) {
      {
        ReaderLock lock(*this);
        const Served served = ReadAndDispatch(buffer, sizeof buffer, true);
        read_any = read_any || served != kEmpty;
        if (served == kMore) continue;
        if (served == kRead) grace_used = false;
        if (held_.empty() || grace_used) {
          Drained();
          if (guarding && !read_any) {
            // The queue stayed empty for a whole period: back to waking for the first change.
            guarding = reader_guarding_ = false;
            ReaderBehindPorts();
          }
          break;
        }
      }
      // The kernel queues the two halves of a rename one after the other; one short wait lets a MOVED_TO that is
      // on its way arrive before the MOVED_FROM is taken for a move out.
      grace_used = true;
      if (epoll_wait(efd, &ready, 1, 2) > 0) changes_ready(ready);
    }
  }
}

// A thread waiting on a completion port serves the kernel queue itself: a change then reaches it with one wake-up,
// not two (the reader's, then the port's). The reader takes over whatever needs waiting for.
std::size_t Engine::ServeWaiting() {
  alignas(inotify_event) static thread_local char buffer[64 * 1024];
  ReaderLock lock(*this);
  if (inotify_fd_ < 0) return 0;
  // Without held moves or fresh scans, a drained queue needs nothing more; with them, the queue is read until
  // it is seen empty, as the reader does.
  const bool until_empty = !held_.empty() || !scanned_subs_.empty();
  std::size_t events = 0;
  if (ReadAndDispatch(buffer, sizeof buffer, until_empty, &events) == kEmpty && held_.empty() && releasing_.empty()) {
    Drained();
    return 0;
  }
  if (!held_.empty() || !releasing_.empty()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(poke_fd_, &one, sizeof one);
  }
  return events;
}

// The reader's interest in the inotify instance is exclusive and queued behind every port's (re-added after
// each), so the kernel wakes a thread waiting on a port first, and the reader only when none waits.
void Engine::ReaderBehindPorts() {
  ports_serve_ = true;
  if (reader_guarding_) return;  // it wakes by the clock, and re-adds its interest when it stops
  epoll_event interest{};
  interest.events = EPOLLIN | EPOLLEXCLUSIVE;
  interest.data.fd = inotify_fd_;
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, inotify_fd_, nullptr);
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, inotify_fd_, &interest);
}

// A thread that keeps finding changes queued when it comes back for more is handling a writer that does not wait
// for it (a burst): it then pauses before each read, so that a burst costs a wake-up per batch rather than per
// change. A change that comes to a quiet queue (a writer waiting for its own change, say) is read the moment the
// kernel queues it; a pause that gathers less than two changes ends the batching.
constexpr int kBurstReturns = 3;
constexpr long kBatchPauseNanoseconds = 100'000;

void ServeWhileWaiting(int port_epoll, int wake_fd, int timeout_ms, ChangePace& pace) {
  Engine& changes = engine();
  if (changes.ServeWaiting() > 0) {
    if (++pace.busy_returns >= kBurstReturns) pace.batching = true;
    return;
  }
  pace.busy_returns = 0;
  if (pace.batching && timeout_ms != 0) {
    counters().batch_pauses.fetch_add(1, std::memory_order_relaxed);
    pollfd wake{wake_fd, POLLIN, 0};
    const timespec pause{0, kBatchPauseNanoseconds};
    if (ppoll(&wake, 1, &pause, nullptr) > 0) {
      std::uint64_t value;
      [[maybe_unused]] const ssize_t ignored = ::read(wake_fd, &value, sizeof value);
      return;  // a packet came, or the port closed
    }
    const std::size_t gathered = changes.ServeWaiting();
    pace.batching = gathered >= 2;
    if (gathered > 0) return;
  }
  epoll_event ready[2];
  const int count = epoll_wait(port_epoll, ready, 2, timeout_ms);
  bool ready_changes = false;
  for (int i = 0; i < count; ++i) {
    if (ready[i].data.fd == wake_fd) {
      std::uint64_t value;
      [[maybe_unused]] const ssize_t ignored = ::read(wake_fd, &value, sizeof value);
    } else {
      ready_changes = true;
    }
  }
  if (ready_changes) changes.ServeWaiting();
}

// The queue is empty: nothing more can pair with a held MOVED_FROM, and no IN_CREATE from before a scan is still
// on its way.
void Engine::Drained() {
  ResolveAllHeld();
  for (Sub* sub : scanned_subs_) sub->scanned.clear();
  scanned_subs_.clear();
  FlushReads();
}

void Engine::FlushReads() {
  ReleaseDead();
  ReleasePending();
  if (retry_partial_) RetryPartial();
  for (Watch* watch : watches_) {
    if (watch->reading) TryComplete(*watch);
  }
}

Node* Engine::FindNode(int wd) {
  auto it = nodes_.find(wd);
  return it == nodes_.end() ? nullptr : it->second.get();
}

Node* Engine::NodeFor(int wd) {
  auto& slot = nodes_[wd];
  if (!slot) slot = std::make_unique<Node>(Node{wd, {}, {}, false});
  return slot.get();
}

// The node stays in the table until its kernel watch is given back: a handle that watches the same directory
// meanwhile gets the same wd from the kernel, and takes the node up again.
void Engine::ReleaseIfUnused(Node* node) {
  if (!node->unused() || node->releasing) return;
  node->releasing = true;
  releasing_.push_back(node->wd);
}

// Gives back a slice of the kernel watches waiting in `releasing_`, as many as leave half of the kernel queue free
// (events queue at 16 bytes or more each). What is left waits for the reader, which the IN_IGNORED events of this
// slice (or the events that filled the queue) wake: work is left only when one of them is queued.
void Engine::ReleasePending() {
  if (releasing_.empty()) return;
  std::size_t budget = std::min(kReleaseSlice, static_cast<std::size_t>(std::max(queued_events_limit_ / 2, 1L)));
  int queued_bytes = 0;
  if (::ioctl(inotify_fd_, FIONREAD, &queued_bytes) == 0 && queued_bytes > 0) {
    const auto queued = static_cast<std::size_t>(queued_bytes) / sizeof(inotify_event);
    budget = queued >= budget ? 0 : budget - queued;
  }
  while (budget > 0 && !releasing_.empty()) {
    const int wd = releasing_.front();
    releasing_.pop_front();
    auto it = nodes_.find(wd);
    if (it == nodes_.end() || !it->second->releasing) continue;  // the kernel dropped it meanwhile
    it->second->releasing = false;
    if (!it->second->unused()) continue;
    // Erased first: its IN_IGNORED then finds no node, and is dispatched to nothing.
    nodes_.erase(it);
    inotify_rm_watch(inotify_fd_, wd);
    --budget;
    retry_partial_ = !partial_.empty();
  }
}

// Watches the parent of the watched directory. Without one (the root of a file system, a parent we may not read)
// a deletion is noticed only when the handle is closed.
void Engine::Guard(Watch& watch) {
  const std::string path = "/proc/self/fd/" + std::to_string(watch.directory->fd_) + "/..";
  struct stat self, parent;
  if (::fstat(watch.directory->fd_, &self) != 0 || ::stat(path.c_str(), &parent) != 0) return;
  if (self.st_dev == parent.st_dev && self.st_ino == parent.st_ino) return;
  // Only what can end the watched directory, added to whatever the parent is already watched for: a busy parent
  // then costs no wake-ups for its files.
  const int wd = inotify_add_watch(inotify_fd_, path.c_str(), IN_DELETE | IN_MOVED_TO | IN_ONLYDIR | IN_MASK_ADD);
  if (wd < 0) return;
  watch.guard = NodeFor(wd);
  watch.guard->guards.push_back(&watch);
}

void Engine::Unguard(Watch& watch) {
  Node* node = watch.guard;
  if (!node) return;
  watch.guard = nullptr;
  std::erase(node->guards, &watch);
  ReleaseIfUnused(node);
}

// A directory left the parent of guarded watches (deleted, or replaced by a rename): is one of them gone?
void Engine::CheckGuarded(Node& node) {
  for (Watch* watch : node.guards) {
    struct stat st;
    if (::fstat(watch->directory->fd_, &st) == 0 && st.st_nlink == 0) watch->deleted = true;
  }
}

void Engine::Process(const inotify_event& event) {
  if (event.mask & IN_Q_OVERFLOW) {
    ResolveAllHeld();
    LoseAll();
    return;
  }
  const bool is_dir = (event.mask & IN_ISDIR) != 0;
  const std::string name = event.len ? std::string(event.name) : std::string();
  if (!held_.empty()) ResolveHeldAbove(event.wd);
  Node* node = FindNode(event.wd);

  if (event.mask & IN_MOVED_FROM) {
    if (!node || name.empty() || node->subs.empty()) return;
    ResolveSameEntry(event.wd, name);
    node = FindNode(event.wd);
    if (!node) return;
    HeldMove held{event.wd, event.cookie, is_dir, name, {}, next_serial_++};
    for (Sub* sub : node->subs) {
      Watch& watch = *sub->watch;
      held.watches.push_back(&watch);
      // Its records take this place in the watch's order, whenever the move is resolved.
      if (WantsName(watch, is_dir) && !watch.lost && !watch.dead) {
        watch.backlog.push_back(Record{0, std::string(), held.serial});
        ++total_backlog_;
      }
    }
    held_.push_back(std::move(held));
    if (held_.size() > kMaxHeldMoves) {
      HeldMove oldest = std::move(held_.front());
      held_.pop_front();
      ResolveHeld(oldest);
    }
    return;
  }
  if (event.mask & IN_MOVED_TO) {
    if (node && !node->guards.empty() && is_dir) CheckGuarded(*node);
    for (auto it = held_.begin(); it != held_.end(); ++it) {
      if (it->cookie != event.cookie) continue;
      HeldMove from = std::move(*it);
      held_.erase(it);
      if (!name.empty()) Renamed(from, node, name);
      return;
    }
    ResolveSameEntry(event.wd, name);
    node = FindNode(event.wd);  // resolving may have released it
    if (node && !name.empty()) {
      const std::vector<Sub*> subs = node->subs;
      for (Sub* sub : subs) MovedIn(*sub, name, is_dir);
    }
    return;
  }
  // An event that names an entry held as moved away: that entry is not coming back under its old name.
  if (!name.empty() && !held_.empty()) {
    ResolveSameEntry(event.wd, name);
    node = FindNode(event.wd);
  }

  if (event.mask & IN_IGNORED) {
    NodeGone(event.wd);
    return;
  }
  if (!node) return;
  if (!node->guards.empty() && is_dir && (event.mask & IN_DELETE)) CheckGuarded(*node);
  if (event.mask & IN_MOVE_SELF) {
    // A watched directory moved to another parent: guard it from there.
    const std::vector<Sub*> subs = node->subs;
    for (Sub* sub : subs) {
      if (sub->parent) continue;
      Watch& watch = *sub->watch;
      Node* old_guard = watch.guard;
      if (old_guard) std::erase(old_guard->guards, &watch);
      watch.guard = nullptr;
      Guard(watch);
      if (old_guard && old_guard != watch.guard) ReleaseIfUnused(old_guard);
    }
    return;
  }
  if (name.empty()) return;
  if (event.mask & IN_CREATE) Created(*node, name, is_dir);
  if (event.mask & IN_DELETE) Deleted(*node, name, is_dir);
  if (event.mask & IN_MODIFY) Modified(*node, name, is_dir);
}

void Engine::Created(Node& node, const std::string& name, bool is_dir) {
  const std::vector<Sub*> subs = node.subs;
  for (Sub* sub : subs) {
    if (sub->scanned.erase(name)) continue;  // a scan already reported it
    Watch& watch = *sub->watch;
    if (WantsName(watch, is_dir)) Append(watch, FILE_ACTION_ADDED, ChildPath(*sub, name));
    if (is_dir && watch.subtree) AddChild(*sub, name, kReportEverything);
  }
}

void Engine::Deleted(Node& node, const std::string& name, bool is_dir) {
  const std::vector<Sub*> subs = node.subs;
  for (Sub* sub : subs) {
    sub->scanned.erase(name);
    Watch& watch = *sub->watch;
    if (WantsName(watch, is_dir)) Append(watch, FILE_ACTION_REMOVED, ChildPath(*sub, name));
    if (is_dir) RemoveChild(*sub, name);
  }
}

void Engine::Modified(Node& node, const std::string& name, bool is_dir) {
  if (is_dir) return;
  for (Sub* sub : node.subs) {
    Watch& watch = *sub->watch;
    if (watch.filter & FILE_NOTIFY_CHANGE_LAST_WRITE) Append(watch, FILE_ACTION_MODIFIED, ChildPath(*sub, name));
  }
}

// The kernel dropped a watch (its directory was deleted or unmounted).
void Engine::NodeGone(int wd) {
  auto it = nodes_.find(wd);
  if (it == nodes_.end()) return;
  std::unique_ptr<Node> node = std::move(it->second);
  nodes_.erase(it);
  for (Watch* watch : node->guards) watch->guard = nullptr;
  const std::vector<Sub*> subs = node->subs;
  for (Sub* sub : subs) {
    sub->node = nullptr;
    if (!sub->parent) {
      sub->watch->deleted = true;
    } else {
      auto& siblings = sub->parent->children;
      auto child = siblings.find(sub->name);
      if (child != siblings.end() && child->second == sub) siblings.erase(child);
      RemoveSub(sub);
    }
  }
}

int Engine::AddKernelWatch(const Watch& watch, const std::string& relative, Refusal& refusal) {
  // Through the handle's own descriptor, so the path stays right when the watched directory is renamed.
  std::string path = "/proc/self/fd/" + std::to_string(watch.directory->fd_);
  uint32_t mask = kEventMask | IN_ONLYDIR;
  if (!relative.empty()) {
    path += '/';
    path += relative;
    mask |= IN_DONT_FOLLOW;  // never the magic link itself, but never a symbolic link inside the tree
  }
  DWORD seam_error = 0;
  if (!relative.empty() && SeamConsumeFailure("inotify_add_watch", seam_error)) {
    // ERROR_NOT_ENOUGH_QUOTA stands for the per-user watch limit (ENOSPC), anything else for another refusal.
    refusal = seam_error == ERROR_NOT_ENOUGH_QUOTA ? Refusal::kLimit : Refusal::kFailed;
    return -1;
  }
  const int wd = inotify_add_watch(inotify_fd_, path.c_str(), mask);
  if (wd >= 0 || errno == ENOENT || errno == ENOTDIR) {
    refusal = Refusal::kNone;
  } else {
    refusal = errno == ENOSPC ? Refusal::kLimit : Refusal::kFailed;
  }
  return wd;
}

}  // namespace quorvel::platform::detail::fs_event
