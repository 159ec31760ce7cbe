// Completion ports: posting, waiting, time-outs, binding, closing, and waiting threads.
#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform_test_support.h"

namespace platform_test {
namespace {

using Ports = PlatformTest;
namespace seam = quorvel::platform::seam;

HANDLE NewPort() { return CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1); }

TEST_F(Ports, PostedPacketsComeBackInOrder) {
  HANDLE port = NewPort();
  ASSERT_NE(port, nullptr);
  OVERLAPPED a{}, b{};
  ASSERT_TRUE(PostQueuedCompletionStatus(port, 7, 11, &a));
  ASSERT_TRUE(PostQueuedCompletionStatus(port, 0, 12, nullptr));
  ASSERT_TRUE(PostQueuedCompletionStatus(port, 9, 0, &b));
  Completion c = Dequeue(port);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 7u);
  EXPECT_EQ(c.key, 11u);
  EXPECT_EQ(c.overlapped, &a);
  c = Dequeue(port);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.key, 12u);
  EXPECT_EQ(c.overlapped, nullptr);
  c = Dequeue(port);
  EXPECT_EQ(c.bytes, 9u);
  EXPECT_EQ(c.overlapped, &b);
  EXPECT_EQ(a.Internal, 0u) << "posting does not touch the OVERLAPPED";
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Ports, AnEmptyPortTimesOut) {
  HANDLE port = NewPort();
  DWORD bytes = 5;
  ULONG_PTR key = 5;
  OVERLAPPED dummy{};
  LPOVERLAPPED ov = &dummy;
  SetLastError(0);
  EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &ov, 0));
  EXPECT_EQ(ov, nullptr);
  EXPECT_EQ(GetLastError(), WAIT_TIMEOUT);
  ov = &dummy;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &ov, 50));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  EXPECT_EQ(ov, nullptr);
  EXPECT_EQ(GetLastError(), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Ports, WrongHandlesAndArgumentsAreRefused) {
  DWORD bytes;
  ULONG_PTR key;
  LPOVERLAPPED ov;
  EXPECT_FALSE(GetQueuedCompletionStatus(nullptr, &bytes, &key, &ov, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(PostQueuedCompletionStatus(reinterpret_cast<HANDLE>(std::uintptr_t{4000}), 0, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  HANDLE dir = OpenDirectory(tmp_.path());
  EXPECT_FALSE(PostQueuedCompletionStatus(dir, 0, 0, nullptr)) << "a directory is not a port";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  HANDLE port = NewPort();
  EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // A port of its own takes no existing port; a port cannot be bound to a port.
  EXPECT_EQ(CreateIoCompletionPort(INVALID_HANDLE_VALUE, port, 0, 1), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateIoCompletionPort(port, nullptr, 0, 1), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateIoCompletionPort(dir, dir, 0, 1), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(dir));
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Ports, BindingAHandle) {
  const std::size_t ports_before = seam::LivePorts();
  HANDLE port = NewPort();
  HANDLE dir = OpenDirectory(tmp_.path());
  EXPECT_EQ(CreateIoCompletionPort(dir, port, 42, 1), port);
  SetLastError(0);
  EXPECT_EQ(CreateIoCompletionPort(dir, port, 43, 1), nullptr) << "a handle is bound once";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // A null existing port makes a new port and binds the handle to it.
  HANDLE other = OpenDirectory(tmp_.path());
  HANDLE own = CreateIoCompletionPort(other, nullptr, 7, 1);
  ASSERT_NE(own, nullptr);
  EXPECT_NE(own, port);
  EXPECT_NE(own, other);
  EXPECT_EQ(seam::LivePorts(), ports_before + 2);
  EXPECT_TRUE(CloseHandle(other));
  EXPECT_TRUE(CloseHandle(own));
  EXPECT_TRUE(CloseHandle(dir));
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Ports, ClosingAPortReleasesItsPackets) {
  const std::size_t before = seam::QueuedPackets();
  HANDLE port = NewPort();
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(PostQueuedCompletionStatus(port, i, i + 1, nullptr));
  EXPECT_EQ(seam::QueuedPackets(), before + 100);
  EXPECT_TRUE(CloseHandle(port));
  EXPECT_EQ(seam::QueuedPackets(), before);
  DWORD bytes;
  ULONG_PTR key;
  LPOVERLAPPED ov;
  EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &ov, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Ports, ClosingAPortWakesItsWaiters) {
  HANDLE port = NewPort();
  std::atomic<int> woken{0};
  std::vector<DWORD> errors(3);
  std::vector<LPOVERLAPPED> overlapped(3, reinterpret_cast<LPOVERLAPPED>(1));
  std::vector<std::thread> waiters;
  std::atomic<int> started{0};
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&, i] {
      DWORD bytes;
      ULONG_PTR key;
      started.fetch_add(1);
      const BOOL ok = GetQueuedCompletionStatus(port, &bytes, &key, &overlapped[i], INFINITE);
      errors[i] = ok ? 0 : GetLastError();
      woken.fetch_add(1);
    });
  }
  while (started.load() < 3) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let them block; not what is checked
  EXPECT_EQ(woken.load(), 0);
  ASSERT_TRUE(CloseHandle(port));
  for (auto& t : waiters) t.join();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(errors[i], ERROR_ABANDONED_WAIT_0);
    EXPECT_EQ(overlapped[i], nullptr);
  }
}

// A port whose directories are read lets one waiting thread wait on the kernel's change queue itself, the others
// on the port: a post, a change and the port's close must each still reach a waiter, and a time-out still end.
TEST_F(Ports, WaitersOfAPortServingChangesWakeForPostsChangesAndClose) {
  HANDLE port = NewPort();
  HANDLE dir = OpenDirectory(tmp_.path());
  ASSERT_EQ(CreateIoCompletionPort(dir, port, 7, 1), port);
  alignas(DWORD) BYTE buffer[4096];
  OVERLAPPED read{};
  DWORD ignored = 0;
  ASSERT_TRUE(ReadDirectoryChangesW(dir, buffer, sizeof buffer, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME, &ignored, &read,
                                    nullptr));
  EXPECT_EQ(Dequeue(port, 30).error, static_cast<DWORD>(WAIT_TIMEOUT));

  std::vector<Completion> results(3);
  std::atomic<int> done{0};
  std::vector<std::thread> waiters;
  for (auto& result : results) {
    waiters.emplace_back([&] {
      result = Dequeue(port, INFINITE);
      done.fetch_add(1);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let them block; not what is checked
  ASSERT_TRUE(PostQueuedCompletionStatus(port, 0, 1, nullptr));
  ::close(::open((tmp_.path() + "/made").c_str(), O_CREAT | O_WRONLY, 0644));
  for (int i = 0; i < 2000 && done.load() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(done.load(), 2);
  ASSERT_TRUE(CloseHandle(port));
  for (auto& t : waiters) t.join();
  int posted = 0, changed = 0, abandoned = 0;
  for (const Completion& c : results) {
    posted += c.ok && c.key == 1 && c.overlapped == nullptr;
    changed += c.ok && c.key == 7 && c.overlapped == &read && c.bytes > 0;
    abandoned += !c.ok && c.error == ERROR_ABANDONED_WAIT_0;
  }
  EXPECT_EQ(posted, 1);
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(abandoned, 1);
  EXPECT_TRUE(CloseHandle(dir));
}

TEST_F(Ports, AnIdleWaitUsesNoProcessorTime) {
  HANDLE port = NewPort();
  clockid_t clock;
  std::atomic<bool> waiting{false};
  std::thread waiter([&] {
    waiting = true;
    DWORD bytes;
    ULONG_PTR key;
    LPOVERLAPPED ov;
    GetQueuedCompletionStatus(port, &bytes, &key, &ov, INFINITE);
  });
  while (!waiting) std::this_thread::yield();
  ASSERT_EQ(pthread_getcpuclockid(waiter.native_handle(), &clock), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  timespec used{};
  ASSERT_EQ(clock_gettime(clock, &used), 0);
  ASSERT_TRUE(PostQueuedCompletionStatus(port, 0, 1, nullptr));
  waiter.join();
  // A polling loop would burn most of the half second; a blocked thread uses almost nothing.
  EXPECT_LT(used.tv_sec * 1000 + used.tv_nsec / 1000000, 100);
  EXPECT_TRUE(CloseHandle(port));
}

// Changes that come faster than the waiter takes them (a burst): each time it comes back it finds one queued, so its
// port starts to pause before each read, to take them in batches; once they stop, its wait must block again rather
// than poll, and a lone change must still come.
TEST_F(Ports, AWaiterThatTookABurstInBatchesBlocksAgainOnceItEnds) {
  constexpr int kFiles = 20;
  Watch watch(tmp_.path(), false, FILE_NOTIFY_CHANGE_FILE_NAME);
  ASSERT_TRUE(watch.Arm());
  // The waiting thread makes the next change itself before each wait: it is always queued when the wait begins.
  const auto burst = watch.CollectUntil([&](const std::vector<Change>& changes) {
    if (changes.size() >= kFiles) return true;
    ::close(::open((tmp_.path() + "/b" + std::to_string(changes.size())).c_str(), O_CREAT | O_WRONLY, 0644));
    return false;
  });
  ASSERT_EQ(burst.size(), static_cast<std::size_t>(kFiles));
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ(burst[i], (Change{FILE_ACTION_ADDED, L"b" + std::to_wstring(i)}));

  ASSERT_TRUE(watch.Read());
  const std::size_t pauses = seam::BatchPauses();
  timespec before{}, after{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
  EXPECT_EQ(Dequeue(watch.port(), 500).error, static_cast<DWORD>(WAIT_TIMEOUT));
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
  // The burst left the port batching: the first wait after it pauses, finds nothing, and blocks.
  EXPECT_GE(seam::BatchPauses() - pauses, 1u) << "the burst was not taken in batches";
  EXPECT_LE(seam::BatchPauses() - pauses, 3u) << "the wait kept pausing";
  // Polling every batch's pause would take several milliseconds of the half second; a blocked wait takes none.
  EXPECT_LT((after.tv_sec - before.tv_sec) * 1000 + (after.tv_nsec - before.tv_nsec) / 1000000, 5);
  ::close(::open((tmp_.path() + "/lone").c_str(), O_CREAT | O_WRONLY, 0644));
  const Completion lone = Dequeue(watch.port());
  ASSERT_TRUE(lone.ok);
  EXPECT_EQ(ParseRecords(watch.buffer(), lone.bytes), Expect({{FILE_ACTION_ADDED, L"lone"}}));
}

TEST_F(Ports, OneWaiterWhileOthersPostBindAndClose) {
  HANDLE port = NewPort();
  constexpr int kPosters = 4;
  constexpr int kEach = 2000;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int p = 0; p < kPosters; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) ASSERT_TRUE(PostQueuedCompletionStatus(port, i, p + 1, nullptr));
    });
  }
  // Churn: other ports and directory handles come and go, binding and closing, sharing the handle table.
  threads.emplace_back([&] {
    while (!stop) {
      HANDLE dir = OpenDirectory(tmp_.path());
      HANDLE own = CreateIoCompletionPort(dir, nullptr, 1, 1);
      PostQueuedCompletionStatus(own, 1, 1, nullptr);
      CloseHandle(own);
      CloseHandle(dir);
    }
  });
  std::vector<int> next(kPosters, 0);
  for (int n = 0; n < kPosters * kEach; ++n) {
    Completion c = Dequeue(port);
    ASSERT_TRUE(c.ok) << "error " << c.error;
    ASSERT_GE(c.key, 1u);
    ASSERT_LE(c.key, static_cast<ULONG_PTR>(kPosters));
    EXPECT_EQ(c.bytes, static_cast<DWORD>(next[c.key - 1]++)) << "one poster's packets stay in order";
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(Dequeue(port, 0).error, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Ports, SeamFailsPortCalls) {
  seam::FailNext("CreateIoCompletionPort", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(NewPort(), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  HANDLE port = NewPort();
  seam::FailNext("PostQueuedCompletionStatus", ERROR_NOT_ENOUGH_QUOTA);
  EXPECT_FALSE(PostQueuedCompletionStatus(port, 0, 1, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
  ASSERT_TRUE(PostQueuedCompletionStatus(port, 0, 1, nullptr));
  seam::FailNext("GetQueuedCompletionStatus", WAIT_TIMEOUT);
  Completion c = Dequeue(port, 0);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.overlapped, nullptr);
  EXPECT_EQ(c.error, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(Dequeue(port, 0).ok) << "the packet is still there";
  EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace platform_test
