// The reader thread and the kernel-watch table. One inotify instance serves the whole process (the per-user limit
// is 128 instances); a reader thread blocks in epoll_wait on it and drains the kernel queue as soon as events
// arrive (in a burst, after a nap of a few tens of microseconds that lets them queue, so that a burst costs a wake-up
// per batch rather than per event), whether or not a read is outstanding, so the kernel's bounded queue rarely
// overflows. Kernel watches are shared: every watch asks for the same event mask, so the kernel hands out one watch
// descriptor per inode, which the layer reference-counts between handles (Node). The parent of a watched directory is watched for deletions
// and renames only (its `guards`), as the handle's open descriptor keeps the kernel from reporting the directory's
// own deletion. Events are dispatched here to the watches' records (creations, deletions, writes) and to rename
// pairing (moves). Kernel watches no handle uses any more are given back in slices (ReleasePending): each removal
// queues an IN_IGNORED event, and the reader drains the queue between slices, so that closing a big tree never
// overflows the queue for the other watches. A child after fork leaves its parent's engine alone and makes its own.
#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
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
  epoll_event interest{};
  interest.events = EPOLLIN;
  interest.data.fd = ifd;
  if (epoll_ctl(efd, EPOLL_CTL_ADD, ifd, &interest) != 0) {
    const int error = errno;
    ::close(ifd);
    ::close(efd);
    return Win32FromErrno(error);
  }
  try {
    std::thread(&Engine::ReaderLoop, this).detach();
  } catch (const std::system_error&) {
    ::close(ifd);
    ::close(efd);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
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

namespace {

std::int64_t MonotonicNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

void Engine::ReaderLoop() {
  // The descriptors are set before the thread starts and never change.
  int ifd, efd;
  {
    std::lock_guard lock(mutex);
    ifd = inotify_fd_;
    efd = epoll_fd_;
  }
  alignas(inotify_event) static thread_local char buffer[64 * 1024];
  for (;;) {
    epoll_event ready;
    const std::int64_t wait_began = MonotonicNanoseconds();
    if (epoll_wait(efd, &ready, 1, -1) < 0) continue;  // EINTR
    // In a burst, waking for every event costs more than the events: one short nap lets the rest of them queue, and
    // the worker gets them as one completion. An event after a quiet spell is read at once.
    if (MonotonicNanoseconds() - wait_began < kBurstGap.count()) {
      const timespec nap{0, static_cast<long>(kBurstNap.count())};
      nanosleep(&nap, nullptr);
    }
    bool grace_used = false;
    for (;;) {
      ssize_t length = ::read(ifd, buffer, sizeof buffer);
      if (length < 0) {
        if (errno == EINTR) continue;
        bool move_held;
        {
          std::lock_guard lock(mutex);
          move_held = !held_.empty();
        }
        // The kernel queues the two halves of a rename one after the other; one short wait lets a MOVED_TO that
        // is on its way arrive before the MOVED_FROM is taken for a move out.
        if (move_held && !grace_used) {
          grace_used = true;
          if (epoll_wait(efd, &ready, 1, 2) > 0) continue;
        }
        ReaderLock lock(*this);
        Drained();
        break;
      }
      grace_used = false;
      ReaderLock lock(*this);
      // Whatever is queued meanwhile is read under the same hold: the lock may have been hard to get.
      do {
        for (ssize_t offset = 0; offset < length;) {
          const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
          Process(*event);
          offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
        FlushReads();
        // Kernel watches still to be given back: their IN_IGNORED events are on their way, and the next slice
        // follows them; the lock is given up in between.
        if (!releasing_.empty()) break;
        length = ::read(ifd, buffer, sizeof buffer);
      } while (length > 0);
    }
  }
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

int Engine::AddKernelWatch(const Watch& watch, const std::string& relative, bool& failed_hard) {
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
    failed_hard = true;  // as when the per-user watch limit is reached
    return -1;
  }
  const int wd = inotify_add_watch(inotify_fd_, path.c_str(), mask);
  failed_hard = wd < 0 && errno != ENOENT && errno != ENOTDIR;
  return wd;
}

}  // namespace quorvel::platform::detail::fs_event
