// Out of memory inside GetQueuedCompletionStatus, on a thread that serves a port's change notifications itself:
// the call fails as Windows does (FALSE, ERROR_NOT_ENOUGH_MEMORY) instead of throwing, and the port is given back,
// so a later wait serves changes again. The call is run once per allocation its thread makes while it reads a
// change, with that one allocation failing (only the waiting thread's: the reader thread's never fail).
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "platform/linux/base/handle_table.h"
#include "platform/linux/files/iocp.h"
#include "platform_test_support.h"

// GCC takes the replaced operators for a malloc/delete mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

thread_local long countdown = -1;  // this thread's allocations left before the one that fails; -1: none fails
thread_local bool fired = false;

}  // namespace

void* operator new(std::size_t size) {
  if (countdown >= 0 && countdown-- == 0) {
    fired = true;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
// Not inlined: GCC would otherwise see free() meet memory from operator new and warn of a mismatch.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace platform_test {
namespace {

using OutOfMemory = PlatformTest;

void Create(const std::string& path) { ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0644)); }

TEST_F(OutOfMemory, AWaitThatServesChangesFailsTheCallAndGivesThePortBack) {
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  HANDLE dir = OpenDirectory(tmp_.path());
  ASSERT_EQ(CreateIoCompletionPort(dir, port, 7, 1), port);
  auto object = quorvel::platform::detail::LookupHandle(port);
  auto& state = static_cast<quorvel::platform::detail::Port&>(*object);
  alignas(DWORD) BYTE buffer[4096];
  OVERLAPPED read{};
  DWORD ignored = 0;
  const auto issue = [&] {
    return ReadDirectoryChangesW(dir, buffer, sizeof buffer, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME, &ignored, &read,
                                 nullptr);
  };
  ASSERT_TRUE(issue());

  // One run: the call with this thread's n-th allocation failing; true when it failed.
  const auto run = [&](long n, int attempt) {
    const std::string name = std::to_string(n) + "-" + std::to_string(attempt);
    // The change comes while this thread already waits on the kernel's queue, so that this thread reads it.
    std::thread maker([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      Create(tmp_.path() + "/made-" + name);
    });
    Completion c;
    bool threw = false;
    fired = false;
    countdown = n;
    try {
      c = Dequeue(port, 2000);
    } catch (...) {
      threw = true;
    }
    countdown = -1;
    const bool failed = fired;
    maker.join();
    EXPECT_FALSE(threw);
    EXPECT_FALSE(state.polled()) << "the port is still held by a wait that ended";
    if (failed) {
      EXPECT_FALSE(c.ok);
      EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
      EXPECT_EQ(c.overlapped, nullptr);
    }
    bool reading = !c.ok;
    // What the failed call read may be lost, but a later change reaches a later wait.
    for (int again = 0; again < 100 && reading; ++again) {
      Create(tmp_.path() + "/again-" + name + "-" + std::to_string(again));
      const Completion later = Dequeue(port, 100);
      if (later.ok && later.overlapped == &read) reading = false;
    }
    EXPECT_FALSE(reading) << "no change reached a waiter after the failure";
    // Changes left over from above are delivered first, so that the next call waits for its own.
    do {
      EXPECT_TRUE(issue());
    } while (Dequeue(port, 50).ok);
    return failed;
  };
  // Allocations in order until one the call does not make (tried thrice: the reader thread may take a change
  // before this thread does).
  int failed = 0;
  for (long n = 0; n < 100 && !HasFailure(); ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    int attempt = 0;
    while (attempt < 3 && !run(n, attempt)) ++attempt;
    if (attempt == 3) break;
    ++failed;
  }
  EXPECT_GT(failed, 0) << "no allocation of a waiting thread failed: the path was never taken";
  EXPECT_TRUE(CloseHandle(dir));
  EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace platform_test
