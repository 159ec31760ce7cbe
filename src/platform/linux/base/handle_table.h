// The process's handle table: every HANDLE this layer gives out names a kernel object here. Values are small
// multiples of 4 (never 0 or INVALID_HANDLE_VALUE, never a raw descriptor); a closed handle's value is handed out
// again, lowest free value first, as Windows recycles its handle slots.
#pragma once

#include <memory>

#include "platform/linux/base/win32_types.h"

namespace quorvel::platform::detail {

class KernelObject {
 public:
  enum class Kind { File, Directory, Port, Process };

  explicit KernelObject(Kind kind) : kind_(kind) {}
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  Kind kind() const { return kind_; }

  // Called once, when the last handle to the object is closed (the object may live on while others hold it).
  virtual void OnClose() {}

 private:
  const Kind kind_;
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
// Takes the object out of the table; the caller runs OnClose. Null when the handle is not open.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);
std::size_t OpenHandleCount();
// The next inserted object receives this value if it is free then (test seam).
void ForceNextHandleValue(HANDLE value);

}  // namespace quorvel::platform::detail
