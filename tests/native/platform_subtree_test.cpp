// ReadDirectoryChangesW over a subtree: directories created, moved and renamed later, the scan of new
// directories, and symbolic links.
#include <fcntl.h>
#include <sched.h>

#include "platform_test_support.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace platform_test {
namespace {

using Subtree = PlatformTest;

// Entries born within a few clock ticks before a move into the tree count as born after it; setup that must count
// as older waits that long.
void AgeTimestamps() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

void Shell(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

std::map<std::wstring, int> CountAdded(const std::vector<Change>& changes) {
  std::map<std::wstring, int> added;
  for (const auto& c : changes)
    if (c.action == FILE_ACTION_ADDED) ++added[c.name];
  return added;
}

TEST_F(Subtree, ChangesInExistingSubdirectoriesAreReportedWithTheirPath) {
  MakeDir(tmp_ / "a");
  MakeDir(tmp_ / "a/b");
  Watch watch(tmp_.path(), true);
  ASSERT_TRUE(watch.Arm());
  WriteFile(tmp_ / "a/b/f", "");
  WriteFile(tmp_ / "a/b/f", "x");
  ASSERT_EQ(::rename((tmp_ / "a/b/f").c_str(), (tmp_ / "a/b/g").c_str()), 0);
  ASSERT_EQ(::unlink((tmp_ / "a/b/g").c_str()), 0);
  WriteFile(tmp_ / "end");
  EXPECT_EQ(watch.CollectUntilName(L"end"), Expect({{FILE_ACTION_ADDED, L"a/b/f"},
                                                     {FILE_ACTION_MODIFIED, L"a/b/f"},
                                                     {FILE_ACTION_RENAMED_OLD_NAME, L"a/b/f"},
                                                     {FILE_ACTION_RENAMED_NEW_NAME, L"a/b/g"},
                                                     {FILE_ACTION_REMOVED, L"a/b/g"}}));
}

TEST_F(Subtree, ASubdirectoryTheKernelWouldNotWatchIsTriedAgainWhenWatchesAreGivenBack) {
  // At the per-user limit (ENOSPC) nothing watched is lost: the read fails with ERROR_NOT_ENOUGH_QUOTA and the
  // number of directories left unwatched, once for the watch, and the records wait for the next read. Another
  // refusal is a loss (a read of 0 bytes).
  struct Case {
    DWORD refusal;
    bool limit;
  };
  for (const Case test : {Case{ERROR_NOT_ENOUGH_QUOTA, true}, Case{ERROR_ACCESS_DENIED, false}}) {
    SCOPED_TRACE(test.refusal);
    TempDir root, elsewhere, outside;
    auto other = std::make_unique<Watch>(elsewhere.path());
    ASSERT_TRUE(other->Read());
    Watch watch(root.path(), true);
    ASSERT_TRUE(watch.Read());
    MakeDir(outside / "full");
    MakeDir(outside / "full/below");
    MakeDir(outside / "full/below/deeper");
    quorvel::platform::seam::FailNext("inotify_add_watch", test.refusal);
    ASSERT_EQ(::rename((outside / "full").c_str(), (root / "full").c_str()), 0);
    Completion c = Dequeue(watch.port());
    if (test.limit) {
      EXPECT_FALSE(c.ok);
      EXPECT_EQ(c.error, ERROR_NOT_ENOUGH_QUOTA);
      EXPECT_EQ(c.bytes, 3u);  // the directory and the two below it
      // Said once: a second refusal is not (a collection fails on a failed read).
      quorvel::platform::seam::FailNext("inotify_add_watch", test.refusal);
      MakeDir(root / "second");
      EXPECT_EQ(watch.CollectUntilName(L"second"), Expect({{FILE_ACTION_ADDED, L"full"}}));
    } else {
      EXPECT_TRUE(c.ok);
      EXPECT_EQ(c.bytes, 0u);
    }
    // Another handle gives its kernel watch back: the directories are watched now.
    other.reset();
    WriteFile(root / "full/below/deeper/inside", "");
    WriteFile(root / "end");
    EXPECT_EQ(watch.CollectUntilName(L"end"), Expect({{FILE_ACTION_ADDED, L"full/below/deeper/inside"}}));
  }
}

TEST_F(Subtree, AddingABigTreeCostsOtherWatchesNothing) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "pits the reader against a fixed rate of changes, which a sanitizer's slowdown cannot keep";
#endif
  // The processors this process may run on, not the machine's: CI may pin the run to a few of them.
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) < 4)
    GTEST_SKIP() << "needs a processor each for the writer, the scan and the reader";
  // 60,000 directories, and a busy directory beside them, on a tmpfs. The busy directory gets files at a steady
  // rate the reader keeps up with easily; watching the whole tree (about 0.6 s) while the reader cannot drain the
  // kernel queue (16,384 events here) would let that queue overflow.
  char root_template[] = "/dev/shm/quorvel-big-XXXXXX";
  ASSERT_NE(::mkdtemp(root_template), nullptr);
  const std::filesystem::path root = root_template, big = root / "tree", busy_dir = root / "busy";
  for (int top = 0; top < 60; ++top) {
    for (int sub = 0; sub < 1000; ++sub) {
      std::filesystem::create_directories(big / std::to_string(top) / std::to_string(sub));
    }
  }
  std::filesystem::create_directories(busy_dir);
  Watch busy(busy_dir.string());
  ASSERT_TRUE(busy.Arm());
  std::atomic<bool> stop{false};
  std::atomic<int> made{0};
  std::thread writer([&] {
    constexpr auto kEvery = std::chrono::microseconds(20);  // about 50,000 files a second
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(20);
    for (int i = 0; !stop.load() && std::chrono::steady_clock::now() < deadline; ++i) {
      if (i % 50 == 0) std::this_thread::sleep_until(start + i * kEvery);
      const int fd = ::open((busy_dir / ("f" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      if (fd >= 0) ::close(fd);
      made = i + 1;
    }
  });
  while (made.load() < 1000) std::this_thread::yield();
  auto tree = std::make_unique<Watch>(big.string(), true);
  EXPECT_TRUE(tree->Read());  // returns once the whole tree is watched
  stop = true;
  writer.join();
  ::close(::open((busy_dir / "end").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  const auto changes = busy.CollectUntilName(L"end");  // fails on a loss (a read of 0 bytes)
  EXPECT_EQ(changes.size(), static_cast<std::size_t>(made.load()));
  tree.reset();
  std::filesystem::remove_all(root);
}

TEST_F(Subtree, WithoutSubtreeNestedChangesAreNotReported) {
  MakeDir(tmp_ / "a");
  Watch watch(tmp_.path(), false);
  ASSERT_TRUE(watch.Arm());
  WriteFile(tmp_ / "a/nested");
  MakeDir(tmp_ / "b");
  WriteFile(tmp_ / "b/nested");
  WriteFile(tmp_ / "end");
  EXPECT_EQ(watch.CollectUntilName(L"end"), Expect({{FILE_ACTION_ADDED, L"b"}}));
}

TEST_F(Subtree, MkdirPThenTouchLosesNothingAndRepeatsNothing) {
  Watch watch(tmp_.path(), true);
  ASSERT_TRUE(watch.Arm());
  for (int round = 0; round < 20; ++round) {
    const std::string top = "r" + std::to_string(round);
    Shell("mkdir -p " + tmp_ / (top + "/b/c") + " && touch " + tmp_ / (top + "/b/c/f"));
  }
  WriteFile(tmp_ / "end");
  auto changes = watch.CollectUntilName(L"end");
  auto added = CountAdded(changes);
  for (int round = 0; round < 20; ++round) {
    const std::wstring top = W("r" + std::to_string(round));
    for (const std::wstring& name : {top, top + L"/b", top + L"/b/c", top + L"/b/c/f"}) {
      EXPECT_EQ(added[name], 1) << quorvel::platform::WideToUtf8(name);
    }
  }
  EXPECT_EQ(changes.size(), 80u);
  // And the new directories are watched from then on.
  WriteFile(tmp_ / "r7/b/c/later");
  WriteFile(tmp_ / "end2");
  EXPECT_EQ(watch.CollectUntilName(L"end2"), Expect({{FILE_ACTION_ADDED, L"r7/b/c/later"}}));
}

TEST_F(Subtree, ADirectoryCreatedWithContentIsReportedWhole) {
  Watch watch(tmp_.path(), true);
  ASSERT_TRUE(watch.Arm());
  // Built outside, then renamed into place with a hard link trick is a move; here the tree grows in place, fast.
  Shell("mkdir -p " + tmp_ / "t/x/y" + " " + tmp_ / "t/z" + " && touch " + tmp_ / "t/x/1" + " " + tmp_ / "t/x/y/2" +
      " " + tmp_ / "t/z/3");
  WriteFile(tmp_ / "end");
  auto added = CountAdded(watch.CollectUntilName(L"end"));
  for (const wchar_t* name : {L"t", L"t/x", L"t/x/y", L"t/z", L"t/x/1", L"t/x/y/2", L"t/z/3"}) {
    EXPECT_EQ(added[name], 1) << quorvel::platform::WideToUtf8(name);
  }
  EXPECT_EQ(added.size(), 7u);
}

TEST_F(Subtree, ARenamedSubdirectoryReportsUnderItsNewName) {
  MakeDir(tmp_ / "old");
  MakeDir(tmp_ / "old/deep");
  MakeDir(tmp_ / "other");
  Watch watch(tmp_.path(), true);
  ASSERT_TRUE(watch.Arm());
  ASSERT_EQ(::rename((tmp_ / "old").c_str(), (tmp_ / "new").c_str()), 0);
  WriteFile(tmp_ / "new/deep/f");
  // Into another directory of the tree: still a rename pair, with both paths.
  ASSERT_EQ(::rename((tmp_ / "new/deep").c_str(), (tmp_ / "other/moved").c_str()), 0);
  WriteFile(tmp_ / "other/moved/g");
  WriteFile(tmp_ / "end");
  EXPECT_EQ(watch.CollectUntilName(L"end"), Expect({{FILE_ACTION_RENAMED_OLD_NAME, L"old"},
                                                     {FILE_ACTION_RENAMED_NEW_NAME, L"new"},
                                                     {FILE_ACTION_ADDED, L"new/deep/f"},
                                                     {FILE_ACTION_RENAMED_OLD_NAME, L"new/deep"},
                                                     {FILE_ACTION_RENAMED_NEW_NAME, L"other/moved"},
                                                     {FILE_ACTION_ADDED, L"other/moved/g"}}));
}

TEST_F(Subtree, DirectoriesMovedInAreWatchedAndMovedOutAreNot) {
  MakeDir(tmp_ / "w");
  MakeDir(tmp_ / "outside");
  MakeDir(tmp_ / "outside/in");
  MakeDir(tmp_ / "outside/in/deeper");
  WriteFile(tmp_ / "outside/in/already");
  MakeDir(tmp_ / "w/leaving");
  AgeTimestamps();
  Watch watch(tmp_ / "w", true);
  ASSERT_TRUE(watch.Arm());
  ASSERT_EQ(::rename((tmp_ / "outside/in").c_str(), (tmp_ / "w/in").c_str()), 0);
  ASSERT_EQ(::rename((tmp_ / "w/leaving").c_str(), (tmp_ / "outside/left").c_str()), 0);
  WriteFile(tmp_ / "w/in/deeper/new");
  WriteFile(tmp_ / "outside/left/unseen");
  WriteFile(tmp_ / "w/end");
  // As on Windows, a directory moved in is one addition; what it held before is not listed, and what was made in
  // it right after the move is reported once (from the scan, when it came before the watch: order may vary).
  auto changes = watch.CollectUntilName(L"end");
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[0], (Change{FILE_ACTION_ADDED, L"in"}));
  std::sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) { return a.name < b.name; });
  EXPECT_EQ(changes, Expect({{FILE_ACTION_ADDED, L"in"},
                             {FILE_ACTION_ADDED, L"in/deeper/new"},
                             {FILE_ACTION_REMOVED, L"leaving"}}));
}

TEST_F(Subtree, WhatIsMadeRightAfterAMoveInIsReportedOnce) {
  MakeDir(tmp_ / "w");
  for (int i = 0; i < 10; ++i) {
    MakeDir(tmp_ / ("src" + std::to_string(i)));
    WriteFile(tmp_ / ("src" + std::to_string(i) + "/old"));
  }
  AgeTimestamps();
  Watch watch(tmp_ / "w", true);
  ASSERT_TRUE(watch.Arm());
  for (int i = 0; i < 10; ++i) {
    const std::string name = "d" + std::to_string(i);
    ASSERT_EQ(::rename((tmp_ / ("src" + std::to_string(i))).c_str(), (tmp_ / ("w/" + name)).c_str()), 0);
    WriteFile(tmp_ / ("w/" + name + "/new"));
    MakeDir(tmp_ / ("w/" + name + "/sub"));
    WriteFile(tmp_ / ("w/" + name + "/sub/deep"));
  }
  WriteFile(tmp_ / "w/end");
  auto changes = watch.CollectUntilName(L"end");
  auto added = CountAdded(changes);
  for (int i = 0; i < 10; ++i) {
    const std::wstring name = W("d" + std::to_string(i));
    EXPECT_EQ(added[name], 1);
    EXPECT_EQ(added[name + L"/new"], 1);
    EXPECT_EQ(added[name + L"/sub"], 1);
    EXPECT_EQ(added[name + L"/sub/deep"], 1);
    EXPECT_EQ(added.count(name + L"/old"), 0u) << "held before the move";
  }
  EXPECT_EQ(changes.size(), 40u);
}

TEST_F(Subtree, SymbolicLinksAreNotFollowed) {
  MakeDir(tmp_ / "target");
  MakeDir(tmp_ / "w");
  ASSERT_EQ(::symlink((tmp_ / "target").c_str(), (tmp_ / "w/existing-link").c_str()), 0);
  Watch watch(tmp_ / "w", true);
  ASSERT_TRUE(watch.Arm());
  ASSERT_EQ(::symlink((tmp_ / "target").c_str(), (tmp_ / "w/new-link").c_str()), 0);
  WriteFile(tmp_ / "target/through-links");
  WriteFile(tmp_ / "w/end");
  EXPECT_EQ(watch.CollectUntilName(L"end"), Expect({{FILE_ACTION_ADDED, L"new-link"}}));
}

TEST_F(Subtree, DeletedSubdirectoriesStopBeingWatched) {
  Watch watch(tmp_.path(), true);
  ASSERT_TRUE(watch.Arm());
  Shell("mkdir -p " + tmp_ / "gone/inner" + " && touch " + tmp_ / "gone/inner/f" + " && rm -r " + tmp_ / "gone");
  MakeDir(tmp_ / "gone");  // the same name again, a new directory
  WriteFile(tmp_ / "gone/again");
  WriteFile(tmp_ / "end");
  auto changes = watch.CollectUntilName(L"end");
  // The race between the kernel's events and the scans may report the new directory's file from either scan, but
  // never loses it, and the tree ends consistent: one watch for the new directory, none for the old.
  auto added = CountAdded(changes);
  EXPECT_GE(added[L"gone/again"], 1);
  EXPECT_EQ(added[L"gone"], 2);
  EXPECT_NE(std::find(changes.begin(), changes.end(), Change{FILE_ACTION_REMOVED, L"gone"}), changes.end());
  WriteFile(tmp_ / "gone/later");
  WriteFile(tmp_ / "end2");
  EXPECT_EQ(watch.CollectUntilName(L"end2"), Expect({{FILE_ACTION_ADDED, L"gone/later"}}));
}

TEST_F(Subtree, TwoSubtreeWatchesShareDirectoriesAndCloseIndependently) {
  MakeDir(tmp_ / "a");
  auto first = std::make_unique<Watch>(tmp_.path(), true);
  Watch inner(tmp_ / "a", true);
  ASSERT_TRUE(first->Arm());
  ASSERT_TRUE(inner.Arm());
  MakeDir(tmp_ / "a/b");
  WriteFile(tmp_ / "a/b/f");
  WriteFile(tmp_ / "a/end");
  EXPECT_EQ(first->CollectUntilName(L"a/end"), Expect({{FILE_ACTION_ADDED, L"a/b"}, {FILE_ACTION_ADDED, L"a/b/f"}}));
  EXPECT_EQ(inner.CollectUntilName(L"end"), Expect({{FILE_ACTION_ADDED, L"b"}, {FILE_ACTION_ADDED, L"b/f"}}));
  first.reset();  // releases its references to the shared kernel watches
  WriteFile(tmp_ / "a/b/g");
  WriteFile(tmp_ / "a/end2");
  EXPECT_EQ(inner.CollectUntilName(L"end2"), Expect({{FILE_ACTION_ADDED, L"b/g"}}));
}

}  // namespace
}  // namespace platform_test
