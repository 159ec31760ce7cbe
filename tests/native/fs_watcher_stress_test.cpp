// Threads starting and stopping the watcher and adding and removing watches while files change and handlers
// call back into the watcher. Meant for ThreadSanitizer and AddressSanitizer as much as for its own checks.
#include <random>

#include "fs_watcher_fixture.h"

namespace {

using namespace watcher_test;

TEST_F(WatcherTest, ConcurrentLifecycleWatchesAndChangesLeaveNothingBehind) {
  std::vector<std::filesystem::path> dirs;
  for (int i = 0; i < 4; ++i) dirs.push_back(MakeDir("d" + std::to_string(i) + "/sub"));
  std::mutex ids_mutex;
  std::vector<std::uint64_t> ids;
  std::atomic<long> events{0};
  std::atomic<bool> running{true};

  WatchHandler handler = [&](std::uint64_t id, FsWatchAction, std::wstring_view, std::wstring_view) {
    const long n = ++events;
    if (n % 17 == 0) W().RemoveWatch(id);
    if (n % 29 == 0) {
      const auto added = W().WatchDir(dirs[0].wstring(), {{L"*", -1}}, 30, false, [](auto...) {});
      std::lock_guard<std::mutex> lock(ids_mutex);
      ids.push_back(added);
    }
    if (n % 97 == 0) {
      try {
        W().Stop();
      } catch (const std::system_error&) {
      }
    }
    if (n % 13 == 0) throw std::runtime_error("handler failure");
  };

  auto loop = [&](auto body) {
    return std::thread([&, body] {
      std::mt19937 random(std::hash<std::thread::id>()(std::this_thread::get_id()));
      while (running) body(random);
    });
  };
  std::vector<std::thread> threads;
  threads.push_back(loop([&](std::mt19937& random) {
    W().Stop();
    W().Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
  }));
  for (int i = 0; i < 3; ++i) {
    threads.push_back(loop([&](std::mt19937& random) {
      const auto& dir = dirs[random() % dirs.size()];
      const std::int32_t depth = static_cast<std::int32_t>(random() % 3) - 1;
      const auto id = W().WatchDir(dir.parent_path().wstring(), {{L"*", depth}}, 2u << (random() % 4),
                                   random() % 2 == 0, WatchHandler(handler));
      std::uint64_t victim = 0;
      {
        // Never held while calling the watcher: a handler takes it too.
        std::lock_guard<std::mutex> lock(ids_mutex);
        ids.push_back(id);
        victim = ids[random() % ids.size()];
      }
      W().RemoveWatch(victim);
    }));
  }
  for (int i = 0; i < 2; ++i) {
    threads.push_back(loop([&](std::mt19937& random) {
      const auto file = dirs[random() % dirs.size()] / ("f" + std::to_string(random() % 30));
      std::error_code ignored;
      if (random() % 2) {
        Touch(file);
      } else {
        std::filesystem::remove(file, ignored);
      }
    }));
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  running = false;
  for (auto& t : threads) t.join();

  W().Stop();
  for (auto id : ids) W().RemoveWatch(id);
  EXPECT_EQ(W().WatchCount(), 0u);
  EXPECT_GT(events.load(), 0);
  EXPECT_EQ(seam::OpenHandles(), handles_before_);
  EXPECT_EQ(seam::OutstandingReads(), 0u);
}

}  // namespace
