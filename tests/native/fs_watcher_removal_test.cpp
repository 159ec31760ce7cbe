// Removal of watches and the lifetime of their records: cancelled reads, handle-value reuse, removals that no
// worker serves, lost changes and failed completions.
#include "fs_watcher_fixture.h"

namespace {

using namespace watcher_test;
using records::Recorder;

class Removal : public WatcherTest, public ::testing::WithParamInterface<DWORD> {
 protected:
  void SetUp() override {
    WatcherTest::SetUp();
    // Closing a directory completes its outstanding read with 0 bytes, or as a failed I/O (as on Windows).
    seam::SetCancelledReadError(GetParam());
  }
};

TEST_P(Removal, ARemovedWatchIsClosedAndReleasedAfterItsCancelledRead) {
  ASSERT_TRUE(W().Start());
  const auto dir = MakeDir("d");
  Recorder recorder;
  const auto id = Watch(dir, recorder);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  W().RemoveWatch(id);
  ASSERT_TRUE(WaitFor([&] { return W().WatchCount() == 0 && W().InFlightCount() == 0; }));
  EXPECT_EQ(seam::OutstandingReads(), 0u);
  EXPECT_EQ(seam::OpenHandles(), handles_before_ + 1);  // the port alone
  // A second removal and an unknown id do nothing.
  W().RemoveWatch(id);
  W().RemoveWatch(0xDEAD);
  Touch(dir / "after");
  const auto probe = Watch(MakeDir("probe"), recorder);
  ASSERT_NE(probe, 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  Touch(root_ / "probe" / "p");
  ASSERT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::CREATE, root_ / "probe" / "p"); }));
  EXPECT_FALSE(Saw(recorder, FsWatchAction::CREATE, dir / "after"));
  EXPECT_TRUE(Logged("FsWatch").empty());  // a cancelled read of a removed watch is not an error
  W().Stop();
}

TEST_P(Removal, AWatchRemovedBeforeItsKickIsNeverRead) {
  ASSERT_TRUE(W().Start());
  Gate gate;
  const auto holder = MakeDir("holder");
  ASSERT_NE(Watch(holder, [&](std::uint64_t, FsWatchAction, std::wstring_view, std::wstring_view) { gate.Block(); }), 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  Touch(holder / "block");
  ASSERT_TRUE(gate.WaitUntilBlocked());
  // The worker is held in a handler: the kick and the removal queue up behind it.
  Recorder recorder;
  const auto id = Watch(MakeDir("d"), recorder);
  ASSERT_NE(id, 0u);
  W().RemoveWatch(id);
  gate.Open();
  ASSERT_TRUE(WaitFor([&] { return W().WatchCount() == 1 && seam::QueuedPackets() == 0; }));
  // The holder's re-armed read only (re-armed after its handler returns, so waited for).
  EXPECT_TRUE(WaitFor([&] { return seam::OutstandingReads() == 1 && W().InFlightCount() == 1; }));
  W().Stop();
}

TEST_P(Removal, AReusedHandleValueNeverReceivesTheOldWatchsCompletion) {
  ASSERT_TRUE(W().Start());
  const auto old_dir = MakeDir("old"), trigger_dir = MakeDir("trigger"), holder = MakeDir("holder"),
             new_dir = MakeDir("new");
  Recorder old_recorder, new_recorder;
  Gate gate;
  std::atomic<std::uint64_t> new_id{0};
  const auto old_id = Watch(old_dir, old_recorder);
  ASSERT_NE(Watch(holder, [&](std::uint64_t, FsWatchAction, std::wstring_view, std::wstring_view) { gate.Block(); }), 0u);
  // Served while the old watch is closed but its cancelled read not yet dequeued: the new watch is made then,
  // on the worker, and gets the old watch's handle value.
  ASSERT_NE(Watch(trigger_dir, [&](std::uint64_t, FsWatchAction, std::wstring_view, std::wstring_view) {
              if (new_id.load() != 0) return;
              seam::ReuseHandleValue(reinterpret_cast<HANDLE>(old_id));
              new_id = W().WatchDir(new_dir.wstring(), {{L"*", 0}}, 30, false, new_recorder.Handler());
            }), 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 3; }));
  Touch(holder / "block");
  ASSERT_TRUE(gate.WaitUntilBlocked());
  W().RemoveWatch(old_id);                      // queued: removal of the old watch
  Touch(trigger_dir / "go");                    // queued behind it: the trigger's completion
  ASSERT_TRUE(WaitFor([] { return seam::QueuedPackets() >= 2; }));
  gate.Open();
  ASSERT_TRUE(WaitFor([&] { return new_id.load() != 0; }));
  EXPECT_EQ(new_id.load(), old_id);
  // The new watch got its own first read and reports under the reused id.
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 3; }));
  Touch(new_dir / "fresh");
  ASSERT_TRUE(WaitFor([&] { return Saw(new_recorder, FsWatchAction::CREATE, new_dir / "fresh"); }));
  EXPECT_EQ(new_recorder.Events().front().id, old_id);
  EXPECT_TRUE(old_recorder.Events().empty());
  EXPECT_EQ(W().WatchCount(), 3u);
  // The old record is gone from the reads in flight (each read is re-armed after its handler returns).
  EXPECT_TRUE(WaitFor([&] { return W().InFlightCount() == 3; }));
  EXPECT_TRUE(Logged("FsWatch").empty());
  W().Stop();
}

TEST_P(Removal, RemovalWithoutAWorkerClosesAtOnceAndStopFinishesPendingOnes) {
  const auto dir = MakeDir("d");
  Recorder recorder;
  ASSERT_TRUE(W().Start());
  const auto kept = Watch(dir, recorder), removed_while_stopping = Watch(dir, recorder);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 2; }));
  W().Stop();
  // No worker: the watch is closed by the call itself; its read is ended by the close.
  W().RemoveWatch(kept);
  EXPECT_EQ(W().WatchCount(), 1u);
  EXPECT_EQ(seam::OutstandingReads(), 1u);
  // A removal asked for while the worker is stopping (from its own handler) is carried out by the Stop that joins.
  ASSERT_TRUE(W().Start());
  std::atomic<bool> asked{false};
  const auto stopper = Watch(MakeDir("s"), [&](std::uint64_t, FsWatchAction, std::wstring_view, std::wstring_view) {
    try {
      W().Stop();
    } catch (const std::system_error&) {
    }
    W().RemoveWatch(removed_while_stopping);  // posted behind the wake-up: this worker never serves it
    asked = true;
  });
  ASSERT_NE(stopper, 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 2; }));
  Touch(root_ / "s" / "x");
  ASSERT_TRUE(WaitFor([&] { return asked.load(); }));
  W().Stop();
  EXPECT_EQ(W().WatchCount(), 1u);  // the stopper's watch
  W().RemoveWatch(stopper);
  EXPECT_EQ(W().WatchCount(), 0u);
  EXPECT_EQ(seam::OpenHandles(), handles_before_);
}

INSTANTIATE_TEST_SUITE_P(CancelledReads, Removal, ::testing::Values(ERROR_SUCCESS, ERROR_OPERATION_ABORTED),
                         [](const auto& info) { return info.param == ERROR_SUCCESS ? "ZeroBytes" : "Aborted"; });

// A 0-byte read, and a read that failed because the changes did not fit (Windows' ERROR_NOTIFY_ENUM_DIR, and
// ERROR_NOTIFY_CLEANUP), are one loss: one warning, and the watch reports again.
class Loss : public WatcherTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(Loss, LostChangesReArmTheWatchAndWarnOnce) {
  ASSERT_TRUE(W().Start());
  const auto dir = MakeDir("d");
  Recorder recorder;
  const auto id = Watch(dir, recorder);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  ASSERT_TRUE(seam::CompleteRead(reinterpret_cast<HANDLE>(id), GetParam()));
  ASSERT_TRUE(WaitFor([&] { return Logged("FsWatch: changes lost").size() == 1; }));
  const auto line = Logged("FsWatch: changes lost").front();
  EXPECT_EQ(line.level, spdlog::level::warn);
  EXPECT_NE(line.text.find(dir.string()), std::string::npos);
  // Still reporting.
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  Touch(dir / "after");
  EXPECT_TRUE(WaitFor([&] { return Saw(recorder, FsWatchAction::CREATE, dir / "after"); }));
  EXPECT_EQ(Logged("FsWatch").size(), 1u);
  W().Stop();
}

INSTANTIATE_TEST_SUITE_P(Completions, Loss, ::testing::Values(ERROR_SUCCESS, ERROR_NOTIFY_ENUM_DIR, ERROR_NOTIFY_CLEANUP),
                         [](const auto& info) {
                           return info.param == ERROR_SUCCESS ? std::string("ZeroBytes") : "Error" + std::to_string(info.param);
                         });

TEST_F(WatcherTest, ABurstLargerThanTheBufferWhileTheHandlerRunsIsOneLossAsOnWindows) {
  seam::SetWindowsBacklog(true);  // between reads only what one buffer holds, as Windows keeps
  ASSERT_TRUE(W().Start());
  const auto dir = MakeDir("d");
  Recorder recorder;
  Gate gate;
  std::atomic<bool> held{false};
  auto record = recorder.Handler();
  ASSERT_NE(Watch(dir, [&](std::uint64_t id, FsWatchAction action, std::wstring_view path, std::wstring_view old) {
              record(id, action, path, old);
              if (!held.exchange(true)) gate.Block();
            }),
            0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  Touch(dir / "first");
  ASSERT_TRUE(gate.WaitUntilBlocked());
  // About twice what a 64 KiB buffer holds with 4-byte characters.
  for (int i = 0; i < 1500; ++i) std::ofstream(dir / ("burst-" + std::to_string(100000 + i)));
  gate.Open();
  ASSERT_TRUE(WaitFor([&] { return Logged("FsWatch: changes lost").size() == 1; }));
  int attempt = 0;
  EXPECT_TRUE(WaitFor([&] {
    const auto probe = dir / ("after-" + std::to_string(++attempt));
    Touch(probe);
    return WaitFor([&] { return Saw(recorder, FsWatchAction::CREATE, probe); }, std::chrono::milliseconds(50));
  }));
  EXPECT_EQ(Logged("FsWatch: changes lost").size(), 1u);
  W().Stop();
}

TEST_F(WatcherTest, RemovingAWatchAfterAStopReleasesItsRead) {
  const auto dir = MakeDir("d");
  Recorder recorder;
  for (int cycle = 0; cycle < 5; ++cycle) {
    ASSERT_TRUE(W().Start());
    const auto id = Watch(dir, recorder);
    ASSERT_TRUE(WaitFor([&] { return W().InFlightCount() == 1; }));
    W().Stop();
    // The read went to a port that is closed now: closing the directory ends it, and nothing waits for it.
    W().RemoveWatch(id);
    EXPECT_EQ(W().InFlightCount(), 0u) << cycle;
    EXPECT_EQ(W().WatchCount(), 0u);
  }
  EXPECT_EQ(seam::OutstandingReads(), 0u);
}

TEST_F(WatcherTest, ARemovalOnAnotherThreadReturnsOnlyWhenNoFurtherEventCanArrive) {
  ASSERT_TRUE(W().Start());
  const auto dir = MakeDir("d");
  Gate gate;
  std::atomic<int> calls{0};
  const auto id = Watch(dir, [&](std::uint64_t, FsWatchAction, std::wstring_view, std::wstring_view) {
    if (++calls == 1) gate.Block();
  });
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  // Many records in one read: the handler holds the walk at the first of them.
  for (int i = 0; i < 50; ++i) Touch(dir / ("f" + std::to_string(i)));
  ASSERT_TRUE(gate.WaitUntilBlocked());
  std::atomic<bool> returned{false};
  std::atomic<int> calls_at_return{-1};
  std::thread remover([&] {
    W().RemoveWatch(id);
    calls_at_return = calls.load();
    returned = true;
  });
  // The removal waits for the handler call in progress (not timed: only gives it the chance to be in there).
  WaitFor([&] { return returned.load(); }, std::chrono::milliseconds(200));
  gate.Open();
  remover.join();
  ASSERT_TRUE(WaitFor([&] { return W().WatchCount() == 0 && W().InFlightCount() == 0; }));
  EXPECT_EQ(calls.load(), calls_at_return.load());
  EXPECT_EQ(calls.load(), 1);
  W().Stop();
}

TEST_F(WatcherTest, ARemovalFromInsideTheHandlerDropsTheRestOfTheBuffer) {
  ASSERT_TRUE(W().Start());
  const auto dir = MakeDir("d");
  Gate gate;
  std::atomic<int> calls{0};
  std::atomic<std::uint64_t> self{0};
  self = Watch(dir, [&](std::uint64_t, FsWatchAction, std::wstring_view, std::wstring_view) {
    if (++calls == 1) {
      gate.Block();
      W().RemoveWatch(self);
    }
  });
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
  Touch(dir / "first");
  ASSERT_TRUE(gate.WaitUntilBlocked());
  // Arrive while the first handler call runs; on Linux they wait for the next read, so a hold of the read's
  // completion is not needed: the removal ends the watch before any of them is reported.
  for (int i = 0; i < 20; ++i) Touch(dir / ("f" + std::to_string(i)));
  gate.Open();
  ASSERT_TRUE(WaitFor([&] { return W().WatchCount() == 0 && W().InFlightCount() == 0; }));
  EXPECT_EQ(calls.load(), 1);
  W().Stop();
}

// A read that fails (scripted, or the directory deleted): one error line, then the watch stays silent, also when
// the directory comes back, until its removal closes it, exactly once.
TEST_F(WatcherTest, AFailedReadLogsOnceAndLeavesTheWatchSilentUntilRemoved) {
  for (const bool deleted : {false, true}) {
    SCOPED_TRACE(deleted ? "deleted" : "scripted");
    sink_->Clear();
    ASSERT_TRUE(W().Start());
    const auto dir = MakeDir(deleted ? "doomed" : "d");
    Recorder recorder;
    const auto id = Watch(dir, recorder);
    ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 1; }));
    if (deleted) {
      std::filesystem::remove_all(dir);
    } else {
      ASSERT_TRUE(seam::CompleteRead(reinterpret_cast<HANDLE>(id), ERROR_ACCESS_DENIED));
    }
    ASSERT_TRUE(WaitFor([&] { return Logged("FsWatch: waiting for changes failed").size() == 1; }));
    const auto line = Logged("FsWatch: waiting for changes failed").front();
    EXPECT_EQ(line.text, "FsWatch: waiting for changes failed on directory " + dir.string() + ", error=5");
    EXPECT_EQ(line.level, spdlog::level::err);
    EXPECT_EQ(line.function, "FsWatcher::executeOnce");
    EXPECT_EQ(seam::OutstandingReads(), 0u);
    EXPECT_TRUE(WaitFor([&] { return W().InFlightCount() == 0; }));
    if (deleted) MakeDir("doomed");
    Touch(dir / "unseen");
    W().RemoveWatch(id);
    ASSERT_TRUE(WaitFor([&] { return W().WatchCount() == 0; }));
    EXPECT_EQ(seam::OpenHandles(), handles_before_ + 1);
    EXPECT_TRUE(recorder.Events().empty());
    EXPECT_EQ(Logged("FsWatch").size(), 1u);
    W().Stop();
  }
}

TEST_F(WatcherTest, DestroyingAWatcherClosesEverything) {
  ASSERT_TRUE(W().Start());
  Recorder recorder;
  for (const char* name : {"a", "b", "c"}) ASSERT_NE(Watch(MakeDir(name), recorder), 0u);
  ASSERT_TRUE(WaitFor([] { return seam::OutstandingReads() == 3; }));
  // TearDown destroys the watcher and checks that no handle, port or read is left.
}

}  // namespace
