// Subtrees: a kernel watch per directory, added as directories appear (created, moved in, or found by a scan).
// A created directory is scanned once its watch is in place and what it already holds is reported as ADDED,
// recursively; the names a scan reported are remembered until the kernel queue has been drained, so the queued
// IN_CREATE of the same entry is not reported twice. A directory moved in is reported alone, as on Windows, except
// for what was created in it after the move but before its watch was in place (birth time not older than the
// directory's change time, which the move set, less two clock ticks). A file such a scan reports that holds
// something written since the directory was made or moved in (modification time) is reported MODIFIED too, when
// the watch asks for writes: the watch came too late to see that write. Symbolic links are never followed. A
// subdirectory the kernel refuses to watch is tried again when kernel watches are given back or after the next
// queue overflow; at the per-user limit the watch says once how many directories it misses (the rest of the tree
// stays watched), any other refusal is a loss. The first scan of a subtree is done in slices, by the first read,
// which gives up the lock between them: adding a big tree does not keep the reader from draining the queue.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/linux/files/fs_event_engine.h"

namespace quorvel::platform::detail::fs_event {

namespace {

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

const statx_timestamp& Born(const struct statx& sx) {
  return (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime;
}

bool Before(const statx_timestamp& t, const timespec& limit) {
  return t.tv_sec < limit.tv_sec ||
         (t.tv_sec == limit.tv_sec && t.tv_nsec < static_cast<uint32_t>(limit.tv_nsec));
}

timespec Earlier(timespec t, long nanoseconds) {
  t.tv_nsec -= nanoseconds;
  while (t.tv_nsec < 0) {
    t.tv_nsec += 1'000'000'000L;
    --t.tv_sec;
  }
  return t;
}

}  // namespace

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

Sub* Engine::AddChild(Sub& parent, const std::string& name, const Report& requested) {
  if (parent.children.count(name)) return nullptr;
  Watch& watch = *parent.watch;
  Refusal refusal = Refusal::kNone;
  const std::string relative = ChildPath(parent, name);
  const int wd = AddKernelWatch(watch, relative, refusal);
  if (wd < 0) {
    // Gone again or no longer a directory: nothing to watch. Refused: tried again when kernel watches are given
    // back or changes are lost. At the per-user limit the rest of the tree is still watched as far as the limit
    // allows, and the watch says once what it misses; another refusal is a loss.
    if (refusal == Refusal::kLimit) {
      if (watch.limit == Watch::kLimitNotReached) watch.limit = Watch::kLimitToReport;
      partial_.insert(&parent);
    } else if (refusal == Refusal::kFailed) {
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
      report.since = report.written = Earlier(st.st_ctim, TimestampSlack());
    }
  } else if (report.mode == Report::kEverything && (watch.filter & FILE_NOTIFY_CHANGE_LAST_WRITE)) {
    // Writes since the directory was made; a file moved in keeps its older time and is reported as added alone.
    // Without a birth time, every file that holds something counts as written (at worst one MODIFY too many).
    struct statx sx;
    if (::statx(watch.directory->fd_, relative.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) == 0 &&
        (sx.stx_mask & STATX_BTIME)) {
      report.written = Earlier(timespec{sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec}, TimestampSlack());
    }
  }
  if (watch.deferring && report.mode == Report::kNothing) {
    watch.to_scan.push_back({sub, std::string()});
    watch.to_scan_set.insert(sub);
  } else {
    Scan(*sub, report);
  }
  return sub;
}

bool Engine::ScanSlice(Watch& watch) {
  constexpr int kSlice = 16;  // directories listed or watched per slice
  for (int done = 0; done < kSlice && !watch.to_scan.empty();) {
    Watch::ScanItem item = std::move(watch.to_scan.front());
    watch.to_scan.pop_front();
    if (!watch.to_scan_set.count(item.parent)) continue;  // removed meanwhile
    if (item.name.empty()) {
      Scan(*item.parent, kReportNothing);
    } else {
      AddChild(*item.parent, item.name, kReportNothing);
    }
    ++done;
  }
  // Directories found gone by this slice: their watches are given back here, as on every other path that drops some.
  ReleasePending();
  if (!watch.to_scan.empty()) return true;
  watch.deferring = false;
  watch.to_scan_set.clear();
  return false;
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
    // A file the scan reports may have been written before the watch could see it.
    const bool wants_writes = report.mode != Report::kNothing && (sub.watch->filter & FILE_NOTIFY_CHANGE_LAST_WRITE) &&
                              (entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN);
    bool written = false;
    if (report.mode == Report::kSince || wants_writes) {
      // Born after the move (change time where the file system keeps no birth time).
      struct statx sx;
      if (::statx(::dirfd(dir), name, AT_SYMLINK_NOFOLLOW,
                  STATX_TYPE | STATX_CTIME | STATX_BTIME | STATX_MTIME | STATX_SIZE, &sx) != 0) {
        if (report.mode == Report::kSince) continue;
        sx = {};
        sx.stx_mode = is_dir ? S_IFDIR : 0;
      }
      is_dir = S_ISDIR(sx.stx_mode);
      if (report.mode == Report::kSince) reported = !Before(Born(sx), report.since);
      written = wants_writes && S_ISREG(sx.stx_mode) && sx.stx_size > 0 && !Before(sx.stx_mtime, report.written);
    } else if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      is_dir = S_ISDIR(st.st_mode);
    }
    if (reported) {
      Watch& watch = *sub.watch;
      if (WantsName(watch, is_dir)) Append(watch, FILE_ACTION_ADDED, ChildPath(sub, name));
      if (written) Append(watch, FILE_ACTION_MODIFIED, ChildPath(sub, name));
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
    } else if (sub.watch->deferring && report.mode == Report::kNothing) {
      sub.watch->to_scan.push_back({&sub, name});
      sub.watch->to_scan_set.insert(&sub);
    } else if (sub.watch->subtree) {
      AddChild(sub, name, report);
    }
  }
}

// The directories of `watch`'s tree that the kernel would not watch, with everything below them. Walked once, for
// the notice that the limit was reached (on a tree big enough to reach it, some milliseconds).
std::size_t Engine::CountUnwatched(const Watch& watch) {
  std::size_t count = 0;
  std::vector<int> to_list;
  const auto open_at = [](int at, const char* name) {
    return ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  };
  for (const Sub* sub : partial_) {
    if (sub->watch != &watch || !sub->node) continue;
    const std::string relative = PathOf(*sub);
    const int fd = open_at(watch.directory->fd_, relative.empty() ? "." : relative.c_str());
    if (fd >= 0) to_list.push_back(fd);
    const Sub* outside = sub;  // in the directory a Sub stands for, its watched children are not counted
    while (!to_list.empty()) {
      const int dir_fd = to_list.back();
      to_list.pop_back();
      DIR* dir = ::fdopendir(dir_fd);
      if (!dir) {
        ::close(dir_fd);
        continue;
      }
      while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        bool is_dir = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
          struct stat st;
          is_dir = ::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        if (!is_dir || (outside && outside->children.count(name))) continue;
        ++count;
        if (const int child = open_at(::dirfd(dir), name); child >= 0) to_list.push_back(child);
      }
      ::closedir(dir);
      outside = nullptr;
    }
  }
  return count;
}

void Engine::RemoveChild(Sub& parent, const std::string& name) {
  auto it = parent.children.find(name);
  if (it == parent.children.end()) return;
  Sub* child = it->second;
  parent.children.erase(it);
  RemoveSub(child);
}

// Frees a Sub that is no longer in its parent's children, with its subtree; kernel watches no Sub uses any more are
// queued to be given back (ReleasePending).
void Engine::RemoveSub(Sub* sub) {
  for (auto& [name, child] : sub->children) RemoveSub(child);
  sub->children.clear();
  scanned_subs_.erase(sub);
  sub->watch->to_scan_set.erase(sub);
  partial_.erase(sub);
  retrying_.erase(sub);
  if (Node* node = sub->node) {
    std::erase(node->subs, sub);
    ReleaseIfUnused(node);
  }
  delete sub;
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

}  // namespace quorvel::platform::detail::fs_event
