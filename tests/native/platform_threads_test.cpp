// Many threads at once: watches opened, read, closed and deleted on several threads while files change, each
// watch served by a waiter on its own port. Meant for ThreadSanitizer as much as for the results.
#include <atomic>

#include "platform_test_support.h"

namespace platform_test {
namespace {

using Threads = PlatformTest;

TEST_F(Threads, WatchesComeAndGoWhileFilesChange) {
  constexpr int kWorkers = 6;
  constexpr int kRounds = 30;
  std::atomic<bool> stop{false};
  for (int i = 0; i < 3; ++i) MakeDir(tmp_ / ("d" + std::to_string(i)));

  std::thread writer([&] {
    for (int n = 0; !stop; ++n) {
      const std::string dir = tmp_ / ("d" + std::to_string(n % 3));
      const std::string name = dir + "/f" + std::to_string(n % 50);
      WriteFile(name, "x");
      ::unlink(name.c_str());
      if (n % 20 == 0) {
        ::mkdir((dir + "/sub").c_str(), 0755);
        WriteFile(dir + "/sub/g");
        ::unlink((dir + "/sub/g").c_str());
        ::rmdir((dir + "/sub").c_str());
      }
    }
  });

  std::atomic<int> reports{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int round = 0; round < kRounds; ++round) {
        Watch watch(tmp_ / ("d" + std::to_string((w + round) % 3)), (round % 2) == 0);
        for (int reads = 0; reads < 3; ++reads) {
          Completion c = watch.ReadOnce();
          if (!c.ok) break;
          EXPECT_EQ(c.overlapped, watch.overlapped());
          reports.fetch_add(static_cast<int>(ParseRecords(watch.buffer(), c.bytes).size()));
        }
        if (round % 3 == 0) {
          // Close with a read outstanding: it ends once, with records if they came first, else with 0 bytes.
          ASSERT_TRUE(watch.Read());
          ASSERT_TRUE(CloseHandle(watch.dir()));
          watch.Detach();
          Completion c = Dequeue(watch.port());
          EXPECT_TRUE(c.ok);
          EXPECT_EQ(c.overlapped, watch.overlapped());
          EXPECT_EQ(Dequeue(watch.port(), 0).error, static_cast<DWORD>(WAIT_TIMEOUT));
        }
      }
    });
  }
  for (auto& t : workers) t.join();
  stop = true;
  writer.join();
  EXPECT_GT(reports.load(), 0);
}

TEST_F(Threads, AWaiterWhileOthersCloseDirectoriesBoundToItsPort) {
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  constexpr int kClosers = 4;
  constexpr int kEach = 50;
  struct Read {
    alignas(DWORD) BYTE buffer[256];
    OVERLAPPED overlapped{};
  };
  std::vector<std::unique_ptr<Read>> reads(kClosers * kEach);
  std::atomic<int> issued{0};
  std::vector<std::thread> closers;
  for (int c = 0; c < kClosers; ++c) {
    closers.emplace_back([&, c] {
      for (int i = 0; i < kEach; ++i) {
        auto& read = reads[c * kEach + i];
        read = std::make_unique<Read>();
        HANDLE dir = OpenDirectory(tmp_.path());
        ASSERT_NE(CreateIoCompletionPort(dir, port, c * kEach + i + 1, 1), nullptr);
        ASSERT_TRUE(ReadDirectoryChangesW(dir, read->buffer, sizeof read->buffer, FALSE, kAllFilters, nullptr,
                                          &read->overlapped, nullptr));
        issued.fetch_add(1);
        if (i % 2) WriteFile(tmp_ / ("f" + std::to_string(c)));
        ASSERT_TRUE(CloseHandle(dir));
      }
    });
  }
  // Every read ends exactly once: with records, or with 0 bytes when its handle was closed first.
  std::vector<int> ended(kClosers * kEach, 0);
  for (int n = 0; n < kClosers * kEach; ++n) {
    Completion done = Dequeue(port);
    ASSERT_TRUE(done.ok) << done.error;
    ASSERT_GE(done.key, 1u);
    ASSERT_LE(done.key, static_cast<ULONG_PTR>(kClosers * kEach));
    EXPECT_EQ(done.overlapped, &reads[done.key - 1]->overlapped);
    ++ended[done.key - 1];
  }
  for (auto& t : closers) t.join();
  for (int count : ended) EXPECT_EQ(count, 1);
  EXPECT_EQ(Dequeue(port, 0).error, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace platform_test
