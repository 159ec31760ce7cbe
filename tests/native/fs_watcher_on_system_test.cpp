// The watcher on real directories through the system's own change notification, nothing scripted: the same
// tests run on Linux (our platform layer) and on Windows (the real ReadDirectoryChangesW; under Wine here, see
// scripts/check-windows.sh for what Wine gets wrong). Paths are written with '/' and compared in the host's form.
#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#ifndef _WIN32
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "fs_watcher/fs_watcher.h"
#include "fs_watcher/scope_guard.h"
#include "fs_watcher_records.h"
#include "log_capture.h"
#include "platform/path.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using records::Gate;
using records::Recorder;
using records::WaitFor;
using quorvel::platform::kPathSeparator;

void Touch(const fs::path& file) { std::ofstream(file, std::ios::app) << "x"; }

class OnSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_logger_ = spdlog::default_logger();
    sink_ = std::make_shared<test_support::CaptureSink>();
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("capture", sink_));
    root_ = test_support::MakeTempDir("quorvel-system-");
    ASSERT_TRUE(watcher_->Start());
  }
  void TearDown() override {
    watcher_.reset();
    spdlog::set_default_logger(previous_logger_);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  FsWatcher& W() { return *watcher_; }
  fs::path MakeDir(const std::string& name) {
    fs::create_directories(root_ / name);
    return root_ / name;
  }
  std::uint64_t Watch(const std::wstring& dir, Recorder& recorder, std::vector<WatchFilter> filters = {{L"*", -1}}) {
    filters.push_back({L".probe-*", 0});
    return W().WatchDir(dir, std::move(filters), 30, false, recorder.Handler());
  }
  // The first read is armed by the worker a moment after WatchDir returns: probes are made until one arrives.
  // `base` is the watch's path as passed, when it is not `dir` itself.
  static bool Armed(const fs::path& dir, Recorder& recorder, std::wstring base = {}) {
    if (base.empty()) base = dir.wstring() + kPathSeparator;
    int attempt = 0;
    return WaitFor([&] {
      const std::string name = ".probe-" + std::to_string(100 + ++attempt);  // ten characters
      Touch(dir / name);
      return WaitFor([&] { return Saw(recorder, FsWatchAction::CREATE, base + fs::path(name).wstring()); },
                     std::chrono::milliseconds(100));
    });
  }
  static bool Saw(Recorder& recorder, FsWatchAction action, const std::wstring& path, const std::wstring& old = {}) {
    for (const auto& e : recorder.Events()) {
      if (e.action == action && e.path == path && (old.empty() || e.old_path == old)) return true;
    }
    return false;
  }
  std::size_t Logged(const std::string& prefix) {
    std::size_t count = 0;
    for (const auto& line : sink_->Lines()) count += line.text.rfind(prefix, 0) == 0;
    return count;
  }
  std::size_t LoggedExactly(const std::string& text) {
    std::size_t count = 0;
    for (const auto& line : sink_->Lines()) count += line.text == text;
    return count;
  }

  std::unique_ptr<FsWatcher> watcher_ = std::make_unique<FsWatcher>();
  fs::path root_;
  std::shared_ptr<test_support::CaptureSink> sink_;
  std::shared_ptr<spdlog::logger> previous_logger_;
};

TEST_F(OnSystem, CreationsWritesRenamesAndDeletionsArriveWithFullPaths) {
  const auto dir = MakeDir("d");
  Recorder recorder;
  ASSERT_NE(Watch(dir.wstring(), recorder), 0u);
  ASSERT_TRUE(Armed(dir, recorder));
  // Names of even length here and below: Wine packs records without padding, which ends the walk after an odd
  // one (tested on its own, skipped under Wine).
  Touch(dir / "ab.txt");
  EXPECT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::CREATE, (dir / "ab.txt").wstring()); }));
  Touch(dir / "ab.txt");
  EXPECT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::MODIFY, (dir / "ab.txt").wstring()); }));
  fs::rename(dir / "ab.txt", dir / "cd.txt");
  EXPECT_TRUE(WaitFor([&] {
    return Saw(recorder, FsWatchAction::RENAME, (dir / "cd.txt").wstring(), (dir / "ab.txt").wstring());
  }));
  fs::remove(dir / "cd.txt");
  EXPECT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::DELETE, (dir / "cd.txt").wstring()); }));
  W().Stop();
}

TEST_F(OnSystem, RenamesOfNamesOfAnyLengthArrive) {
  const auto dir = MakeDir("d");
  Recorder recorder;
  ASSERT_NE(Watch(dir.wstring(), recorder), 0u);
  ASSERT_TRUE(Armed(dir, recorder));
  Touch(dir / "a.txt");
  ASSERT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::CREATE, (dir / "a.txt").wstring()); }));
  fs::rename(dir / "a.txt", dir / "b.txt");
  EXPECT_TRUE(WaitFor([&] {
    return Saw(recorder, FsWatchAction::RENAME, (dir / "b.txt").wstring(), (dir / "a.txt").wstring());
  }));
  W().Stop();
}

TEST_F(OnSystem, AFilterWrittenWithSlashesMatchesAtItsDepthAndATrailingSlashJoinsCleanly) {
  const auto dir = MakeDir("t");
  Recorder recorder;
  const std::wstring base = dir.wstring() + L"/";
  ASSERT_NE(Watch(base, recorder, {{L"d1/*.txt", 1}}), 0u);
  ASSERT_TRUE(Armed(dir, recorder, base));
  fs::create_directory(dir / "d1");
  // Relative names of even length (see above): "d1\\abc.txt".
  const std::wstring expected = base + L"d1" + kPathSeparator + L"abc.txt";
  // The new directory's watch (on Linux) is in place a moment after it is made: touched until reported.
  EXPECT_TRUE(WaitFor([&] {
    Touch(dir / "d1" / "abc.txt");
    return WaitFor([&] { return Saw(recorder, FsWatchAction::MODIFY, expected) ||
                                Saw(recorder, FsWatchAction::CREATE, expected); },
                   std::chrono::milliseconds(100));
  }));
  Touch(dir / "ab.txt");  // depth 0: no filter but the probes' takes it
  Touch(dir / "d1" / "abc.tmp");
  Touch(dir / "d1" / "zzz.txt");
  ASSERT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::CREATE, base + L"d1" + kPathSeparator + L"zzz.txt"); }));
  for (const auto& e : recorder.Events()) {
    EXPECT_EQ(e.path.find(std::wstring(L"/") + kPathSeparator), std::wstring::npos);  // one separator at the seam
    EXPECT_EQ(e.path.find(L"abc.tmp"), std::wstring::npos);
    EXPECT_NE(e.path, base + L"ab.txt");
  }
  W().Stop();
}

TEST_F(OnSystem, ChangesInASubdirectoryThatExistedBeforeTheWatchArrive) {
  const auto dir = MakeDir("s");
  fs::create_directories(dir / "old");
  Recorder recorder;
  ASSERT_NE(Watch(dir.wstring(), recorder), 0u);
  ASSERT_TRUE(Armed(dir, recorder));
  Touch(dir / "old" / "ab.txt");
  EXPECT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::CREATE, (dir / "old" / "ab.txt").wstring()); }));
  W().Stop();
}

TEST_F(OnSystem, ARenamedDirectoryReportsItsNewChildrenUnderItsNewName) {
  const auto dir = MakeDir("r");
  fs::create_directories(dir / "before");
  Recorder recorder;
  ASSERT_NE(Watch(dir.wstring(), recorder), 0u);
  ASSERT_TRUE(Armed(dir, recorder));
  fs::rename(dir / "before", dir / "after_");
  ASSERT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::RENAME, (dir / "after_").wstring()); }));
  Touch(dir / "after_" / "ab.txt");
  EXPECT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::CREATE, (dir / "after_" / "ab.txt").wstring()); }));
  W().Stop();
}

TEST_F(OnSystem, DeletingTheWatchedDirectoryEndsItsWatchWithOneErrorLine) {
  const auto dir = MakeDir("doomed");
  Recorder recorder;
  ASSERT_NE(Watch(dir.wstring(), recorder, {{L"*", 0}}), 0u);
  ASSERT_TRUE(Armed(dir, recorder));
  fs::remove_all(dir);
  // The outstanding read fails, or (when the deletion came between two reads) the next one cannot be issued.
  EXPECT_TRUE(WaitFor([&] {
    return Logged("FsWatch: waiting for changes failed on directory") + Logged("FsWatch: ReadDirectoryChanges failed") == 1;
  }));
  W().Stop();
}

TEST_F(OnSystem, AFileSystemUnmountedBeneathTheWatchEndsItWithOneErrorLine) {
#ifdef _WIN32
  GTEST_SKIP() << "unmounting is a Linux scenario";
#elif defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a multi-threaded fork";
#else
  // In a child process of its own mount namespace (as root, or in a new user namespace), so that the unmount
  // touches nothing outside it: 0 passed, 1 failed, 77 no namespace could be made.
  const auto in_child = [this](const fs::path& mount_point) -> int {
    if (::unshare(CLONE_NEWNS) != 0) {
      const uid_t uid = ::getuid();
      const gid_t gid = ::getgid();
      if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return 77;
      std::ofstream("/proc/self/setgroups") << "deny";
      std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
      std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("quorvel-test", mount_point.c_str(), "tmpfs", 0, nullptr) != 0) {
      return 77;
    }
    const fs::path dir = mount_point / "watched";
    fs::create_directory(dir);
    FsWatcher watcher;  // the parent's worker does not exist in this process
    if (!watcher.Start()) return 1;
    Recorder recorder;
    if (watcher.WatchDir(dir.wstring(), {{L"*", 0}, {L".probe-*", 0}}, 30, false, recorder.Handler()) == 0 ||
        !Armed(dir, recorder)) {
      return 1;
    }
    // Lazily, as `umount -l` does: the watch's open handle keeps the file system alive, so the kernel reports
    // nothing for it.
    if (::umount2(mount_point.c_str(), MNT_DETACH) != 0) return 1;
    const std::string line = "FsWatch: waiting for changes failed on directory " + dir.string() + ", error=5";
    const bool ended = WaitFor([&] { return LoggedExactly(line) == 1; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool once = LoggedExactly(line) == 1 && Logged("FsWatch") == 1;
    watcher.Stop();
    if (!ended || !once) std::fprintf(stderr, "ended %d, logged once %d\n", ended, once);
    return ended && once ? 0 : 1;
  };
  const auto mount_point = MakeDir("mnt");
  W().Stop();  // the child needs no worker of the parent's
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) ::_exit(in_child(mount_point));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "neither root nor a user namespace: no mount namespace to test in";
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST_F(OnSystem, ABurstLargerThanTheBufferWhileTheHandlerRunsIsOneLossAndTheWatchRecovers) {
#ifndef _WIN32
  GTEST_SKIP() << "the Linux layer keeps far more between reads than one buffer; its bounded mode needs the seam";
#endif
  const auto dir = MakeDir("burst");
  Recorder recorder;
  Gate gate;
  std::atomic<bool> held{false};
  auto record = recorder.Handler();
  ASSERT_NE(W().WatchDir(dir.wstring(), {{L"*", 0}}, 30, false,
                         [&](std::uint64_t id, FsWatchAction action, std::wstring_view path, std::wstring_view old) {
                           record(id, action, path, old);
                           if (!held.exchange(true)) gate.Block();
                         }),
            0u);
  // However the test ends, the worker is let through and stopped before the locals its handler uses are gone.
  ScopeGuard stop([&] {
    gate.Open();
    W().Stop();
  });
  ASSERT_TRUE(Armed(dir, recorder));
  ASSERT_TRUE(gate.WaitUntilBlocked());
  // About three times what a 64 KiB buffer holds.
  for (int i = 0; i < 4000; ++i) std::ofstream(dir / ("burst-" + std::to_string(100000 + i) + ".txt"));
  gate.Open();
  EXPECT_TRUE(WaitFor([&] { return Logged("FsWatch: changes lost on directory") == 1; }));
  int attempt = 0;
  EXPECT_TRUE(WaitFor([&] {
    const auto probe = dir / ("after-" + std::to_string(10 + ++attempt));
    Touch(probe);
    return WaitFor([&] { return Saw(recorder, FsWatchAction::CREATE, probe.wstring()); }, std::chrono::milliseconds(100));
  }));
  EXPECT_EQ(Logged("FsWatch: changes lost on directory"), 1u);
}

}  // namespace
