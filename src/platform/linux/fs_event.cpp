// ReadDirectoryChangesW over inotify.
//
// One inotify instance serves the whole process (the per-user limit is 128 instances). A reader thread blocks in
// epoll_wait on it and drains the kernel queue as soon as events arrive, whether or not a read is outstanding, so
// the kernel's bounded queue rarely overflows. Kernel watches are shared: every watch asks for the same event mask,
// so the kernel hands out one watch descriptor per inode, and the layer reference-counts it between handles.
//
// Semantics, as Windows gives them:
// - Recording starts with a handle's first read. Changes that arrive while no read is outstanding are kept in the
//   handle's backlog and delivered by the next read, as many records as fit in its buffer; the rest go to the reads
//   after it. Records are FILE_NOTIFY_INFORMATION, DWORD-aligned, names relative to the watched directory with '/'
//   between levels, FileNameLength in bytes (code units * sizeof(WCHAR)).
// - A handle whose port is closed (its completions can never be dequeued) records nothing more and gives back its
//   kernel watches, once that is noticed (within a thousand records kept for it), until it is closed. All handles
//   together keep at most kProcessBacklogLimit records; beyond that the handle recording one more loses its backlog.
// - Loss: when the kernel queue overflows (IN_Q_OVERFLOW, every watch), a handle's backlog reaches kBacklogLimit
//   records (262,144), or the kernel refuses a watch for a new subdirectory, the backlog is dropped and the next
//   read completes with 0 bytes (status STATUS_NOTIFY_ENUM_DIR), Windows' signal to rescan. Changes arriving
//   between the loss and that completion are dropped too. A record too large for the whole buffer is a loss of that
//   record alone: the read that meets it completes with 0 bytes, and the records after it go to the next read.
// - Actions: IN_CREATE -> ADDED, IN_DELETE -> REMOVED, IN_MODIFY -> MODIFIED (files only, under
//   FILE_NOTIFY_CHANGE_LAST_WRITE; consecutive writes to one file not yet read are coalesced into one record),
//   IN_MOVED_FROM + IN_MOVED_TO with one cookie inside the watched tree -> RENAMED_OLD_NAME, RENAMED_NEW_NAME; a move
//   into the tree -> ADDED, out of it -> REMOVED. A MOVED_FROM waits for the MOVED_TO with its cookie (pairing goes
//   by cookie alone: other events, also of the same directory, may come between the halves); it counts as a move
//   out when the kernel queue stays empty for 2 ms, when more than kMaxHeldMoves halves wait, or when a later event
//   names the same entry or comes from inside the moved directory. Its records keep the place of the MOVED_FROM
//   in each handle's order: a read delivers records up to a half still waiting, and the rest after it. Files count
//   under FILE_NOTIFY_CHANGE_FILE_NAME, directories (IN_ISDIR) under FILE_NOTIFY_CHANGE_DIR_NAME, symbolic links as
//   files. Attribute changes (also a touch of the modification time) are not reported; the size, attribute,
//   access, creation and security filters are accepted and report nothing.
// - Subtree: a kernel watch per directory, added as directories appear (created, moved in, or found by a scan).
//   A created directory is scanned once its watch is in place and what it already holds is reported as ADDED,
//   recursively; the names a scan reported are remembered until the kernel queue has been drained, so the queued
//   IN_CREATE of the same entry is not reported twice. A directory moved in is reported alone, as on Windows,
//   except for what was created in it after the move but before its watch was in place (birth time not older
//   than the directory's change time, which the move set, less two clock ticks), so nothing made in it right after
//   the move is missed.
//   Symbolic links are never followed. A renamed subdirectory keeps its watches and reports under its new name.
//   After a queue overflow every tree is walked again. A subdirectory the kernel refuses to watch (the per-user
//   limit, fs.inotify.max_user_watches) is a loss, and is tried again when kernel watches are given back or after
//   the next queue overflow.
// - The parameters of a handle's first read (subtree, filter) hold for all its later reads.
// - Closing a handle with a read outstanding completes that read with 0 bytes (status STATUS_NOTIFY_CLEANUP) on the
//   port it is bound to. A watched directory that is deleted ends its outstanding read, once the backlog has been
//   delivered, as a failed I/O with ERROR_ACCESS_DENIED (STATUS_DELETE_PENDING, which Windows maps to that code);
//   a read issued afterwards fails the same way. The handle's open descriptor keeps the kernel from reporting the
//   directory's own deletion, so it is seen from the parent directory (watched for deletions and renames only):
//   a directory gone from there whose link count is 0.
// - fork: a child starts from a clean state: its own inotify instance and reader thread on first use; the
//   parent's engine, its watches and its kernel watches are never touched there (a handle inherited from the
//   parent starts a new watch with its next read).
// - Reads that cannot be issued: a file handle -> ERROR_INVALID_PARAMETER (as Windows); a null buffer or a filter
//   of 0 or unknown bits -> ERROR_INVALID_PARAMETER; a buffer that is not DWORD-aligned -> ERROR_NOACCESS; a read
//   already outstanding on the handle -> ERROR_BUSY (Windows would queue it; nothing here issues two); synchronous
//   reads (no OVERLAPPED) and completion routines -> ERROR_NOT_SUPPORTED.
#include "platform/linux/fs_event.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <deque>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/linux/errors.h"
#include "platform/linux/wide.h"

namespace quorvel::platform::detail {

namespace {

// Records a handle may hold between reads before its changes count as lost. Windows bounds this by the buffer of
// the first read; a larger bound lets a slow consumer catch up with a burst (about 40 bytes a record plus long names).
constexpr std::size_t kBacklogLimit = 1u << 18;
// Records all handles together may hold: beyond it, the handle that records one more loses its backlog.
constexpr std::size_t kProcessBacklogLimit = 1u << 20;
// How often (in records kept between reads) a handle checks that its completions can still be delivered.
constexpr std::size_t kDeliveryCheckInterval = 1024;

constexpr uint32_t kEventMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF | IN_EXCL_UNLINK;
constexpr DWORD kKnownFilters = 0x17F;  // FILE_NAME .. SECURITY, as Windows accepts them
constexpr DWORD kStatusUnsuccessful = 0xC0000001u;

struct Record {
  DWORD action;      // 0: the place of a held move's records, not yet known (`serial` names the move)
  std::string name;  // bytes, relative to the watched directory
  std::uint64_t serial = 0;
};

struct Watch;
struct Node;

// One directory of a watch's tree.
struct Sub {
  Watch* watch;
  Sub* parent;       // null for the watched directory itself
  std::string name;  // component under the parent
  Node* node;        // null once the directory's kernel watch is gone
  std::unordered_map<std::string, Sub*> children;
  // Entries a scan reported as ADDED whose IN_CREATE may still be queued.
  std::unordered_set<std::string> scanned;
};

// One kernel watch descriptor, shared by every Sub on the same inode, and by the watches whose watched directory
// lies in it (`guards`: the open handle keeps the kernel from reporting that directory's own deletion, so its removal
// is seen from the parent).
struct Node {
  int wd;
  std::vector<Sub*> subs;
  std::vector<Watch*> guards;
  bool unused() const { return subs.empty() && guards.empty(); }
};

class Directory;

// What a scan reports as ADDED: nothing, everything, or what was born since a time (the contents a directory gained
// after it was moved in: its own change time is the time of the move, which renaming sets).
struct Report {
  enum Mode { kNothing, kEverything, kSince } mode = kNothing;
  timespec since{};
};
const Report kReportNothing{};

// File times come from a coarse clock, and a change time may be finer than a birth time taken a moment later:
// compare with two ticks of slack, so that nothing born after a move is missed (at worst an entry made just
// before it is reported too).
long TimestampSlack() {
  static const long slack = [] {
    timespec resolution{};
    if (clock_getres(CLOCK_REALTIME_COARSE, &resolution) != 0 || resolution.tv_sec != 0) return 20'000'000L;
    return 2 * resolution.tv_nsec;
  }();
  return slack;
}

timespec Earlier(timespec t, long nanoseconds) {
  t.tv_nsec -= nanoseconds;
  while (t.tv_nsec < 0) {
    t.tv_nsec += 1'000'000'000L;
    --t.tv_sec;
  }
  return t;
}
const Report kReportEverything{Report::kEverything, {}};

struct Watch {
  Directory* directory;
  bool subtree;
  DWORD filter;
  Sub* root = nullptr;
  Node* guard = nullptr;  // the parent directory's node
  std::size_t backlog_limit;
  std::deque<Record> backlog;
  // The test seam's Windows mode: the backlog holds at most what the first read's buffer would (0: no such bound).
  std::size_t backlog_bytes_limit = 0;
  std::size_t backlog_bytes = 0;
  bool lost = false;     // changes were dropped; the next read completes with 0 bytes
  bool dead = false;     // its port is closed: nothing is recorded, its kernel watches are given back
  bool deleted = false;  // the watched directory is gone
  bool reading = false;
  BYTE* buffer = nullptr;
  DWORD length = 0;
  LPOVERLAPPED overlapped = nullptr;
};

// A MOVED_FROM waiting for the MOVED_TO that should follow it.
struct HeldMove {
  int wd = -1;
  uint32_t cookie = 0;
  bool is_dir = false;
  std::string name;
  std::vector<const Watch*> watches;  // compared only (followed only while in watches_): the watches that saw it
  std::uint64_t serial = 0;           // names its place in those watches' backlogs
};

// Renames by other processes may interleave; beyond this many unpaired halves the oldest counts as a move out.
constexpr std::size_t kMaxHeldMoves = 64;

// Counts the forks this process came out of as a child: a watch made before the last one belongs to the
// parent's engine, which the child never touches.
std::atomic<unsigned> engine_generation{0};

class Directory final : public Bindable {
 public:
  explicit Directory(int fd) : Bindable(Kind::Directory), fd_(fd) {}
  ~Directory() override {
    if (fd_ >= 0) ::close(fd_);
  }
  void OnClose() override;

  // The watch of this handle in this process's engine; null when there is none (one made by the parent before
  // a fork is forgotten, never touched). Guarded by the engine's mutex.
  Watch* OwnWatch() {
    if (watch_ && generation_ != engine_generation.load()) watch_ = nullptr;
    return watch_;
  }

  // Guarded by the engine's mutex.
  int fd_;
  bool closed_ = false;
  Watch* watch_ = nullptr;
  unsigned generation_ = 0;  // engine_generation when `watch_` was made
};

class Engine {
 public:
  std::mutex mutex;

  // In a child after fork, on the forking thread alone: the reader thread does not exist there and the inotify
  // instance is shared with the parent (removing a kernel watch would end the parent's), so this engine is left
  // as it is and only its descriptors are closed.
  void AbandonInChild() {
    if (inotify_fd_ >= 0) ::close(inotify_fd_);
    if (epoll_fd_ >= 0) ::close(epoll_fd_);
  }

  // All below guarded by `mutex`.
  DWORD Start();
  DWORD BeginWatch(Directory& directory, bool subtree, DWORD filter, DWORD buffer_length);
  void EndWatch(Directory& directory, bool cancel_read);
  bool TryComplete(Watch& watch);
  void InjectOverflow() {
    ResolveAllHeld();
    LoseAll();
    FlushReads();
  }
  void CompleteRead(Watch& watch, DWORD status, DWORD bytes, DWORD error);
  void ClearBacklog(Watch& watch);

 private:
  void ReaderLoop();
  void Process(const inotify_event& event);
  void Drained();
  void FlushReads();

  void Created(Node& node, const std::string& name, bool is_dir);
  void Deleted(Node& node, const std::string& name, bool is_dir);
  void Modified(Node& node, const std::string& name, bool is_dir);
  void MovedIn(Sub& sub, const std::string& name, bool is_dir);
  void MovedOut(Sub& sub, const std::string& name, bool is_dir, std::uint64_t serial = 0);
  void Settle(Watch& watch, std::uint64_t serial, std::vector<Record> records);
  void ResolveHeld(const HeldMove& from);
  void ResolveSameEntry(int wd, const std::string& name);
  void ResolveHeldAbove(int wd);
  void ResolveAllHeld();
  void Renamed(const HeldMove& from, Node* to_node, const std::string& to_name);
  void NodeGone(int wd);
  void LoseAll();

  Sub* AddChild(Sub& parent, const std::string& name, const Report& report);
  void Scan(Sub& sub, const Report& report);
  void RemoveSub(Sub* sub);
  void RemoveChild(Sub& parent, const std::string& name);
  Node* FindNode(int wd);
  Node* NodeFor(int wd);
  void ReleaseIfUnused(Node* node);
  void RetryPartial();
  void Guard(Watch& watch);
  void Unguard(Watch& watch);
  void CheckGuarded(Node& node);
  int AddKernelWatch(const Watch& watch, const std::string& relative, bool& failed_hard);

  void Append(Watch& watch, DWORD action, std::string name);
  void ReleaseDead();
  static bool WantsName(const Watch& watch, bool is_dir) {
    return (watch.filter & (is_dir ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME)) != 0;
  }
  static std::string PathOf(const Sub& sub);
  static std::string ChildPath(const Sub& sub, const std::string& name);
  DWORD Fill(Watch& watch);

  int inotify_fd_ = -1;
  int epoll_fd_ = -1;
  std::unordered_map<int, std::unique_ptr<Node>> nodes_;
  std::unordered_set<Watch*> watches_;
  std::unordered_set<Sub*> scanned_subs_;
  std::deque<HeldMove> held_;
  std::uint64_t next_serial_ = 1;
  std::size_t total_backlog_ = 0;  // records in every handle's backlog
  std::vector<Watch*> dying_;      // dead watches whose kernel watches are still to be given back
  std::unordered_set<Sub*> partial_;  // directories with a subdirectory the kernel would not watch
  std::unordered_set<Sub*> retrying_;
  bool retry_partial_ = false;        // kernel watches were given back since: try those again
};

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
    if (epoll_wait(efd, &ready, 1, -1) < 0) continue;  // EINTR
    bool grace_used = false;
    for (;;) {
      const ssize_t length = ::read(ifd, buffer, sizeof buffer);
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
        std::lock_guard lock(mutex);
        Drained();
        break;
      }
      grace_used = false;
      std::lock_guard lock(mutex);
      for (ssize_t offset = 0; offset < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        Process(*event);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
      FlushReads();
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
  if (!slot) slot = std::make_unique<Node>(Node{wd, {}, {}});
  return slot.get();
}

void Engine::ReleaseIfUnused(Node* node) {
  if (!node->unused()) return;
  inotify_rm_watch(inotify_fd_, node->wd);
  nodes_.erase(node->wd);
  retry_partial_ = !partial_.empty();
}

// Directories of subtrees that could not be watched (the kernel's limit) are tried again.
void Engine::RetryPartial() {
  retry_partial_ = false;
  // A scan may free other Subs of the set: RemoveSub takes them out of `retrying_` too.
  retrying_.swap(partial_);
  while (!retrying_.empty()) {
    Sub* sub = *retrying_.begin();
    retrying_.erase(retrying_.begin());
    if (sub->node) Scan(*sub, kReportNothing);
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

std::string Engine::PathOf(const Sub& sub) {
  if (!sub.parent) return std::string();
  std::vector<const std::string*> parts;
  std::size_t size = 0;
  for (const Sub* s = &sub; s->parent; s = s->parent) {
    parts.push_back(&s->name);
    size += s->name.size() + 1;
  }
  std::string path;
  path.reserve(size);
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (!path.empty()) path += '/';
    path += **it;
  }
  return path;
}

std::string Engine::ChildPath(const Sub& sub, const std::string& name) {
  std::string path = PathOf(sub);
  if (!path.empty()) path += '/';
  path += name;
  return path;
}

// The bytes a record takes in a read's buffer, padding included.
std::size_t RecordBytes(const Record& record) {
  const std::size_t size = offsetof(FILE_NOTIFY_INFORMATION, FileName) + Utf8ToWide(record.name).size() * sizeof(WCHAR);
  return (size + sizeof(DWORD) - 1) & ~(sizeof(DWORD) - 1);
}

void Engine::ClearBacklog(Watch& watch) {
  total_backlog_ -= watch.backlog.size();
  watch.backlog.clear();
  watch.backlog_bytes = 0;
}

// Completions of a handle whose port is closed can never be dequeued.
bool CannotDeliver(const Watch& watch) {
  const Binding binding = watch.directory->binding();
  return binding.port && binding.port->closed();
}

// Gives back the kernel watches of dead handles; not while an event is being dispatched to their trees.
void Engine::ReleaseDead() {
  for (Watch* watch : dying_) {
    if (watch->root) RemoveSub(watch->root);
    watch->root = nullptr;
    Unguard(*watch);
  }
  dying_.clear();
}

void Engine::Append(Watch& watch, DWORD action, std::string name) {
  if (watch.lost || watch.dead) return;
  if (action == FILE_ACTION_MODIFIED && !watch.backlog.empty()) {
    const Record& last = watch.backlog.back();
    if (last.action == FILE_ACTION_MODIFIED && last.name == name) return;
  }
  Record record{action, std::move(name)};
  std::size_t bytes = 0;
  if (watch.backlog_bytes_limit) bytes = RecordBytes(record);
  if (watch.backlog.size() >= watch.backlog_limit || total_backlog_ >= kProcessBacklogLimit ||
      (watch.backlog_bytes_limit && watch.backlog_bytes + bytes > watch.backlog_bytes_limit)) {
    ClearBacklog(watch);
    watch.lost = true;
    return;
  }
  watch.backlog_bytes += bytes;
  watch.backlog.push_back(std::move(record));
  ++total_backlog_;
  if (!watch.reading && watch.backlog.size() % kDeliveryCheckInterval == 0 && CannotDeliver(watch)) {
    // Recorded for nobody (the watcher stopped, say): silent until the handle is closed.
    ClearBacklog(watch);
    watch.dead = true;
    dying_.push_back(&watch);
  }
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

void Engine::MovedIn(Sub& sub, const std::string& name, bool is_dir) {
  sub.scanned.erase(name);
  Watch& watch = *sub.watch;
  if (WantsName(watch, is_dir)) Append(watch, FILE_ACTION_ADDED, ChildPath(sub, name));
  if (is_dir && watch.subtree) AddChild(sub, name, Report{Report::kSince, {}});
}

void Engine::MovedOut(Sub& sub, const std::string& name, bool is_dir, std::uint64_t serial) {
  sub.scanned.erase(name);
  Watch& watch = *sub.watch;
  if (WantsName(watch, is_dir)) {
    if (serial) {
      Settle(watch, serial, {Record{FILE_ACTION_REMOVED, ChildPath(sub, name)}});
    } else {
      Append(watch, FILE_ACTION_REMOVED, ChildPath(sub, name));
    }
  }
  if (is_dir) RemoveChild(sub, name);
}

// Puts a held move's records in its place in the watch's backlog. Its place is gone when the backlog was dropped
// meanwhile (a loss, already signalled): then so are the records.
void Engine::Settle(Watch& watch, std::uint64_t serial, std::vector<Record> records) {
  auto& backlog = watch.backlog;
  for (auto it = backlog.end(); it != backlog.begin();) {
    --it;
    if (it->action != 0 || it->serial != serial) continue;
    it = backlog.erase(it);
    --total_backlog_;
    for (const Record& record : records) {
      if (watch.backlog_bytes_limit) watch.backlog_bytes += RecordBytes(record);
    }
    total_backlog_ += records.size();
    backlog.insert(it, std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
    return;
  }
}

// A MOVED_FROM that nothing paired: the entry left every tree that saw it.
void Engine::ResolveHeld(const HeldMove& from) {
  if (Node* node = FindNode(from.wd)) {
    const std::vector<Sub*> subs = node->subs;
    for (Sub* sub : subs) MovedOut(*sub, from.name, from.is_dir, from.serial);
  }
  // Places no record took (the directory's watch is gone) are given up, so later records can be read.
  for (const Watch* seen : from.watches) {
    auto live = watches_.find(const_cast<Watch*>(seen));
    if (live != watches_.end()) Settle(**live, from.serial, {});
  }
}

// Resolves as moved away the held halves of directories that hold `wd`'s directory: it reports from where they
// went, so they are not where they were.
void Engine::ResolveHeldAbove(int wd) {
  for (auto it = held_.begin(); it != held_.end();) {
    const Node* node = FindNode(wd);  // a move out resolved below may release it
    if (!node) return;
    bool above = false;
    for (const Sub* sub : node->subs) {
      for (const Sub* s = sub; s->parent && !above; s = s->parent) {
        above = s->parent->node && s->parent->node->wd == it->wd && s->name == it->name;
      }
    }
    if (!above) {
      ++it;
      continue;
    }
    HeldMove from = std::move(*it);
    it = held_.erase(it);
    ResolveHeld(from);
  }
}

// Resolves as moved away the held halves of the entry `name` of directory `wd`: a later event names it anew.
void Engine::ResolveSameEntry(int wd, const std::string& name) {
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->wd != wd || it->name != name) {
      ++it;
      continue;
    }
    HeldMove from = std::move(*it);
    it = held_.erase(it);
    ResolveHeld(from);
  }
}

void Engine::ResolveAllHeld() {
  while (!held_.empty()) {
    HeldMove from = std::move(held_.front());
    held_.pop_front();
    ResolveHeld(from);
  }
}

void Engine::Renamed(const HeldMove& from, Node* to_node, const std::string& to_name) {
  Node* from_node = FindNode(from.wd);
  const std::vector<Sub*> from_subs = from_node ? from_node->subs : std::vector<Sub*>();
  const std::vector<Sub*> to_subs = to_node ? to_node->subs : std::vector<Sub*>();
  std::unordered_set<Watch*> paired;

  for (Sub* source : from_subs) {
    Watch& watch = *source->watch;
    Sub* target = nullptr;
    for (Sub* candidate : to_subs) {
      if (candidate->watch == &watch) target = candidate;
    }
    if (!target) {
      MovedOut(*source, from.name, from.is_dir, from.serial);
      continue;
    }
    source->scanned.erase(from.name);
    paired.insert(&watch);
    target->scanned.erase(to_name);
    if (WantsName(watch, from.is_dir)) {
      Settle(watch, from.serial,
             {Record{FILE_ACTION_RENAMED_OLD_NAME, ChildPath(*source, from.name)},
              Record{FILE_ACTION_RENAMED_NEW_NAME, ChildPath(*target, to_name)}});
    }
    if (!from.is_dir || !watch.subtree) continue;
    // The directory keeps its kernel watches; only its place in the tree changes.
    auto it = source->children.find(from.name);
    if (it == source->children.end()) {
      AddChild(*target, to_name, kReportNothing);
      continue;
    }
    Sub* moved = it->second;
    source->children.erase(it);
    RemoveChild(*target, to_name);  // a directory replaced by the rename
    moved->parent = target;
    moved->name = to_name;
    target->children.emplace(to_name, moved);
  }
  for (Sub* target : to_subs) {
    if (!paired.count(target->watch)) MovedIn(*target, to_name, from.is_dir);
  }
  for (const Watch* seen : from.watches) {
    auto live = watches_.find(const_cast<Watch*>(seen));
    if (live != watches_.end()) Settle(**live, from.serial, {});
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

void Engine::LoseAll() {
  for (Watch* watch : watches_) {
    ClearBacklog(*watch);
    watch->lost = true;
  }
  // Directories created, moved or deleted while the queue was full went unseen: walk every tree again (which also
  // tries again the directories the kernel would not watch).
  partial_.clear();
  for (Watch* watch : watches_) {
    if (watch->subtree && watch->root && watch->root->node) Scan(*watch->root, kReportNothing);
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

Sub* Engine::AddChild(Sub& parent, const std::string& name, const Report& requested) {
  if (parent.children.count(name)) return nullptr;
  Watch& watch = *parent.watch;
  bool failed_hard = false;
  const std::string relative = ChildPath(parent, name);
  const int wd = AddKernelWatch(watch, relative, failed_hard);
  if (wd < 0) {
    // Gone again or no longer a directory: nothing to watch. Out of kernel watches: its changes are missed (a
    // loss), and the directory is tried again when kernel watches are given back or changes are lost again.
    if (failed_hard) {
      ClearBacklog(watch);
      watch.lost = true;
      partial_.insert(&parent);
    }
    return nullptr;
  }
  Node* node = NodeFor(wd);
  for (Sub* existing : node->subs) {
    if (existing->watch == &watch) return nullptr;  // the same directory seen twice in one tree (bind mounts)
  }
  Sub* sub = new Sub{&watch, &parent, name, node, {}, {}};
  parent.children.emplace(name, sub);
  node->subs.push_back(sub);
  Report report = requested;
  if (report.mode == Report::kSince && report.since.tv_sec == 0 && report.since.tv_nsec == 0) {
    // Read after the watch is in place: whatever appeared since the move is either reported here or queued.
    struct stat st;
    if (::fstatat(watch.directory->fd_, relative.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      report = kReportNothing;
    } else {
      report.since = Earlier(st.st_ctim, TimestampSlack());
    }
  }
  Scan(*sub, report);
  return sub;
}

// Lists a directory of the tree: watches the subdirectories not yet watched (reporting what a new directory holds
// when `report`), walks those already watched, and drops those that are gone.
void Engine::Scan(Sub& sub, const Report& report) {
  const std::string relative = PathOf(sub);
  const int fd = ::openat(sub.watch->directory->fd_, relative.empty() ? "." : relative.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return;
  }
  std::vector<std::string> subdirs;
  std::unordered_set<std::string> seen;
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    bool is_dir = entry->d_type == DT_DIR;
    bool reported = report.mode == Report::kEverything;
    if (report.mode == Report::kSince) {
      // Born after the move (change time where the file system keeps no birth time).
      struct statx sx;
      if (::statx(::dirfd(dir), name, AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_CTIME | STATX_BTIME, &sx) != 0)
        continue;
      is_dir = S_ISDIR(sx.stx_mode);
      const statx_timestamp& born = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime;
      reported = born.tv_sec > report.since.tv_sec ||
                 (born.tv_sec == report.since.tv_sec && born.tv_nsec >= static_cast<uint32_t>(report.since.tv_nsec));
    } else if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      is_dir = S_ISDIR(st.st_mode);
    }
    if (reported) {
      Watch& watch = *sub.watch;
      if (WantsName(watch, is_dir)) Append(watch, FILE_ACTION_ADDED, ChildPath(sub, name));
      sub.scanned.insert(name);
      scanned_subs_.insert(&sub);
    }
    if (is_dir) {
      subdirs.emplace_back(name);
      seen.insert(name);
    }
  }
  ::closedir(dir);

  std::vector<std::string> gone;
  for (const auto& [name, child] : sub.children) {
    if (!seen.count(name)) gone.push_back(name);
  }
  for (const auto& name : gone) RemoveChild(sub, name);
  for (const auto& name : subdirs) {
    auto it = sub.children.find(name);
    if (it != sub.children.end()) {
      Scan(*it->second, kReportNothing);
    } else if (sub.watch->subtree) {
      AddChild(sub, name, report);
    }
  }
}

void Engine::RemoveChild(Sub& parent, const std::string& name) {
  auto it = parent.children.find(name);
  if (it == parent.children.end()) return;
  Sub* child = it->second;
  parent.children.erase(it);
  RemoveSub(child);
}

// Frees a Sub that is no longer in its parent's children, with its subtree, releasing kernel watches no Sub uses.
void Engine::RemoveSub(Sub* sub) {
  for (auto& [name, child] : sub->children) RemoveSub(child);
  sub->children.clear();
  scanned_subs_.erase(sub);
  partial_.erase(sub);
  retrying_.erase(sub);
  if (Node* node = sub->node) {
    std::erase(node->subs, sub);
    ReleaseIfUnused(node);
  }
  delete sub;
}

DWORD Engine::BeginWatch(Directory& directory, bool subtree, DWORD filter, DWORD buffer_length) {
  if (DWORD error = Start(); error != ERROR_SUCCESS) return error;
  struct stat st;
  if (::fstat(directory.fd_, &st) != 0) return Win32FromErrno(errno);
  if (st.st_nlink == 0) return ERROR_ACCESS_DENIED;  // deleted before its first read
  auto watch = std::make_unique<Watch>();
  watch->directory = &directory;
  watch->subtree = subtree;
  watch->filter = filter;
  watch->backlog_limit = SeamBacklogLimit(kBacklogLimit);
  if (SeamWindowsBacklog()) watch->backlog_bytes_limit = buffer_length;
  bool failed_hard = false;
  const int wd = AddKernelWatch(*watch, std::string(), failed_hard);
  if (wd < 0) return errno == ENOENT ? ERROR_ACCESS_DENIED : Win32FromErrno(errno);
  Node* node = NodeFor(wd);
  watch->root = new Sub{watch.get(), nullptr, std::string(), node, {}, {}};
  node->subs.push_back(watch->root);
  if (subtree) Scan(*watch->root, kReportNothing);
  Guard(*watch);
  directory.watch_ = watch.get();
  directory.generation_ = engine_generation.load();
  watches_.insert(watch.release());
  return ERROR_SUCCESS;
}

void Engine::EndWatch(Directory& directory, bool cancel_read) {
  Watch* watch = directory.OwnWatch();
  if (!watch) return;
  if (watch->reading && cancel_read) {
    const DWORD error = SeamCancelledReadError();
    if (error == ERROR_SUCCESS) {
      CompleteRead(*watch, QUORVEL_STATUS_NOTIFY_CLEANUP, 0, ERROR_SUCCESS);
    } else {
      CompleteRead(*watch, QUORVEL_STATUS_CANCELLED, 0, error);
    }
  }
  if (watch->root) RemoveSub(watch->root);
  Unguard(*watch);
  ClearBacklog(*watch);
  std::erase(dying_, watch);
  watches_.erase(watch);
  directory.watch_ = nullptr;
  delete watch;
  if (retry_partial_) RetryPartial();
}

void Engine::CompleteRead(Watch& watch, DWORD status, DWORD bytes, DWORD error) {
  watch.reading = false;
  counters().outstanding_reads.fetch_sub(1);
  LPOVERLAPPED overlapped = watch.overlapped;
  watch.overlapped = nullptr;
  watch.buffer = nullptr;
  CompleteIo(watch.directory->binding(), overlapped, status, bytes, error);
}

// Writes as many records as fit into the read's buffer; 0 when not even the first one fits.
DWORD Engine::Fill(Watch& watch) {
  constexpr std::size_t kHeader = offsetof(FILE_NOTIFY_INFORMATION, FileName);
  std::size_t used = 0;
  std::size_t end = 0;
  std::size_t previous = SIZE_MAX;
  while (!watch.backlog.empty()) {
    const Record& record = watch.backlog.front();
    if (record.action == 0) break;  // a held move: what follows waits for its records
    const std::wstring name = Utf8ToWide(record.name);
    const std::size_t name_bytes = name.size() * sizeof(WCHAR);
    const std::size_t size = kHeader + name_bytes;
    if (used + size > watch.length) break;
    BYTE* out = watch.buffer + used;
    const DWORD header[3] = {0, record.action, static_cast<DWORD>(name_bytes)};
    std::memcpy(out, header, sizeof header);
    std::memcpy(out + kHeader, name.data(), name_bytes);
    if (previous != SIZE_MAX) {
      const DWORD next = static_cast<DWORD>(used - previous);
      std::memcpy(watch.buffer + previous, &next, sizeof next);
    }
    previous = used;
    end = used + size;
    used += (size + sizeof(DWORD) - 1) & ~(sizeof(DWORD) - 1);
    if (watch.backlog_bytes_limit) watch.backlog_bytes -= (size + sizeof(DWORD) - 1) & ~(sizeof(DWORD) - 1);
    watch.backlog.pop_front();
    --total_backlog_;
  }
  return static_cast<DWORD>(end);
}

bool Engine::TryComplete(Watch& watch) {
  if (!watch.lost && !watch.backlog.empty()) {
    if (const DWORD bytes = Fill(watch)) {
      CompleteRead(watch, QUORVEL_STATUS_SUCCESS, bytes, ERROR_SUCCESS);
      return true;
    }
    if (watch.backlog.front().action == 0) return false;  // waits for a held move
    // A record larger than the whole buffer: it alone is lost, and this read says so; what came before it was
    // delivered by earlier reads, what follows it waits for the next.
    if (watch.backlog_bytes_limit) watch.backlog_bytes -= RecordBytes(watch.backlog.front());
    watch.backlog.pop_front();
    --total_backlog_;
    CompleteRead(watch, QUORVEL_STATUS_NOTIFY_ENUM_DIR, 0, ERROR_SUCCESS);
    return true;
  }
  if (watch.lost) {
    watch.lost = false;
    CompleteRead(watch, QUORVEL_STATUS_NOTIFY_ENUM_DIR, 0, ERROR_SUCCESS);
    return true;
  }
  if (watch.deleted) {
    CompleteRead(watch, QUORVEL_STATUS_DELETE_PENDING, 0, ERROR_ACCESS_DENIED);
    return true;
  }
  return false;
}

void Directory::OnClose() {
  Engine& e = engine();
  std::lock_guard lock(e.mutex);
  closed_ = true;
  e.EndWatch(*this, /*cancel_read=*/true);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace

std::shared_ptr<KernelObject> MakeDirectoryObject(int fd) { return std::make_shared<Directory>(fd); }

void InjectQueueOverflow() {
  Engine& e = engine();
  std::lock_guard lock(e.mutex);
  e.InjectOverflow();
}

bool CompleteOutstandingRead(HANDLE handle, DWORD error) {
  auto object = LookupHandle(handle);
  if (!object || object->kind() != KernelObject::Kind::Directory) return false;
  auto& directory = static_cast<Directory&>(*object);
  Engine& e = engine();
  std::lock_guard lock(e.mutex);
  Watch* watch = directory.OwnWatch();
  if (!watch || !watch->reading) return false;
  if (error == ERROR_SUCCESS) {
    e.ClearBacklog(*watch);
    e.CompleteRead(*watch, QUORVEL_STATUS_NOTIFY_ENUM_DIR, 0, ERROR_SUCCESS);
  } else {
    e.CompleteRead(*watch, error == ERROR_ACCESS_DENIED ? QUORVEL_STATUS_ACCESS_DENIED : kStatusUnsuccessful, 0,
                   error);
  }
  return true;
}

}  // namespace quorvel::platform::detail

using quorvel::platform::detail::Fail;
using quorvel::platform::detail::KernelObject;

BOOL ReadDirectoryChangesW(HANDLE hDirectory, LPVOID lpBuffer, DWORD nBufferLength, BOOL bWatchSubtree,
                           DWORD dwNotifyFilter, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped,
                           LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
  namespace d = quorvel::platform::detail;
  QUORVEL_SEAM_FAIL("ReadDirectoryChangesW", FALSE);
  auto object = d::LookupHandle(hDirectory);
  if (!object || object->kind() == KernelObject::Kind::Port) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (object->kind() != KernelObject::Kind::Directory) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (lpOverlapped == nullptr || lpCompletionRoutine != nullptr) return Fail(ERROR_NOT_SUPPORTED, FALSE);
  if (lpBuffer == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (reinterpret_cast<std::uintptr_t>(lpBuffer) % alignof(DWORD) != 0) return Fail(ERROR_NOACCESS, FALSE);
  if (dwNotifyFilter == 0 || (dwNotifyFilter & ~d::kKnownFilters) != 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);

  auto& directory = static_cast<d::Directory&>(*object);
  d::Engine& e = d::engine();
  std::lock_guard lock(e.mutex);
  if (directory.closed_) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!directory.OwnWatch()) {
    if (DWORD error = e.BeginWatch(directory, bWatchSubtree != FALSE, dwNotifyFilter, nBufferLength); error != ERROR_SUCCESS)
      return Fail(error, FALSE);
  }
  d::Watch& watch = *directory.watch_;
  if (watch.reading) return Fail(ERROR_BUSY, FALSE);
  if (watch.deleted && watch.backlog.empty() && !watch.lost) return Fail(ERROR_ACCESS_DENIED, FALSE);

  watch.reading = true;
  watch.buffer = static_cast<BYTE*>(lpBuffer);
  watch.length = nBufferLength;
  watch.overlapped = lpOverlapped;
  lpOverlapped->Internal = QUORVEL_STATUS_PENDING;
  lpOverlapped->InternalHigh = 0;
  d::counters().outstanding_reads.fetch_add(1);
  if (lpBytesReturned) *lpBytesReturned = 0;
  e.TryComplete(watch);
  return TRUE;
}
