#include "platform/linux/base/handle_table.h"

#include <pthread.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <vector>

namespace quorvel::platform::detail {

namespace {

constexpr std::uintptr_t kStride = 4;

struct Table {
  std::mutex mutex;
  std::vector<std::shared_ptr<KernelObject>> slots;
  // Indices below slots.size() that are empty, as a min-heap (the lowest is reused first). Its capacity never
  // falls below slots.size(), so that closing a handle never allocates and so cannot fail.
  std::vector<std::size_t> free;
  std::size_t used = 0;
  std::uintptr_t forced = 0;
};

// Never destroyed: handles may be closed from static destructors and detached threads at exit.
Table& table() {
  // Held across fork, so that a child never inherits it locked by a thread that does not exist there.
  static Table* t = [] {
    auto* created = new Table;
    pthread_atfork([] { table().mutex.lock(); }, [] { table().mutex.unlock(); }, [] { table().mutex.unlock(); });
    return created;
  }();
  return *t;
}

HANDLE ValueOf(std::size_t index) { return reinterpret_cast<HANDLE>((index + 1) * kStride); }

bool IndexOf(HANDLE handle, std::size_t& index) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value == 0 || value % kStride != 0 || handle == INVALID_HANDLE_VALUE) return false;
  index = value / kStride - 1;
  return true;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  std::size_t index;
  std::size_t forced_index;
  if (t.forced != 0 && IndexOf(reinterpret_cast<HANDLE>(t.forced), forced_index) &&
      (forced_index >= t.slots.size() || !t.slots[forced_index])) {
    index = forced_index;
    if (t.slots.size() <= index) {
      t.free.reserve(index + 1);
      t.slots.reserve(index + 1);
      while (t.slots.size() <= index) {
        t.free.push_back(t.slots.size());
        t.slots.emplace_back();
      }
    }
    t.free.erase(std::find(t.free.begin(), t.free.end(), index));
    std::make_heap(t.free.begin(), t.free.end(), std::greater<>());
  } else if (!t.free.empty()) {
    std::pop_heap(t.free.begin(), t.free.end(), std::greater<>());
    index = t.free.back();
    t.free.pop_back();
  } else {
    index = t.slots.size();
    t.free.reserve(index + 1);
    t.slots.emplace_back();
  }
  t.forced = 0;
  t.slots[index] = std::move(object);
  ++t.used;
  return ValueOf(index);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  std::size_t index;
  if (!IndexOf(handle, index)) return nullptr;
  Table& t = table();
  std::lock_guard lock(t.mutex);
  return index < t.slots.size() ? t.slots[index] : nullptr;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) {
  std::size_t index;
  if (!IndexOf(handle, index)) return nullptr;
  Table& t = table();
  std::lock_guard lock(t.mutex);
  if (index >= t.slots.size() || !t.slots[index]) return nullptr;
  std::shared_ptr<KernelObject> object = std::move(t.slots[index]);
  t.slots[index].reset();
  t.free.push_back(index);  // within the capacity reserved when the slot was made
  std::push_heap(t.free.begin(), t.free.end(), std::greater<>());
  --t.used;
  return object;
}

std::size_t OpenHandleCount() {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  return t.used;
}

void ForceNextHandleValue(HANDLE value) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  t.forced = reinterpret_cast<std::uintptr_t>(value);
}

}  // namespace quorvel::platform::detail
