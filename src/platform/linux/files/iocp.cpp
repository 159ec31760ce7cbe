// I/O completion ports: one FIFO per port holding posted packets and I/O completions alike, served to any number of
// waiting threads through a condition variable, so an idle wait costs no processor time. The concurrency value is
// accepted and not enforced: every waiting thread may be released.
#include "platform/linux/files/iocp.h"

#include <atomic>
#include <chrono>

#include "platform/linux/base/errors.h"

namespace quorvel::platform::detail {

Port::Port() : KernelObject(Kind::Port) { counters().live_ports.fetch_add(1); }

Port::~Port() {
  counters().queued_packets.fetch_sub(static_cast<long>(queue_.size()));
  counters().live_ports.fetch_sub(1);
}

bool Port::Enqueue(const Packet& packet) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    queue_.push_back(packet);
    counters().queued_packets.fetch_add(1);
  }
  ready_.notify_one();
  return true;
}

bool Port::Dequeue(DWORD milliseconds, Packet& packet, DWORD& error) {
  std::unique_lock lock(mutex_);
  const auto ready = [this] { return closed_ || !queue_.empty(); };
  if (milliseconds == INFINITE) {
    ready_.wait(lock, ready);
  } else if (!ready_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
    error = WAIT_TIMEOUT;
    return false;
  }
  if (closed_) {
    error = ERROR_ABANDONED_WAIT_0;
    return false;
  }
  packet = queue_.front();
  queue_.pop_front();
  counters().queued_packets.fetch_sub(1);
  return true;
}

void Port::OnClose() {
  std::deque<Packet> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(queue_);
    counters().queued_packets.fetch_sub(static_cast<long>(dropped.size()));
  }
  ready_.notify_all();
}

bool Bindable::Bind(std::shared_ptr<Port> port, ULONG_PTR key) {
  std::lock_guard lock(binding_mutex_);
  if (binding_.port) return false;
  binding_.port = std::move(port);
  binding_.key = key;
  return true;
}

Binding Bindable::binding() const {
  std::lock_guard lock(binding_mutex_);
  return binding_;
}

void CompleteIo(const Binding& binding, LPOVERLAPPED overlapped, DWORD status, DWORD bytes, DWORD error) {
  overlapped->InternalHigh = bytes;
  // Last and with release order: a caller polling Internal for the end of the I/O (as HasOverlappedIoCompleted
  // does) then sees the byte count and the records too.
  std::atomic_ref<ULONG_PTR>(overlapped->Internal).store(status, std::memory_order_release);
  if (binding.port) binding.port->Enqueue(Packet{bytes, binding.key, overlapped, error});
}

}  // namespace quorvel::platform::detail

using quorvel::platform::detail::Bindable;
using quorvel::platform::detail::Fail;
using quorvel::platform::detail::KernelObject;
using quorvel::platform::detail::Packet;
using quorvel::platform::detail::Port;

namespace {

std::shared_ptr<Port> PortOf(HANDLE handle) {
  auto object = quorvel::platform::detail::LookupHandle(handle);
  if (!object || object->kind() != KernelObject::Kind::Port) return nullptr;
  return std::static_pointer_cast<Port>(object);
}

}  // namespace

HANDLE CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort, ULONG_PTR CompletionKey,
                              DWORD /*NumberOfConcurrentThreads*/) {
  QUORVEL_SEAM_FAIL("CreateIoCompletionPort", static_cast<HANDLE>(nullptr));
  if (FileHandle == INVALID_HANDLE_VALUE) {
    // A port of its own, bound to nothing.
    if (ExistingCompletionPort != nullptr) return Fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
    return quorvel::platform::detail::InsertHandle(std::make_shared<Port>());
  }

  auto object = quorvel::platform::detail::LookupHandle(FileHandle);
  if (!object) return Fail(ERROR_INVALID_HANDLE, static_cast<HANDLE>(nullptr));
  if (object->kind() == KernelObject::Kind::Port) return Fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
  auto& file = static_cast<Bindable&>(*object);

  std::shared_ptr<Port> port;
  HANDLE result = ExistingCompletionPort;
  if (ExistingCompletionPort == nullptr) {
    port = std::make_shared<Port>();
    if (!file.Bind(port, CompletionKey)) return Fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
    result = quorvel::platform::detail::InsertHandle(port);
  } else {
    port = PortOf(ExistingCompletionPort);
    if (!port) return Fail(ERROR_INVALID_HANDLE, static_cast<HANDLE>(nullptr));
    if (!file.Bind(port, CompletionKey)) return Fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
  }
  return result;
}

BOOL PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred, ULONG_PTR dwCompletionKey,
                                LPOVERLAPPED lpOverlapped) {
  QUORVEL_SEAM_FAIL("PostQueuedCompletionStatus", FALSE);
  auto port = PortOf(CompletionPort);
  if (!port) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!port->Enqueue(Packet{dwNumberOfBytesTransferred, dwCompletionKey, lpOverlapped, ERROR_SUCCESS}))
    return Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

BOOL GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred, PULONG_PTR lpCompletionKey,
                               LPOVERLAPPED* lpOverlapped, DWORD dwMilliseconds) {
  if (lpNumberOfBytesTransferred == nullptr || lpCompletionKey == nullptr || lpOverlapped == nullptr)
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *lpOverlapped = nullptr;
  QUORVEL_SEAM_FAIL("GetQueuedCompletionStatus", FALSE);
  auto port = PortOf(CompletionPort);
  if (!port) return Fail(ERROR_INVALID_HANDLE, FALSE);

  Packet packet;
  DWORD error = ERROR_SUCCESS;
  if (!port->Dequeue(dwMilliseconds, packet, error)) return Fail(error, FALSE);
  *lpNumberOfBytesTransferred = packet.bytes;
  *lpCompletionKey = packet.key;
  *lpOverlapped = packet.overlapped;
  if (packet.error != ERROR_SUCCESS) return Fail(packet.error, FALSE);
  return TRUE;
}
