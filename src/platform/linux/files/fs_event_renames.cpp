// Rename pairing. The kernel reports a rename as two events, IN_MOVED_FROM and IN_MOVED_TO, with one cookie; other
// events (also of the same directory, from other processes) may come between them. A MOVED_FROM is held until
// the MOVED_TO with its cookie arrives (RENAMED_OLD_NAME + RENAMED_NEW_NAME for a watch that sees both ends,
// REMOVED or ADDED for one that sees one end). A held half counts as a move out when the kernel queue stays empty
// for 2 ms, when more than kMaxHeldMoves halves wait, or when a later event names the same entry or comes from
// inside the moved directory. Its records keep the place of the MOVED_FROM in each handle's order (a placeholder
// in the backlog, which a read does not pass). A renamed subdirectory keeps its kernel watches.
#include <algorithm>
#include <iterator>

#include "platform/linux/files/fs_event_engine.h"

namespace quorvel::platform::detail::fs_event {

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

}  // namespace quorvel::platform::detail::fs_event
