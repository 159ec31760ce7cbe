// Closing a subtree watch over more directories than the kernel queue holds: giving its kernel watches back queues
// an IN_IGNORED event each, in the instance every watch of the process shares.
#include <fcntl.h>

#include <filesystem>
#include <fstream>

#include "platform_test_support.h"

namespace platform_test {
namespace {

using CloseFlood = PlatformTest;

long ReadLimit(const char* path) {
  std::ifstream in(path);
  long value = -1;
  in >> value;
  return value;
}

// Kernel watches of the process's inotify instances.
std::size_t KernelWatchCount() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error).string() != "anon_inode:inotify") continue;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    for (std::string line; std::getline(info, line);) count += line.rfind("inotify wd:", 0) == 0;
  }
  return count;
}

TEST_F(CloseFlood, ClosingATreeBiggerThanTheKernelQueueCostsOtherWatchesNothing) {
  const long queue = ReadLimit("/proc/sys/fs/inotify/max_queued_events");
  const long user_watches = ReadLimit("/proc/sys/fs/inotify/max_user_watches");
  ASSERT_GT(queue, 0);
  const long directories = queue * 13 / 10;
  if (directories > 100000) GTEST_SKIP() << "fs.inotify.max_queued_events (" << queue << ") is too large to fill quickly";
  if (user_watches < directories + 20000)
    GTEST_SKIP() << "fs.inotify.max_user_watches (" << user_watches << ") is too low for " << directories
                 << " directories beside other tests";
  char root_template[] = "/dev/shm/quorvel-flood-XXXXXX";
  ASSERT_NE(::mkdtemp(root_template), nullptr);
  const std::string root = root_template, tree = root + "/tree", small_dir = root + "/small";
  MakeDir(tree);
  MakeDir(small_dir);
  for (long top = 0; top * 1000 < directories; ++top) {
    const std::string parent = tree + "/" + std::to_string(top);
    MakeDir(parent);
    for (long sub = 1; sub < 1000 && top * 1000 + sub < directories; ++sub) MakeDir(parent + "/" + std::to_string(sub));
  }

  const std::size_t watches_before = KernelWatchCount();
  Watch small(small_dir);
  ASSERT_TRUE(small.Arm());
  auto big = std::make_unique<Watch>(tree, true);
  ASSERT_TRUE(big->Read());  // returns once the whole tree is watched
  ASSERT_GE(KernelWatchCount(), watches_before + static_cast<std::size_t>(directories));

  // Files are made in the small watch's directory while the big watch closes.
  constexpr int kFiles = 300;
  std::atomic<bool> go{false};
  std::thread writer([&] {
    while (!go.load()) std::this_thread::yield();
    for (int i = 0; i < kFiles; ++i) WriteFile(small_dir + "/f" + std::to_string(i));
  });
  go = true;
  big.reset();
  writer.join();
  WriteFile(small_dir + "/end");
  const auto changes = small.CollectUntilName(L"end");  // fails on a loss (a read of 0 bytes)
  EXPECT_EQ(changes.size(), static_cast<std::size_t>(kFiles));
  for (const Change& change : changes) EXPECT_EQ(change.action, static_cast<DWORD>(FILE_ACTION_ADDED));

  // Every kernel watch of the closed tree comes back (the small watch's and its guard's stay).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  while (KernelWatchCount() > watches_before + 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_LE(KernelWatchCount(), watches_before + 2);
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace platform_test
