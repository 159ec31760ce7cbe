// The inotify engine behind ReadDirectoryChangesW (fs_event.cpp has the semantics): its records, the tree of
// directories each watch covers, the kernel watches they share, and the Engine whose jobs live in one unit each:
//   fs_event_reader.cpp   the reader thread, the kernel-watch table, and the dispatch of inotify events
//   fs_event_renames.cpp  rename pairing: MOVED_FROM halves held until their MOVED_TO, by cookie
//   fs_event_scan.cpp     subtrees: directories watched as they appear, scanned, and dropped
//   fs_event_backlog.cpp  per-handle backlogs between reads, their bounds and losses
//   fs_event.cpp          read completion: ReadDirectoryChangesW, the records laid out, handles closed
//   fs_event_mounts.cpp   the mount tables that tell a lazily unmounted file system's watches they are over
// Everything here is guarded by Engine::mutex unless it says otherwise.
#pragma once

#include <sys/inotify.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/linux/files/iocp.h"

namespace quorvel::platform::detail::fs_event {

// Records a handle may hold between reads before its changes count as lost. Windows bounds this by the buffer of
// the first read; a larger bound lets a slow consumer catch up with a burst (about 40 bytes a record plus long names).
constexpr std::size_t kBacklogLimit = 1u << 18;
// Records all handles together may hold: beyond it, the handle that records one more loses its backlog.
constexpr std::size_t kProcessBacklogLimit = 1u << 20;
// How often (in records kept between reads) a handle checks that its completions can still be delivered.
constexpr std::size_t kDeliveryCheckInterval = 1024;

// Giving a kernel watch back queues an IN_IGNORED event in the instance every watch shares, so a big tree's watches
// are given back in slices, each leaving at least half of the kernel queue free for other watches' events, with the
// reader draining the queue between them. A slice is at most what one read of the reader's buffer takes in.
constexpr std::size_t kReleaseSlice = 4096;
constexpr long kDefaultQueuedEvents = 16384;  // fs.inotify.max_queued_events, when it cannot be read

// While threads waiting on ports serve the kernel queue and one of them is busy (the queue filled with nobody
// waiting), the reader drains the queue only this often, so it cannot overflow (16,384 events take far longer to
// make), and the busy thread reads the rest as a batch when it comes back. Short, since a directory moved into
// a subtree is watched only once its move is read: what is made in it before then is found by a scan that goes by
// the directory's change time.
constexpr long kGuardNanoseconds = 250'000;

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
  bool releasing = false;  // unused, waiting in Engine::releasing_ for its kernel watch to be given back
  bool unused() const { return subs.empty() && guards.empty(); }
};

class Directory;

// What a scan reports as ADDED: nothing, everything, or what was born since a time (the contents a directory gained
// after it was moved in: its own change time is the time of the move, which renaming sets). A file it reports that
// was written after `written` (0: at any time) and holds something is reported MODIFIED too: that write came before
// the directory's watch, which could not see it.
struct Report {
  enum Mode { kNothing, kEverything, kSince } mode = kNothing;
  timespec since{};
  timespec written{};
};
const Report kReportNothing{};

const Report kReportEverything{Report::kEverything, {}};

// The mount table of one mount namespace: its mountinfo, opened while the process (or the thread that issued a
// watch's first read) was in it, goes on listing that namespace's mounts after the process leaves it. Kept while
// some watch's mount is tracked on it. The kernel marks the descriptor ready when the table changes.
struct MountTable {
  dev_t ns_dev = 0;
  ino_t ns_ino = 0;
  int fd = -1;
  std::mutex read_mutex;                      // one read of `fd` at a time; taken after the engine's, never before
  std::uint64_t reads = 0;                    // reads begun, under `read_mutex`
  std::uint64_t applied = 0;                  // the read that `mounted` comes from: an older one is not applied
  std::unordered_set<std::uint64_t> mounted;  // mount ids, as last read
  bool changed = false;                       // changed since it was last read
  std::size_t tracked = 0;                    // watches tracked on it
  MountTable() = default;
  MountTable(const MountTable&) = delete;
  MountTable& operator=(const MountTable&) = delete;
  ~MountTable() {
    if (fd >= 0) ::close(fd);
  }
};

struct Watch {
  Directory* directory;
  bool subtree;
  DWORD filter;
  Sub* root = nullptr;
  Node* guard = nullptr;  // the parent directory's node
  std::size_t backlog_limit;
  std::deque<Record> backlog;
  // The first scan of a subtree, done in slices by the first read (the lock is given up between them): the work
  // left, each item a directory to list (empty name) or a subdirectory of it to watch. Items whose directory was
  // removed meanwhile are skipped: `to_scan_set` holds only live ones.
  struct ScanItem {
    Sub* parent;
    std::string name;
  };
  bool deferring = false;
  std::deque<ScanItem> to_scan;
  std::unordered_set<Sub*> to_scan_set;
  // The test seam's Windows mode: the backlog holds at most what the first read's buffer would (0: no such bound).
  std::size_t backlog_bytes_limit = 0;
  std::size_t backlog_bytes = 0;
  bool lost = false;     // changes were dropped; the next read completes with 0 bytes
  // The per-user limit of kernel watches kept a directory of its tree unwatched: the next read says so, once.
  enum LimitNotice { kLimitNotReached, kLimitToReport, kLimitReported } limit = kLimitNotReached;
  bool dead = false;     // its port is closed: nothing is recorded, its kernel watches are given back
  bool deleted = false;  // the watched directory is gone (deleted, or its file system unmounted)
  std::uint64_t mount_id = 0;  // the mount the watched directory is on; 0: not known
  MountTable* mount_table = nullptr;  // the table that lists that mount; null: not tracked
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
extern std::atomic<unsigned> engine_generation;

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
  // The reader waits for `mutex`: a long job that holds it lets the reader have it first (ScanSlice's caller).
  std::atomic<int> reader_waiting{0};

  // In a child after fork, on the forking thread alone: the reader thread does not exist there and the inotify
  // instance is shared with the parent (removing a kernel watch would end the parent's), so this engine is left
  // as it is and only its descriptors are closed.
  void AbandonInChild() {
    if (inotify_fd_ >= 0) ::close(inotify_fd_);
    if (epoll_fd_ >= 0) ::close(epoll_fd_);
    for (const auto& table : mount_tables_) {
      ::close(table->fd);
      table->fd = -1;
    }
    if (poke_fd_ >= 0) ::close(poke_fd_);
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
  // Lists up to a slice of the directories the first scan of `watch` found; true while more wait.
  bool ScanSlice(Watch& watch);
  void ClearBacklog(Watch& watch);
  // Called by a thread waiting on a port: reads what the kernel queue holds, without waiting; takes the lock.
  // Returns the number of events read.
  std::size_t ServeWaiting();

 private:
  void ReaderLoop();
  enum Served { kEmpty, kRead, kReadSome, kMore };
  Served ReadAndDispatch(char* buffer, std::size_t size, bool until_empty, std::size_t* events = nullptr);
  void ReaderBehindPorts();
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
  void TrackMount(Watch& watch);
  void UntrackMount(Watch& watch);
  bool MountTableChanged(int fd);
  void ReadChangedMountTables();  // the reader's, without the lock: it takes it itself, around the reads
  void ApplyMounts(MountTable& table, std::unordered_set<std::uint64_t> mounted, std::uint64_t read);
  void LoseAll();

  Sub* AddChild(Sub& parent, const std::string& name, const Report& report);
  void Scan(Sub& sub, const Report& report);
  void RemoveSub(Sub* sub);
  void RemoveChild(Sub& parent, const std::string& name);
  Node* FindNode(int wd);
  Node* NodeFor(int wd);
  void ReleaseIfUnused(Node* node);
  void ReleasePending();
  void RetryPartial();
  void Guard(Watch& watch);
  void Unguard(Watch& watch);
  void CheckGuarded(Node& node);
  // Why a kernel watch was not added: the directory is gone (kNone), the per-user limit (kLimit), or another refusal.
  enum class Refusal { kNone, kLimit, kFailed };
  int AddKernelWatch(const Watch& watch, const std::string& relative, Refusal& refusal);
  std::size_t CountUnwatched(const Watch& watch);

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
  int poke_fd_ = -1;    // an eventfd: a thread that served the queue from a port left work for the reader
  // Only while watches are tracked on them: with none, a mount change costs nothing at all.
  std::vector<std::shared_ptr<MountTable>> mount_tables_;
  std::unordered_map<int, std::unique_ptr<Node>> nodes_;
  std::unordered_set<Watch*> watches_;
  std::unordered_set<Sub*> scanned_subs_;
  std::deque<HeldMove> held_;
  std::uint64_t next_serial_ = 1;
  std::size_t total_backlog_ = 0;  // records in every handle's backlog
  std::vector<Watch*> dying_;      // dead watches whose kernel watches are still to be given back
  // Unused nodes whose kernel watch is still to be given back, by wd; each is checked again when its turn comes
  // (used again meanwhile: kept; dropped by the kernel meanwhile: gone from nodes_).
  std::deque<int> releasing_;
  long queued_events_limit_ = kDefaultQueuedEvents;
  std::unordered_set<Sub*> partial_;  // directories with a subdirectory the kernel would not watch
  std::unordered_set<Sub*> retrying_;
  bool retry_partial_ = false;        // kernel watches were given back since: try those again
  bool ports_serve_ = false;          // a port's waiting threads read the kernel queue themselves
  bool reader_guarding_ = false;      // the reader wakes by the clock (kGuardNanoseconds), not for each change
};

// The wait of a thread on a port that serves change notifications (Port::Dequeue): reads what has queued while
// the thread was away, or waits on `port_epoll` (the port's wake-up eventfd and the inotify instance) for up to
// `timeout_ms` (-1: no limit) and serves what is ready. `pace` is the port's, kept by the polling thread.
void ServeWhileWaiting(int port_epoll, int wake_fd, int timeout_ms, ChangePace& pace);

// The process's engine, made on first use (a child after fork makes its own); never destroyed.
Engine& engine();

// The bytes a record takes in a read's buffer, padding included.
std::size_t RecordBytes(const Record& record);

}  // namespace quorvel::platform::detail::fs_event
