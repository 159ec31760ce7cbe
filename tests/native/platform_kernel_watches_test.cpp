// What the layer asks of the kernel: one inotify instance for the whole process, one watch descriptor per watched
// directory shared between handles, and every descriptor given back when the last handle on it closes.
#include <dirent.h>

#include <algorithm>
#include <fstream>

#include "platform_test_support.h"

namespace platform_test {
namespace {

using KernelWatches = PlatformTest;

std::vector<int> InotifyDescriptors() {
  std::vector<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  while (const dirent* entry = ::readdir(dir)) {
    char target[256] = {};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target) == "anon_inode:inotify")
      fds.push_back(std::atoi(entry->d_name));
  }
  ::closedir(dir);
  return fds;
}

// Kernel watches of the instance, by the inode they watch (in hexadecimal, as fdinfo lists them).
std::vector<std::string> KernelWatchInodes() {
  std::vector<std::string> inodes;
  for (int fd : InotifyDescriptors()) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
    std::string line;
    while (std::getline(info, line)) {
      const auto at = line.find(" ino:");
      if (line.rfind("inotify wd:", 0) == 0 && at != std::string::npos) {
        inodes.push_back(line.substr(at + 5, line.find(' ', at + 5) - at - 5));
      }
    }
  }
  return inodes;
}

std::string HexInode(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  char hex[32];
  std::snprintf(hex, sizeof hex, "%lx", static_cast<unsigned long>(st.st_ino));
  return hex;
}

std::size_t Count(const std::vector<std::string>& all, const std::string& one) {
  return static_cast<std::size_t>(std::count(all.begin(), all.end(), one));
}

TEST_F(KernelWatches, OneInstanceAndOneWatchPerDirectory) {
  MakeDir(tmp_ / "w");
  MakeDir(tmp_ / "w/a");
  MakeDir(tmp_ / "w/a/b");
  const std::size_t before = KernelWatchInodes().size();
  {
    std::vector<std::unique_ptr<Watch>> watches;
    for (int i = 0; i < 4; ++i) {
      watches.push_back(std::make_unique<Watch>(tmp_ / "w", i % 2 == 0));
      ASSERT_TRUE(watches.back()->Read());
    }
    Watch nested(tmp_ / "w/a/b");
    ASSERT_TRUE(nested.Read());
    EXPECT_EQ(InotifyDescriptors().size(), 1u);
    const auto inodes = KernelWatchInodes();
    EXPECT_EQ(Count(inodes, HexInode(tmp_ / "w")), 1u);
    EXPECT_EQ(Count(inodes, HexInode(tmp_ / "w/a")), 1u);
    EXPECT_EQ(Count(inodes, HexInode(tmp_ / "w/a/b")), 1u);
    // Closing some handles keeps what the others still use.
    watches.erase(watches.begin(), watches.begin() + 3);
    const auto remaining = KernelWatchInodes();
    EXPECT_EQ(Count(remaining, HexInode(tmp_ / "w")), 1u);
    EXPECT_EQ(Count(remaining, HexInode(tmp_ / "w/a/b")), 1u);
    EXPECT_EQ(Count(remaining, HexInode(tmp_ / "w/a")), 1u) << "the nested watch's parent stays watched";
  }
  EXPECT_EQ(KernelWatchInodes().size(), before) << "every kernel watch given back";
  EXPECT_EQ(InotifyDescriptors().size(), 1u);
}

TEST_F(KernelWatches, DirectoriesLeavingATreeGiveTheirWatchesBack) {
  MakeDir(tmp_ / "w");
  MakeDir(tmp_ / "outside");
  Watch watch(tmp_ / "w", true);
  ASSERT_TRUE(watch.Arm());
  const std::size_t before = KernelWatchInodes().size();
  std::system(("mkdir -p " + tmp_ / "w/x/y/z").c_str());
  WriteFile(tmp_ / "w/x/y/z/f");
  watch.CollectUntilName(L"x/y/z/f");
  EXPECT_EQ(KernelWatchInodes().size(), before + 3);
  ASSERT_EQ(::rename((tmp_ / "w/x").c_str(), (tmp_ / "outside/x").c_str()), 0);
  WriteFile(tmp_ / "w/end");
  watch.CollectUntilName(L"end");
  EXPECT_EQ(KernelWatchInodes().size(), before);
  std::system(("rm -r " + tmp_ / "outside/x").c_str());
}

TEST_F(KernelWatches, AHandleWhosePortIsClosedStopsRecordingAndGivesBackItsKernelWatches) {
  MakeDir(tmp_ / "dead");
  MakeDir(tmp_ / "dead/sub");
  const std::string inode = HexInode(tmp_ / "dead"), sub_inode = HexInode(tmp_ / "dead/sub");
  Watch watch(tmp_ / "dead", /*subtree=*/true);
  ASSERT_TRUE(watch.Read());
  WriteFile(tmp_ / "dead/first");
  ASSERT_TRUE(Dequeue(watch.port()).ok);
  auto has = [](const std::string& ino) {
    const auto inodes = KernelWatchInodes();
    return std::find(inodes.begin(), inodes.end(), ino) != inodes.end();
  };
  ASSERT_TRUE(has(inode) && has(sub_inode));
  // The watcher stopped, say: its port is closed while the handle stays open, and changes keep coming.
  ASSERT_TRUE(CloseHandle(watch.port()));
  watch.forget_port();
  for (int i = 0; i < 3000 && (has(inode) || has(sub_inode)); ++i) WriteFile(tmp_ / ("dead/f" + std::to_string(i)));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  while ((has(inode) || has(sub_inode)) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(has(inode) || has(sub_inode));
}

}  // namespace
}  // namespace platform_test
