// Per-handle backlogs. Changes that arrive while no read is outstanding are kept in the handle's backlog and
// delivered by the next read, as many records as fit in its buffer. A handle keeps at most kBacklogLimit records
// (Windows keeps only what its first read's buffer holds; the test seam has that mode), all handles together at
// most kProcessBacklogLimit; beyond either, and when the kernel queue overflows, the backlog is dropped and the
// next read completes with 0 bytes. A handle whose port is closed records nothing more and gives back its kernel
// watches. Consecutive writes to one file not yet read are one record.
#include "platform/linux/base/wide.h"
#include "platform/linux/files/fs_event_engine.h"

namespace quorvel::platform::detail::fs_event {

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
static bool CannotDeliver(const Watch& watch) {
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

}  // namespace quorvel::platform::detail::fs_event
