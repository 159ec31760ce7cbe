// The watcher's log lines: exact texts, levels, source locations, and one line per failed attempt.
#include "fs_watcher_fixture.h"

namespace {

using namespace watcher_test;
using records::Recorder;

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(WatcherTest, AMissingDirectoryIsLoggedWithThePathAsPassed) {
  ASSERT_TRUE(W().Start());
  Recorder recorder;
  const std::wstring missing = root_.wstring() + L"/missing/../missing \u00E4";
  EXPECT_EQ(W().WatchDir(missing, {{L"*", 0}}, 30, false, recorder.Handler()), 0u);
  const auto lines = Logged("FsWatcher: unable to open directory");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "FsWatcher: unable to open directory " + root_.string() + "/missing/../missing \xC3\xA4");
  EXPECT_EQ(lines[0].level, spdlog::level::err);
  EXPECT_EQ(lines[0].function, "FsWatcher::WatchDir");
  EXPECT_TRUE(EndsWith(lines[0].file, "fs_watcher/fs_watcher.cpp")) << lines[0].file;
  EXPECT_EQ(seam::OpenHandles(), handles_before_ + 1);  // the port alone
  W().Stop();
}

TEST_F(WatcherTest, AFailedBindingIsLoggedAndClosesTheDirectory) {
  ASSERT_TRUE(W().Start());
  Recorder recorder;
  const auto dir = MakeDir("d");
  seam::FailNext("CreateIoCompletionPort", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Watch(dir, recorder), 0u);
  const auto lines = Logged("FsWatcher: unable to associate");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "FsWatcher: unable to associate the handle of directory " + dir.string() + " to an IoPort");
  EXPECT_EQ(lines[0].function, "FsWatcher::WatchDir");
  EXPECT_EQ(seam::OpenHandles(), handles_before_ + 1);
  EXPECT_EQ(W().WatchCount(), 0u);
  W().Stop();
}

TEST_F(WatcherTest, AReadThatCannotBeIssuedLogsOneLinePerAttemptFromLine201) {
  ASSERT_TRUE(W().Start());
  Recorder recorder;
  // A file opens like a directory; its first read fails on the worker.
  Touch(root_ / "plain-file");
  const auto file_id = Watch(root_ / "plain-file", recorder);
  ASSERT_NE(file_id, 0u);
  ASSERT_TRUE(WaitFor([&] { return Logged("FsWatch: ReadDirectoryChanges failed").size() == 1; }));
  auto lines = Logged("FsWatch: ReadDirectoryChanges failed");
  EXPECT_EQ(lines[0].text.rfind("FsWatch: ReadDirectoryChanges failed on directory " + (root_ / "plain-file").string() +
                                    ", error=",
                                0),
            0u);
  EXPECT_EQ(lines[0].level, spdlog::level::err);
  EXPECT_EQ(lines[0].line, 201);
  EXPECT_EQ(lines[0].function, "FsWatcher::executeOnce");
  EXPECT_TRUE(EndsWith(lines[0].file, "fs_watcher/fs_watcher.cpp")) << lines[0].file;

  // A re-arm that fails: the error code as an unsigned decimal, one line, and the watch goes silent.
  const auto dir = MakeDir("d");
  const auto id = Watch(dir, recorder);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  seam::FailNext("ReadDirectoryChangesW", 0xC0000022u);
  Touch(dir / "one");
  ASSERT_TRUE(WaitFor([&] { return Logged("FsWatch: ReadDirectoryChanges failed").size() == 2; }));
  lines = Logged("FsWatch: ReadDirectoryChanges failed");
  EXPECT_EQ(lines[1].text, "FsWatch: ReadDirectoryChanges failed on directory " + dir.string() + ", error=3221225506");
  EXPECT_TRUE(Saw(recorder, FsWatchAction::CREATE, dir / "one"));
  Touch(dir / "two");
  // Each further packet for the watch (here a removal) is one more attempt at most; the removal closes it.
  W().RemoveWatch(id);
  W().RemoveWatch(file_id);
  ASSERT_TRUE(WaitFor([&] { return W().WatchCount() == 0; }));
  EXPECT_FALSE(Saw(recorder, FsWatchAction::CREATE, dir / "two"));
  EXPECT_EQ(Logged("FsWatch: ReadDirectoryChanges failed").size(), 2u);
  W().Stop();
}

}  // namespace
