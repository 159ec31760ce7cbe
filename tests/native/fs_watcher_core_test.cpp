// The watcher on real directories: start and stop, registration, events end to end, calls from inside a handler.
#include <system_error>

#include "fs_watcher_fixture.h"

namespace {

using namespace watcher_test;
using records::Event;
using records::Recorder;

TEST(NotifyFilter, ActionMaskTable) {
  struct Row {
    std::uint32_t actions;
    DWORD plain, file_only;
  };
  for (const Row& row : {Row{1, 0, 0}, Row{32, 0, 0}, Row{0, 0, 0}, Row{0xFFFFFFE1u, 0, 0}, Row{2, 0x10, 0x10},
                         Row{34, 0x10, 0x10}, Row{4, 0x03, 0x01}, Row{8, 0x03, 0x01}, Row{16, 0x03, 0x01},
                         Row{28, 0x03, 0x01}, Row{30, 0x13, 0x11}, Row{6, 0x13, 0x11}, Row{0xFFFFFFFFu, 0x13, 0x11}}) {
    EXPECT_EQ(FsWatcher::NotifyFilterFor(row.actions, false), row.plain) << row.actions;
    EXPECT_EQ(FsWatcher::NotifyFilterFor(row.actions, true), row.file_only) << row.actions;
  }
}

TEST_F(WatcherTest, StartAndStopFollowTheirRules) {
  W().Stop();  // before any start: nothing
  EXPECT_EQ(seam::LivePorts(), ports_before_);
  ASSERT_TRUE(W().Start());
  EXPECT_EQ(seam::LivePorts(), ports_before_ + 1);
  EXPECT_FALSE(W().Start());  // a worker is held: creates nothing
  EXPECT_EQ(seam::LivePorts(), ports_before_ + 1);
  W().Stop();
  W().Stop();
  EXPECT_EQ(seam::LivePorts(), ports_before_);
  // No port can be made: false, and nothing is held.
  seam::FailNext("CreateIoCompletionPort", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(W().Start());
  ASSERT_TRUE(W().Start());
  W().Stop();
}

TEST_F(WatcherTest, RequestsThatNameNoActionOrNoDirectoryOpenNothing) {
  ASSERT_TRUE(W().Start());
  Recorder recorder;
  const auto dir = MakeDir("d");
  const std::size_t open = seam::OpenHandles();
  EXPECT_EQ(Watch(dir, recorder, {{L"*", 0}}, 1), 0u);
  EXPECT_EQ(Watch(dir, recorder, {{L"*", 0}}, 32), 0u);
  EXPECT_EQ(Watch(dir, recorder, {{L"*", 0}}, 0), 0u);
  EXPECT_EQ(W().WatchDir(L"", {}, 30, false, recorder.Handler()), 0u);
  EXPECT_EQ(W().WatchDir(dir.wstring() + std::wstring(1, L'\0') + L"x", {}, 30, false, recorder.Handler()), 0u);
  EXPECT_EQ(seam::OpenHandles(), open);
  EXPECT_TRUE(sink_->Lines().empty());
  // MODIFY plus an unnamed bit is a watch for last-write changes.
  EXPECT_NE(Watch(dir, recorder, {{L"*", 0}}, 34), 0u);
  W().Stop();
}

TEST_F(WatcherTest, AWatchWithoutARunningWorkerIsRefused) {
  Recorder recorder;
  const auto dir = MakeDir("d");
  EXPECT_EQ(Watch(dir, recorder), 0u);  // before Start
  ASSERT_TRUE(W().Start());
  W().Stop();
  EXPECT_EQ(Watch(dir, recorder), 0u);  // after Stop
  EXPECT_EQ(seam::OpenHandles(), handles_before_);
  EXPECT_EQ(W().WatchCount(), 0u);
}

TEST_F(WatcherTest, ChangesArriveWithFullPathsAndTheWatchId) {
  ASSERT_TRUE(W().Start());
  const auto dir = MakeDir("d");
  Recorder recorder;
  const std::uint64_t id = Watch(dir, recorder, {{L"*.txt", 0}});
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  Touch(dir / "a.txt");
  Touch(dir / "skip.tmp");
  ASSERT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::CREATE, dir / "a.txt"); }));
  std::filesystem::rename(dir / "a.txt", dir / "b.txt");
  ASSERT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::RENAME, dir / "b.txt"); }));
  std::filesystem::remove(dir / "b.txt");
  ASSERT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::DELETE, dir / "b.txt"); }));
  for (const Event& e : recorder.Events()) {
    EXPECT_EQ(e.id, id);
    EXPECT_EQ(e.path.find(L"skip.tmp"), std::wstring::npos);
    if (e.action == FsWatchAction::RENAME) {
      EXPECT_EQ(e.old_path, (dir / "a.txt").wstring());
    } else {
      EXPECT_TRUE(e.old_path.empty());
    }
  }
  // Each completion was followed by one new read, never a second one beside it.
  EXPECT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  EXPECT_TRUE(Logged("FsWatch").empty());
  // A mask of CREATE alone still reports deletions: the mask only chooses what is asked of the system.
  Recorder create_only;
  ASSERT_NE(Watch(dir, create_only, {{L"*", 0}}, 4), 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 2; }));
  Touch(dir / "c");
  std::filesystem::remove(dir / "c");
  EXPECT_TRUE(WaitFor([&] { return Saw(create_only, FsWatchAction::DELETE, dir / "c"); }));
  W().Stop();
}

TEST_F(WatcherTest, TheNotifyFilterReachesTheSystem) {
  ASSERT_TRUE(W().Start());
  const auto dir = MakeDir("d");
  Recorder modify_only, names_only;
  ASSERT_NE(Watch(dir, modify_only, {{L"*", 0}}, 2), 0u);
  ASSERT_NE(Watch(dir, names_only, {{L"*", 0}}, 4, /*file_only=*/true), 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 2; }));
  std::filesystem::create_directory(dir / "subdir");
  Touch(dir / "f", "");
  Touch(dir / "f", "more");
  ASSERT_TRUE(WaitFor([&] { return Saw(modify_only, FsWatchAction::MODIFY, dir / "f"); }));
  ASSERT_TRUE(WaitFor([&] { return Saw(names_only, FsWatchAction::CREATE, dir / "f"); }));
  for (const auto& e : modify_only.Events()) EXPECT_EQ(e.action, FsWatchAction::MODIFY);
  for (const auto& e : names_only.Events()) {
    EXPECT_NE(e.action, FsWatchAction::MODIFY);
    EXPECT_NE(e.path, (dir / "subdir").wstring());
  }
  W().Stop();
}

TEST_F(WatcherTest, TwoWatchesOnOneDirectoryEachReportOnce) {
  ASSERT_TRUE(W().Start());
  const auto dir = MakeDir("d");
  Recorder first, second;
  const auto id1 = Watch(dir, first), id2 = Watch(dir, second);
  ASSERT_NE(id1, 0u);
  ASSERT_NE(id2, 0u);
  EXPECT_NE(id1, id2);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 2; }));
  Touch(dir / "f");
  ASSERT_TRUE(WaitFor([&] { return Saw(first, FsWatchAction::CREATE, dir / "f") && Saw(second, FsWatchAction::CREATE, dir / "f"); }));
  // Let any duplicate arrive before counting.
  Touch(dir / "marker");
  ASSERT_TRUE(WaitFor([&] { return Saw(first, FsWatchAction::CREATE, dir / "marker") && Saw(second, FsWatchAction::CREATE, dir / "marker"); }));
  for (auto* recorder : {&first, &second}) {
    int creates = 0;
    for (const auto& e : recorder->Events()) creates += e.action == FsWatchAction::CREATE && e.path == (dir / "f").wstring();
    EXPECT_EQ(creates, 1);
  }
  W().Stop();
}

TEST_F(WatcherTest, DepthAndFileOnlyShapeWhatIsWatched) {
  ASSERT_TRUE(W().Start());
  const auto dir = MakeDir("d");
  MakeDir("d/sub");
  Recorder flat, deep, files;
  ASSERT_NE(Watch(dir, flat, {{L"*", 0}}), 0u);
  ASSERT_NE(Watch(dir, deep, {{L"*", 1}}), 0u);
  ASSERT_NE(Watch(dir, files, {{L"*", -1}}, 30, /*file_only=*/true), 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 3; }));
  Touch(dir / "sub" / "inner");
  std::filesystem::create_directory(dir / "newdir");
  Touch(dir / "top");
  ASSERT_TRUE(WaitFor([&] { return Saw(flat, FsWatchAction::CREATE, dir / "top") && Saw(files, FsWatchAction::CREATE, dir / "top"); }));
  ASSERT_TRUE(WaitFor([&] { return Saw(deep, FsWatchAction::CREATE, dir / "sub" / "inner"); }));
  EXPECT_FALSE(Saw(flat, FsWatchAction::CREATE, dir / "sub" / "inner"));  // subtree not watched
  EXPECT_TRUE(Saw(flat, FsWatchAction::CREATE, dir / "newdir"));
  EXPECT_FALSE(Saw(deep, FsWatchAction::CREATE, dir / "top"));            // depth 1 only
  EXPECT_TRUE(Saw(files, FsWatchAction::CREATE, dir / "sub" / "inner"));  // depth -1: every level
  EXPECT_FALSE(Saw(files, FsWatchAction::CREATE, dir / "newdir"));        // not a file
  W().Stop();
}

TEST_F(WatcherTest, StopKeepsWatchesOpenAndSilentAndANewStartServesNewWatches) {
  ASSERT_TRUE(W().Start());
  const auto dir = MakeDir("d");
  Recorder old_recorder, new_recorder;
  const auto old_id = Watch(dir, old_recorder);
  ASSERT_NE(old_id, 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  W().Stop();
  EXPECT_EQ(W().WatchCount(), 1u);
  EXPECT_EQ(seam::OpenHandles(), handles_before_ + 1);  // the directory, still open
  ASSERT_TRUE(W().Start());
  const auto new_id = Watch(dir, new_recorder);
  ASSERT_NE(new_id, 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 2; }));
  Touch(dir / "after");
  ASSERT_TRUE(WaitFor([&] { return Saw(new_recorder, FsWatchAction::CREATE, dir / "after"); }));
  EXPECT_TRUE(old_recorder.Events().empty());
  // The old watch is still removed by the new worker.
  W().RemoveWatch(old_id);
  ASSERT_TRUE(WaitFor([&] { return W().WatchCount() == 1; }));
  EXPECT_EQ(seam::OpenHandles(), handles_before_ + 2);  // new port and the new watch's directory
  W().Stop();
}

TEST_F(WatcherTest, WatcherCallsFromInsideAHandlerNeitherHangNorDisturbThePacket) {
  ASSERT_TRUE(W().Start());
  const auto dir = MakeDir("d");
  const auto other = MakeDir("other");
  Recorder other_recorder;
  std::atomic<int> calls{0};
  bool start_result = true;
  std::uint64_t added = 0;
  std::atomic<std::uint64_t> self{0};  // read on the worker; the file system is no synchronisation TSan sees
  self = Watch(dir, [&](std::uint64_t, FsWatchAction action, std::wstring_view path, std::wstring_view) {
    if (path != (dir / "go").wstring() || action != FsWatchAction::CREATE) return;
    start_result = W().Start();
    added = W().WatchDir(other.wstring(), {{L"*", 0}}, 30, false, other_recorder.Handler());
    W().RemoveWatch(self);
    ++calls;
  });
  ASSERT_NE(self.load(), 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  Touch(dir / "go");
  ASSERT_TRUE(WaitFor([&] { return calls.load() == 1; }));
  EXPECT_FALSE(start_result);
  ASSERT_NE(added, 0u);
  ASSERT_TRUE(WaitFor([&] { return W().WatchCount() == 1; }));  // the handler removed its own watch
  // The added watch records from its first read on, which the worker arms a moment after the handler returns.
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  Touch(other / "seen");
  ASSERT_TRUE(WaitFor([&] { return Saw(other_recorder, FsWatchAction::CREATE, other / "seen"); }));

  // Stop from inside a handler: it throws, the worker leaves its loop, and a Stop elsewhere joins it.
  std::atomic<bool> stop_threw{false};
  const auto third = MakeDir("third");
  ASSERT_NE(Watch(third, [&](std::uint64_t, FsWatchAction, std::wstring_view, std::wstring_view) {
              try {
                W().Stop();
              } catch (const std::system_error& e) {
                stop_threw = e.code() == std::errc::resource_deadlock_would_occur;
              }
            }), 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 2; }));
  Touch(third / "stop");
  ASSERT_TRUE(WaitFor([&] { return stop_threw.load(); }));
  // A start elsewhere joins the worker that left its loop and serves again; so does a stop.
  ASSERT_TRUE(W().Start());
  const auto fourth = MakeDir("fourth");
  Recorder fourth_recorder;
  ASSERT_NE(Watch(fourth, fourth_recorder), 0u);
  // Its first read is armed a moment after WatchDir returns: touched until one arrives.
  int attempt = 0;
  const bool served = WaitFor([&] {
    const auto probe = fourth / ("served-" + std::to_string(++attempt));
    Touch(probe);
    return WaitFor([&] { return Saw(fourth_recorder, FsWatchAction::CREATE, probe); }, std::chrono::milliseconds(50));
  });
  if (!served) W().Stop();  // before the recorder goes
  ASSERT_TRUE(served);
  W().Stop();
  EXPECT_EQ(seam::LivePorts(), ports_before_ + 2);  // the old port objects live on through the open watches
  ASSERT_TRUE(W().Start());
  W().Stop();
}

TEST_F(WatcherTest, AWatchWhoseKickCannotBePostedIsRefusedAndClosed) {
  ASSERT_TRUE(W().Start());
  const auto dir = MakeDir("d");
  Recorder recorder;
  seam::FailNext("PostQueuedCompletionStatus", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Watch(dir, recorder), 0u);
  EXPECT_EQ(W().WatchCount(), 0u);
  EXPECT_EQ(seam::OpenHandles(), handles_before_ + 1);  // the port alone
  W().Stop();
}

TEST_F(WatcherTest, ARecordOfALongRelativePathFitsTheBuffer) {
  // Five levels of 200 characters: a relative name of over a thousand characters, more than a 3,848-byte
  // buffer holds with 4-byte characters.
  std::filesystem::path deep = root_ / "w";
  for (char c : std::string("abcde")) deep /= std::string(200, c);
  std::filesystem::create_directories(deep);
  ASSERT_TRUE(W().Start());
  Recorder recorder;
  ASSERT_NE(Watch(root_ / "w", recorder, {{L"*", -1}}), 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  Touch(deep / "file");
  EXPECT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::CREATE, deep / "file"); }));
  EXPECT_TRUE(Logged("FsWatch").empty());
  W().Stop();
}

TEST_F(WatcherTest, StopDoesNotHangWhenTheWakeUpCannotBePosted) {
  ASSERT_TRUE(W().Start());
  seam::FailNext("PostQueuedCompletionStatus", ERROR_NOT_ENOUGH_MEMORY);
  W().Stop();
  ASSERT_TRUE(W().Start());
  const auto dir = MakeDir("d");
  Recorder recorder;
  ASSERT_NE(Watch(dir, recorder), 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  Touch(dir / "f");
  EXPECT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::CREATE, dir / "f"); }));
  W().Stop();  // before the recorder goes
}

}  // namespace
