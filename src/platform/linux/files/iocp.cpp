// I/O completion ports: one FIFO per port holding posted packets and I/O completions alike, served to any number of
// waiting threads through a condition variable, so an idle wait costs no processor time. The concurrency value is
// accepted and not enforced: every waiting thread may be released. A port that directories are bound to lets one
// waiting thread at a time wait in epoll instead, on its wake-up eventfd and the inotify instance, and read the
// changes itself as an event loop does: a change then reaches that thread with one wake-up.
#include "platform/linux/files/iocp.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <new>

#include "platform/linux/base/errors.h"
#include "platform/linux/files/fs_event_engine.h"

namespace quorvel::platform::detail {

Port::Port() : KernelObject(Kind::Port) { counters().live_ports.fetch_add(1); }

Port::~Port() {
  counters().queued_packets.fetch_sub(static_cast<long>(queue_.size()));
  counters().live_ports.fetch_sub(1);
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

bool Port::Enqueue(const Packet& packet) {
  int wake = -1;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    queue_.push_back(packet);
    counters().queued_packets.fetch_add(1);
    // The thread serving changes finds what it queued itself when it returns to the queue.
    if (polling_ && poller_ != std::this_thread::get_id()) wake = wake_fd_;
  }
  if (wake >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake, &one, sizeof one);
  }
  ready_.notify_one();
  return true;
}

bool Port::Dequeue(DWORD milliseconds, Packet& packet, DWORD& error) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds == INFINITE ? 0 : milliseconds);
  std::unique_lock lock(mutex_);
  const auto ready = [this] { return closed_ || !queue_.empty(); };
  for (;;) {
    if (closed_) {
      error = ERROR_ABANDONED_WAIT_0;
      return false;
    }
    if (!queue_.empty()) break;
    int timeout_ms = -1;
    if (milliseconds != INFINITE) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        error = WAIT_TIMEOUT;
        return false;
      }
      timeout_ms = static_cast<int>(std::min<long long>(left, INT32_MAX));
    }
    if (ServesChanges() && !polling_) {
      polling_ = true;
      poller_ = std::this_thread::get_id();
      const int epoll_fd = epoll_fd_;
      const int wake_fd = wake_fd_;
      lock.unlock();
      // However the wait ends (an allocation failing while the changes are dispatched, say), the port is given
      // back: otherwise no waiter would serve changes again.
      std::exception_ptr failure;
      try {
        fs_event::ServeWhileWaiting(epoll_fd, wake_fd, timeout_ms, pace_);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      polling_ = false;
      poller_ = std::thread::id();
      ready_.notify_one();  // another waiter may serve changes now
      if (failure) std::rethrow_exception(failure);
      continue;
    }
    if (milliseconds == INFINITE) {
      ready_.wait(lock, [&] { return ready() || (ServesChanges() && !polling_); });
    } else {
      ready_.wait_until(lock, deadline, [&] { return ready() || (ServesChanges() && !polling_); });
    }
  }
  packet = queue_.front();
  queue_.pop_front();
  counters().queued_packets.fetch_sub(1);
  return true;
}

void Port::OnClose() {
  std::deque<Packet> dropped;
  int wake = -1;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(queue_);
    counters().queued_packets.fetch_sub(static_cast<long>(dropped.size()));
    if (polling_) wake = wake_fd_;
  }
  if (wake >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake, &one, sizeof one);
  }
  ready_.notify_all();
}

// Only the instance of this process's engine: one a parent's port holds in a child after fork is the parent's.
bool Port::ServesChanges() const {
  return epoll_fd_ >= 0 && changes_generation_ == fs_event::engine_generation.load();
}

bool Port::ServeChanges(int inotify_fd, unsigned generation) {
  std::lock_guard lock(mutex_);
  if (epoll_fd_ >= 0 && changes_generation_ == generation) return false;
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
  epoll_fd_ = wake_fd_ = -1;
  const int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  const int wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.fd = wake_fd;
  // Exclusive: one event wakes one waiter, a waiting port's first (Engine::ReaderBehindPorts).
  epoll_event changes{};
  changes.events = EPOLLIN | EPOLLEXCLUSIVE;
  changes.data.fd = inotify_fd;
  if (epoll_fd < 0 || wake_fd < 0 || epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &wake) != 0 ||
      epoll_ctl(epoll_fd, EPOLL_CTL_ADD, inotify_fd, &changes) != 0) {
    // Waiters wait for the reader thread, as before.
    if (epoll_fd >= 0) ::close(epoll_fd);
    if (wake_fd >= 0) ::close(wake_fd);
    return false;
  }
  epoll_fd_ = epoll_fd;
  wake_fd_ = wake_fd;
  changes_generation_ = generation;
  return true;
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
                               LPOVERLAPPED* lpOverlapped, DWORD dwMilliseconds) try {
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
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)
