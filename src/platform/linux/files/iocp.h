// The kernel object behind a completion port handle, and the binding of file and directory objects to a port.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/linux/base/handle_table.h"
#include "platform/linux/files/win32_files.h"

namespace quorvel::platform::detail {

struct Packet {
  DWORD bytes;
  ULONG_PTR key;
  LPOVERLAPPED overlapped;
  DWORD error;  // ERROR_SUCCESS, or the Win32 code of a failed I/O
};

// What a thread serving changes has seen of their flow (fs_event_reader.cpp, ServeWhileWaiting).
struct ChangePace {
  int busy_returns = 0;   // returns from the caller in a row that found changes already queued
  bool batching = false;  // changes come faster than they are handled: pause before each read
};

class Port final : public KernelObject {
 public:
  Port();
  ~Port() override;

  // False when the port's handle is closed: the packet is dropped, as nobody can dequeue it any more.
  bool Enqueue(const Packet& packet);
  // The wait of GetQueuedCompletionStatus. Returns false with `error` WAIT_TIMEOUT or ERROR_ABANDONED_WAIT_0.
  bool Dequeue(DWORD milliseconds, Packet& packet, DWORD& error);
  void OnClose() override;
  // From now on a thread waiting on this port with nothing queued reads the change notifications of `inotify_fd`
  // itself (fs_event_reader.cpp) instead of waiting for the reader thread to pass them on. True when the port
  // took the instance up (the first time, or anew for the engine of a child after fork).
  bool ServeChanges(int inotify_fd, unsigned generation);
  // True while a waiting thread serves the change notifications (for tests: it is given back however it ends).
  bool polled() {
    std::lock_guard lock(mutex_);
    return polling_;
  }
  // True once the port's handle is closed: nothing can dequeue from it any more.
  bool closed() {
    std::lock_guard lock(mutex_);
    return closed_;
  }

 private:
  bool ServesChanges() const;  // with `mutex_` held

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Packet> queue_;
  bool closed_ = false;
  // Serving changes: an epoll set of the wake-up eventfd and the inotify instance; the thread waiting on it.
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  unsigned changes_generation_ = 0;
  bool polling_ = false;
  std::thread::id poller_;
  // How changes have been coming to the polling thread; only that thread touches it (handed over under `mutex_`).
  ChangePace pace_;
};

// Where an object's I/O completions go: set once by CreateIoCompletionPort.
struct Binding {
  std::shared_ptr<Port> port;
  ULONG_PTR key = 0;
};

// Objects that can be bound to a port (files and directories).
class Bindable : public KernelObject {
 public:
  using KernelObject::KernelObject;

  // False when the object is already bound.
  bool Bind(std::shared_ptr<Port> port, ULONG_PTR key);
  Binding binding() const;

 private:
  mutable std::mutex binding_mutex_;
  Binding binding_;
};

// Finishes an overlapped I/O: writes the status and byte count into the OVERLAPPED as Windows does, then queues the
// completion on the bound port (if any).
void CompleteIo(const Binding& binding, LPOVERLAPPED overlapped, DWORD status, DWORD bytes, DWORD error);

}  // namespace quorvel::platform::detail
