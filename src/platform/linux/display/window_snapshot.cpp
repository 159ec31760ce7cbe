// EnumWindows' snapshot (rules in x11_windows.h): the facts its callbacks ask about the enumerated windows, asked for
// many of them in one round trip (two when a window's process must come from _NET_WM_PID or its owner lies outside
// the snapshot).
#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>

#include "platform/linux/display/x11_windows.h"

namespace quorvel::platform::x11 {

namespace {

thread_local EnumerationScope* current = nullptr;
std::atomic<unsigned long> windows_epoch{0};

}  // namespace

bool IconicFrom(const SnapshotFacts& facts, bool& iconic) {
  // As Iconic decides it.
  iconic = facts.exists && facts.wm_state == kIconicState;
  return !facts.exists || facts.wm_state != kNormalState || facts.map_state != IsUnmapped;
}

void WindowsChanged() { windows_epoch.fetch_add(1, std::memory_order_acq_rel); }

EnumerationScope::EnumerationScope(Session& session, std::vector<TopLevelWindow> windows)
    : outer_(current),
      windows_(std::move(windows)),
      generation_(session.generation()),
      enumerated_epoch_(windows_epoch.load(std::memory_order_acquire)),
      enumerated_at_(std::chrono::steady_clock::now()) {
  hidden_.exists = true;
  hidden_.top_level = true;
  hidden_.map_state = IsUnmapped;
  for (std::size_t i = 0; i < windows_.size(); ++i) index_.emplace(windows_[i].window, i);
  facts_.resize(windows_.size());
  asked_.resize(windows_.size(), false);
  current = this;
}

EnumerationScope::~EnumerationScope() { current = outer_; }

void EnumerationScope::Fetch(Session& session, std::size_t first, std::size_t last) {
  std::vector<std::size_t> which;
  std::vector<::Window> ids;
  std::vector<Question> questions;
  for (std::size_t i = first; i < last; ++i) {
    if (asked_[i]) continue;
    which.push_back(i);
    ids.push_back(windows_[i].window);
    questions.push_back({windows_[i].window, kAttributes | kGeometry | kWmState | kTransientFor});
  }
  std::vector<DWORD> pids;
  std::vector<WindowFacts> facts;
  // The processes are asked in the same round trip.
  const std::vector<bool> answered =
      AskWindows(session, questions, facts, [&] { pids = ClientPids(session, ids); });
  std::vector<SnapshotFacts> found(which.size());
  for (std::size_t k = 0; k < which.size(); ++k) {
    if (!answered[k]) continue;
    const WindowFacts& f = facts[k];
    SnapshotFacts& s = found[k];
    const TopLevelWindow& w = windows_[which[k]];
    s.exists = true;
    s.wm_state = f.wm_state;
    s.top_level = w.window == w.root_child || f.wm_state >= 0;
    s.map_state = f.map_state;
    s.window_class = f.window_class;
    s.width = f.width;
    s.height = f.height;
    s.owner = f.transient_for;
    s.pid = k < pids.size() ? pids[k] : 0;
  }
  // What the first round leaves open: _NET_WM_PID where the server could not name the process, and whether an
  // owner exists.
  std::vector<Question> more;
  std::vector<std::size_t> whose;
  for (std::size_t k = 0; k < which.size(); ++k) {
    const SnapshotFacts& s = found[k];
    if (!s.exists) continue;
    if (s.pid == 0) {
      more.push_back({windows_[which[k]].window, kWmPid});
      whose.push_back(k);
    }
    if (s.owner != 0 && s.owner != session.root() && s.owner != windows_[which[k]].window) {
      more.push_back({s.owner, kAttributes});
      whose.push_back(k);
    }
  }
  if (!more.empty()) {
    std::vector<WindowFacts> answers;
    const std::vector<bool> done = AskWindows(session, more, answers);
    for (std::size_t m = 0; m < more.size(); ++m) {
      SnapshotFacts& s = found[whose[m]];
      if (more[m].what == kWmPid) {
        if (done[m]) s.pid = static_cast<DWORD>(answers[m].wm_pid);
      } else {
        s.owner_exists = done[m];
      }
    }
  }
  // Only now, so that a memory failure on the way leaves nothing half asked in use.
  for (std::size_t k = 0; k < which.size(); ++k) {
    facts_[which[k]] = found[k];
    asked_[which[k]] = true;
  }
  asked_count_ += which.size();
}

const SnapshotFacts* SnapshotOf(Session& session, ::Window window, bool visibility) {
  EnumerationScope* scope = current;
  if (scope == nullptr || window == 0 || !session || session.generation() != scope->generation_) return nullptr;
  const auto entry = scope->index_.find(window);
  if (entry == scope->index_.end()) return nullptr;
  const std::size_t i = entry->second;
  const unsigned long epoch = windows_epoch.load(std::memory_order_acquire);
  const auto now = std::chrono::steady_clock::now();
  const auto& windows = scope->windows_;
  if (visibility && windows[i].hidden && scope->enumerated_epoch_ == epoch &&
      now - scope->enumerated_at_ <= kSnapshotLife) {
    return &scope->hidden_;
  }
  if (scope->asked_count_ != 0 && (scope->epoch_ != epoch || now - scope->fetched_at_ > kSnapshotLife)) {
    std::fill(scope->asked_.begin(), scope->asked_.end(), false);
    scope->asked_count_ = 0;
  }
  if (!scope->asked_[i]) {
    if (scope->asked_count_ == 0) {
      scope->epoch_ = epoch;
      scope->fetched_at_ = now;
      // This window and the next ones that may be visible.
      std::size_t last = i + 1;
      for (std::size_t candidates = 1; last < windows.size() && candidates < kFirstFacts; ++last) {
        if (!windows[last].hidden) ++candidates;
      }
      scope->Fetch(session, i, last);
    } else {
      scope->Fetch(session, 0, windows.size());
    }
  }
  return &scope->facts_[i];
}

}  // namespace quorvel::platform::x11
