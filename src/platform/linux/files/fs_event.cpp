// ReadDirectoryChangesW over inotify: read completion (this unit), and the behaviour of the whole layer below.
// The engine's other jobs have a unit each (listed in fs_event_engine.h): the reader thread and kernel-watch table
// (fs_event_reader.cpp), rename pairing (fs_event_renames.cpp), subtree scans (fs_event_scan.cpp) and per-handle
// backlogs (fs_event_backlog.cpp).
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
//   records (262,144), or the kernel refuses a watch for a new subdirectory (not for the per-user limit), the
//   backlog is dropped and the next read completes with 0 bytes (status STATUS_NOTIFY_ENUM_DIR), Windows' signal
//   to rescan. Changes arriving
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
//   the move is missed. A file a scan reports whose content was written since the directory was made or moved in
//   (modification time, where the file system keeps birth times; any file that holds something elsewhere) is
//   reported MODIFIED too under FILE_NOTIFY_CHANGE_LAST_WRITE, as the watch could not see that write: what reaches
//   the reader does not depend on how soon the directory was watched (a write the kernel saw too may then be
//   reported twice, as Windows often does).
//   Symbolic links are never followed. A renamed subdirectory keeps its watches and reports under its new name.
//   After a queue overflow every tree is walked again. A subdirectory the kernel refuses to watch is tried again
//   when kernel watches are given back or after the next queue overflow. At the per-user limit
//   (fs.inotify.max_user_watches, ENOSPC) the rest of the tree stays watched as far as the limit allows and nothing
//   is dropped: the handle's next read fails, once, with ERROR_NOT_ENOUGH_QUOTA (STATUS_QUOTA_EXCEEDED), its byte
//   count the number of directories of the tree left unwatched, and its records wait for the read after it (Windows
//   has no such limit and never completes a read so). Another refusal is a loss. Kernel watches no handle uses any
//   more (a handle closed, a directory moved out) are given back in slices that leave half of the kernel queue
//   free, so a big tree leaving costs other watches nothing.
// - The parameters of a handle's first read (subtree, filter) hold for all its later reads.
// - Closing a handle with a read outstanding completes that read with 0 bytes (status STATUS_NOTIFY_CLEANUP) on the
//   port it is bound to. A watched directory that is deleted ends its outstanding read, once the backlog has been
//   delivered, as a failed I/O with ERROR_ACCESS_DENIED (STATUS_DELETE_PENDING, which Windows maps to that code);
//   a read issued afterwards fails the same way. So does one whose file system is unmounted (IN_UNMOUNT and
//   IN_IGNORED; or, for a lazy unmount that the handle's descriptor keeps alive, its mount leaving the mount
//   table of the namespace the watch began in; a mount that no table the process has been in lists, as one of
//   another namespace reached through /proc/PID/root, is not followed). The handle's open descriptor keeps the
//   kernel from reporting the directory's own deletion, so it is seen from the parent directory (watched for
//   deletions and renames only): a directory gone from there whose link count is 0.
// - fork: a child starts from a clean state: its own inotify instance and reader thread on first use; the
//   parent's engine, its watches and its kernel watches are never touched there (a handle inherited from the
//   parent starts a new watch with its next read).
// - Reads that cannot be issued: a file handle -> ERROR_INVALID_PARAMETER (as Windows); a null buffer or a filter
//   of 0 or unknown bits -> ERROR_INVALID_PARAMETER; a buffer that is not DWORD-aligned -> ERROR_NOACCESS; a read
//   already outstanding on the handle -> ERROR_BUSY (Windows would queue it; nothing here issues two); synchronous
//   reads (no OVERLAPPED) and completion routines -> ERROR_NOT_SUPPORTED.
#include "platform/linux/files/fs_event.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/linux/base/errors.h"
#include "platform/linux/files/fs_event_engine.h"
#include "platform/linux/base/wide.h"

namespace quorvel::platform::detail {

namespace fs_event {

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
  struct statx mount{};
  if (::statx(directory.fd_, "", AT_EMPTY_PATH, STATX_MNT_ID, &mount) == 0 && (mount.stx_mask & STATX_MNT_ID))
    watch->mount_id = mount.stx_mnt_id;
  if (SeamWindowsBacklog()) watch->backlog_bytes_limit = buffer_length;
  Refusal refusal = Refusal::kNone;
  const int wd = AddKernelWatch(*watch, std::string(), refusal);
  if (wd < 0) return errno == ENOENT ? ERROR_ACCESS_DENIED : Win32FromErrno(errno);
  Node* node = NodeFor(wd);
  watch->root = new Sub{watch.get(), nullptr, std::string(), node, {}, {}};
  node->subs.push_back(watch->root);
  // The subdirectories are listed by the first read in slices (ScanSlice), so that a big tree does not keep the
  // reader from draining the kernel queue for every other watch.
  watch->deferring = subtree;
  if (subtree) Scan(*watch->root, kReportNothing);
  Guard(*watch);
  directory.watch_ = watch.get();
  directory.generation_ = engine_generation.load();
  if (const Binding binding = directory.binding();
      binding.port && binding.port->ServeChanges(inotify_fd_, engine_generation.load())) {
    ReaderBehindPorts();
  }
  TrackMount(*watch);
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
  UntrackMount(*watch);
  ClearBacklog(*watch);
  std::erase(dying_, watch);
  watches_.erase(watch);
  directory.watch_ = nullptr;
  delete watch;
  // A small tree's kernel watches are all given back here; a big one's first slice, the rest by the reader.
  ReleasePending();
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
  if (watch.limit == Watch::kLimitToReport) {
    // Before the records, which stay for the next read: nothing is lost, but part of the tree is not watched.
    watch.limit = Watch::kLimitReported;
    const std::size_t unwatched = std::min<std::size_t>(CountUnwatched(watch), 0xFFFFFFFFu);
    CompleteRead(watch, QUORVEL_STATUS_QUOTA_EXCEEDED, static_cast<DWORD>(unwatched), ERROR_NOT_ENOUGH_QUOTA);
    return true;
  }
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

}  // namespace fs_event

using fs_event::Directory;
using fs_event::Engine;
using fs_event::Watch;
using fs_event::engine;
using fs_event::kStatusUnsuccessful;

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
  if (dwNotifyFilter == 0 || (dwNotifyFilter & ~d::fs_event::kKnownFilters) != 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);

  auto& directory = static_cast<d::fs_event::Directory&>(*object);
  d::fs_event::Engine& e = d::fs_event::engine();
  std::unique_lock lock(e.mutex);
  if (directory.closed_) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!directory.OwnWatch()) {
    if (DWORD error = e.BeginWatch(directory, bWatchSubtree != FALSE, dwNotifyFilter, nBufferLength); error != ERROR_SUCCESS)
      return Fail(error, FALSE);
  }
  // The read is issued once the whole tree is watched; between slices of that work the reader drains the queue.
  while (e.ScanSlice(*directory.watch_)) {
    lock.unlock();
    while (e.reader_waiting.load() > 0) std::this_thread::yield();
    lock.lock();
    if (directory.closed_ || !directory.OwnWatch()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  d::fs_event::Watch& watch = *directory.watch_;
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
