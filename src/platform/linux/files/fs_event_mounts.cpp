// Mount tables. A watched directory's open descriptor keeps its file system mounted, so the kernel reports no
// IN_UNMOUNT when it is unmounted lazily (umount -l): a watch whose mount leaves the mount table is over instead, as
// if its directory were deleted. A watch is tracked on the table of the mount namespace that lists its mount (the
// process's, or the issuing thread's, when the watch began; a table opened in a namespace goes on showing that
// namespace after the process leaves it), and on no table when none we read lists it (a directory of another
// namespace reached through /proc/PID/root): deleting it still ends the watch, through its parent, as anywhere.
// A table is open only while watches are tracked on it. The reader reads a changed table off the engine's lock,
// the first change at once, later ones at most every kMountReadInterval, so a host with thousands of mounts and
// a busy mount table pays little for it; while a change waits, the kernel does not wake the reader for more.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/linux/files/fs_event_engine.h"

namespace quorvel::platform::detail::fs_event {

namespace {

// Reads the mount ids the table lists; 0 when it cannot be read (nothing is to be taken for gone), else the
// read's number.
std::uint64_t ReadMountIds(MountTable& table, std::unordered_set<std::uint64_t>& ids) {
  std::string text;
  std::uint64_t read;
  {
    std::lock_guard lock(table.read_mutex);
    read = ++table.reads;
    if (table.fd < 0 || ::lseek(table.fd, 0, SEEK_SET) != 0) return 0;
    // The kernel makes the text a page at a time, whatever is asked: a large buffer saves the calls.
    constexpr std::size_t kChunk = 64 * 1024;
    for (;;) {
      const std::size_t used = text.size();
      text.resize(used + kChunk);
      const ssize_t got = ::read(table.fd, text.data() + used, kChunk);
      if (got < 0 && errno == EINTR) {
        text.resize(used);
        continue;
      }
      if (got < 0) return 0;
      text.resize(used + static_cast<std::size_t>(got));
      if (got == 0) break;
    }
  }
  ids.clear();
  for (std::size_t line = 0; line < text.size();) {
    ids.insert(std::strtoull(text.c_str() + line, nullptr, 10));  // the first field: the mount id
    const std::size_t end = text.find('\n', line);
    line = end == std::string::npos ? text.size() : end + 1;
  }
  return read;
}

void Arm(int epoll_fd, const MountTable& table, int op) {
  epoll_event interest{};
  interest.events = EPOLLPRI | EPOLLONESHOT;
  interest.data.fd = table.fd;
  epoll_ctl(epoll_fd, op, table.fd, &interest);
}

}  // namespace

// Reading a table here (the first watch on it, or a mount it did not list when last read) holds the engine's
// lock; the reader's reads of the changes do not.
void Engine::TrackMount(Watch& watch) {
  if (watch.mount_id == 0) return;
  for (const char* self : {"/proc/self", "/proc/thread-self"}) {
    struct stat ns;
    if (::stat((std::string(self) + "/ns/mnt").c_str(), &ns) != 0) continue;
    std::shared_ptr<MountTable> table;
    for (const auto& known : mount_tables_) {
      if (known->ns_dev == ns.st_dev && known->ns_ino == ns.st_ino) table = known;
    }
    const bool opened = !table;
    if (opened) {
      table = std::make_shared<MountTable>();
      table->ns_dev = ns.st_dev;
      table->ns_ino = ns.st_ino;
      table->fd = ::open((std::string(self) + "/mountinfo").c_str(), O_RDONLY | O_CLOEXEC);
      if (table->fd < 0 || (table->applied = ReadMountIds(*table, table->mounted)) == 0) continue;
    } else if (!table->mounted.contains(watch.mount_id)) {
      std::unordered_set<std::uint64_t> mounted;
      if (const std::uint64_t read = ReadMountIds(*table, mounted)) ApplyMounts(*table, std::move(mounted), read);
    }
    if (!table->mounted.contains(watch.mount_id)) continue;
    if (opened) {
      Arm(epoll_fd_, *table, EPOLL_CTL_ADD);
      mount_tables_.push_back(table);
    }
    ++table->tracked;
    watch.mount_table = table.get();
    return;
  }
}

void Engine::UntrackMount(Watch& watch) {
  MountTable* table = watch.mount_table;
  if (!table) return;
  watch.mount_table = nullptr;
  if (--table->tracked > 0) return;
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, table->fd, nullptr);
  // A read of it in progress holds it until it ends.
  std::erase_if(mount_tables_, [table](const auto& known) { return known.get() == table; });
}

// The kernel said the table with descriptor `fd` changed; false when no table of ours has it (any more).
bool Engine::MountTableChanged(int fd) {
  for (const auto& table : mount_tables_) {
    if (table->fd != fd) continue;
    table->changed = true;
    return true;
  }
  return false;
}

// Takes the engine's lock itself, and gives it up while it reads.
void Engine::ReadChangedMountTables() {
  std::vector<std::shared_ptr<MountTable>> changed;
  {
    std::lock_guard lock(mutex);
    for (const auto& table : mount_tables_) {
      if (!table->changed) continue;
      table->changed = false;
      // Before the read: a change from now on is seen by the next one.
      Arm(epoll_fd_, *table, EPOLL_CTL_MOD);
      changed.push_back(table);
    }
  }
  if (changed.empty()) return;
  std::vector<std::unordered_set<std::uint64_t>> mounted(changed.size());
  std::vector<std::uint64_t> read(changed.size());
  for (std::size_t i = 0; i < changed.size(); ++i) read[i] = ReadMountIds(*changed[i], mounted[i]);
  std::lock_guard lock(mutex);
  for (std::size_t i = 0; i < changed.size(); ++i) {
    if (read[i] != 0 && changed[i]->tracked > 0) ApplyMounts(*changed[i], std::move(mounted[i]), read[i]);
  }
  FlushReads();
}

// The caller holds a reference to `table`: untracking its last watch drops the engine's. A read older than the one
// applied last (a new watch's, made while the reader read) is not applied: it may miss a mount made since.
void Engine::ApplyMounts(MountTable& table, std::unordered_set<std::uint64_t> mounted, std::uint64_t read) {
  if (read < table.applied) return;
  table.applied = read;
  table.mounted = std::move(mounted);
  std::vector<Watch*> gone;
  for (Watch* watch : watches_) {
    if (watch->mount_table == &table && !table.mounted.contains(watch->mount_id)) gone.push_back(watch);
  }
  for (Watch* watch : gone) {
    if (!watch->dead) watch->deleted = true;
    UntrackMount(*watch);
  }
}

}  // namespace quorvel::platform::detail::fs_event
