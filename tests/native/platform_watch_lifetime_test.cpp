// The end of reads and watches: closing with a read outstanding, handle values given out again, deleted
// directories, lost changes, and what the seam scripts.
#include "platform_test_support.h"

namespace platform_test {
namespace {

using WatchLifetime = PlatformTest;
namespace seam = quorvel::platform::seam;

constexpr ULONG_PTR kStatusNotifyCleanup = 0x10B;
constexpr ULONG_PTR kStatusNotifyEnumDir = 0x10C;

TEST_F(WatchLifetime, ClosingWithAReadOutstandingCompletesItWithZeroBytes) {
  Watch watch(tmp_.path());
  ASSERT_TRUE(watch.Read());
  const ULONG_PTR key = watch.Key();
  ASSERT_TRUE(CloseHandle(watch.dir()));
  watch.Detach();
  Completion c = Dequeue(watch.port());
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 0u);
  EXPECT_EQ(c.key, key);
  EXPECT_EQ(c.overlapped, watch.overlapped());
  EXPECT_EQ(watch.overlapped()->Internal, kStatusNotifyCleanup);
  EXPECT_EQ(watch.overlapped()->InternalHigh, 0u);
  EXPECT_EQ(seam::OutstandingReads(), 0u);
  EXPECT_EQ(Dequeue(watch.port(), 0).error, static_cast<DWORD>(WAIT_TIMEOUT)) << "exactly one completion";
}

TEST_F(WatchLifetime, TheSeamCanMakeACancelledReadFail) {
  seam::SetCancelledReadError(ERROR_OPERATION_ABORTED);
  Watch watch(tmp_.path());
  ASSERT_TRUE(watch.Read());
  ASSERT_TRUE(FindCloseChangeNotification(watch.dir()));
  watch.Detach();
  Completion c = Dequeue(watch.port());
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.error, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(c.overlapped, watch.overlapped());
  EXPECT_EQ(c.bytes, 0u);
}

TEST_F(WatchLifetime, ClosingWithoutAReadQueuesNothing) {
  Watch watch(tmp_.path());
  ASSERT_TRUE(CloseHandle(watch.dir()));
  watch.Detach();
  EXPECT_EQ(Dequeue(watch.port(), 0).error, static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(WatchLifetime, AReadOnAClosedPortIsDroppedSafely) {
  auto watch = std::make_unique<Watch>(tmp_.path());
  ASSERT_TRUE(watch->Read());
  ASSERT_TRUE(CloseHandle(watch->port()));
  watch->DetachPort();
  WriteFile(tmp_ / "unseen");  // completes the read into a port nobody can read
  // The read completes (or stays outstanding until the close below); either way nothing is left behind.
  HANDLE dir = watch->dir();
  watch->Detach();
  const std::size_t ports = seam::LivePorts();
  ASSERT_TRUE(CloseHandle(dir));
  EXPECT_EQ(seam::LivePorts(), ports - 1) << "the bound directory held the last reference to the port";
}

TEST_F(WatchLifetime, AReusedHandleValueIsNotConfusedWithTheOldRead) {
  MakeDir(tmp_ / "a");
  MakeDir(tmp_ / "b");
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  HANDLE first = OpenDirectory(tmp_ / "a");
  ASSERT_EQ(CreateIoCompletionPort(first, port, reinterpret_cast<ULONG_PTR>(first), 1), port);
  alignas(DWORD) BYTE buffer_a[512], buffer_b[512];
  OVERLAPPED ov_a{}, ov_b{};
  ASSERT_TRUE(ReadDirectoryChangesW(first, buffer_a, sizeof buffer_a, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME, nullptr,
                                    &ov_a, nullptr));
  ASSERT_TRUE(CloseHandle(first));
  seam::ReuseHandleValue(first);
  HANDLE second = OpenDirectory(tmp_ / "b");
  ASSERT_EQ(second, first) << "the same value, as Windows may give";
  ASSERT_EQ(CreateIoCompletionPort(second, port, reinterpret_cast<ULONG_PTR>(second), 1), port);
  ASSERT_TRUE(ReadDirectoryChangesW(second, buffer_b, sizeof buffer_b, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME, nullptr,
                                    &ov_b, nullptr));
  WriteFile(tmp_ / "a/not-watched-any-more");
  WriteFile(tmp_ / "b/new");
  Completion old_read = Dequeue(port);
  EXPECT_TRUE(old_read.ok);
  EXPECT_EQ(old_read.overlapped, &ov_a);
  EXPECT_EQ(old_read.bytes, 0u);
  Completion new_read = Dequeue(port);
  ASSERT_TRUE(new_read.ok);
  EXPECT_EQ(new_read.overlapped, &ov_b);
  EXPECT_EQ(new_read.key, reinterpret_cast<ULONG_PTR>(second));
  EXPECT_EQ(ParseRecords(buffer_b, new_read.bytes), Expect({{FILE_ACTION_ADDED, L"new"}}));
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_TRUE(CloseHandle(port));
}

// Deleted, or replaced by another directory renamed over it: the read ends as a failed I/O and no read is taken.
TEST_F(WatchLifetime, ADirectoryThatGoesEndsItsReadAsAFailedIo) {
  for (const bool replaced : {false, true}) {
    SCOPED_TRACE(replaced ? "replaced by a rename" : "deleted");
    const std::string dir = tmp_ / (replaced ? "replaced" : "deleted"), other = dir + "-other";
    MakeDir(dir);
    MakeDir(other);
    Watch watch(dir);
    ASSERT_TRUE(watch.Read());
    ASSERT_EQ(replaced ? ::rename(other.c_str(), dir.c_str()) : ::rmdir(dir.c_str()), 0);
    Completion c = Dequeue(watch.port());
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, ERROR_ACCESS_DENIED);
    EXPECT_EQ(c.overlapped, watch.overlapped());
    EXPECT_EQ(c.key, watch.Key());
    EXPECT_EQ(c.bytes, 0u);
    SetLastError(0);
    EXPECT_FALSE(watch.Read());
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
}

TEST_F(WatchLifetime, ADirectoryMovedElsewhereAndThenDeletedIsStillSeenGoing) {
  MakeDir(tmp_ / "p1");
  MakeDir(tmp_ / "p2");
  MakeDir(tmp_ / "p1/w");
  Watch watch(tmp_ / "p1/w");
  ASSERT_TRUE(watch.Read());
  ASSERT_EQ(::rename((tmp_ / "p1/w").c_str(), (tmp_ / "p2/renamed").c_str()), 0);
  WriteFile(tmp_ / "p2/renamed/f");  // the handle followed the move
  Completion c = Dequeue(watch.port());
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(ParseRecords(watch.buffer(), c.bytes), Expect({{FILE_ACTION_ADDED, L"f"}}));
  ASSERT_TRUE(watch.Read());
  ASSERT_EQ(::unlink((tmp_ / "p2/renamed/f").c_str()), 0);
  ASSERT_EQ(::rmdir((tmp_ / "p2/renamed").c_str()), 0);
  c = Dequeue(watch.port());
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(ParseRecords(watch.buffer(), c.bytes), Expect({{FILE_ACTION_REMOVED, L"f"}}));
  if (watch.Read()) {
    c = Dequeue(watch.port());
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, ERROR_ACCESS_DENIED);
  } else {
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
}

TEST_F(WatchLifetime, ADeletedDirectoryDeliversItsLastChangesFirst) {
  MakeDir(tmp_ / "doomed");
  MakeDir(tmp_ / "doomed/inner");
  WriteFile(tmp_ / "doomed/f");
  Watch watch(tmp_ / "doomed", true);
  ASSERT_TRUE(watch.Read());
  // Read completed once, then everything goes while no read is outstanding.
  WriteFile(tmp_ / "doomed/g");
  Completion c = Dequeue(watch.port());
  ASSERT_TRUE(c.ok);
  ASSERT_EQ(std::system(("rm -r " + tmp_ / "doomed").c_str()), 0);
  // Records first; then the end, as a failed completion of a read outstanding at the deletion, or as a refused
  // read once the deletion has been seen (which one depends on timing; both carry Windows' code).
  std::vector<Change> all;
  DWORD error = 0;
  for (;;) {
    if (!watch.Read()) {
      error = GetLastError();
      break;
    }
    c = Dequeue(watch.port());
    if (!c.ok) {
      error = c.error;
      EXPECT_EQ(c.overlapped, watch.overlapped());
      break;
    }
    auto got = ParseRecords(watch.buffer(), c.bytes);
    all.insert(all.end(), got.begin(), got.end());
  }
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  std::sort(all.begin(), all.end(), [](const Change& a, const Change& b) { return a.name < b.name; });
  EXPECT_EQ(all, Expect({{FILE_ACTION_REMOVED, L"f"}, {FILE_ACTION_REMOVED, L"g"}, {FILE_ACTION_REMOVED, L"inner"}}));
}

TEST_F(WatchLifetime, TooManyChangesBetweenReadsCompleteTheNextReadWithZeroBytes) {
  Watch watch(tmp_.path());
  Watch probe(tmp_.path());
  ASSERT_TRUE(probe.Arm());
  seam::SetBacklogLimit(5);
  ASSERT_TRUE(watch.Read());
  seam::SetBacklogLimit(0);
  WriteFile(tmp_ / "first");
  ASSERT_TRUE(Dequeue(watch.port()).ok);
  for (int i = 0; i < 10; ++i) WriteFile(tmp_ / ("f" + std::to_string(i)));
  WriteFile(tmp_ / "lost-too");
  probe.CollectUntilName(L"lost-too");
  Completion c = watch.ReadOnce();
  EXPECT_TRUE(c.ok) << "a loss is a successful completion";
  EXPECT_EQ(c.bytes, 0u);
  EXPECT_EQ(c.overlapped, watch.overlapped());
  EXPECT_EQ(watch.overlapped()->Internal, kStatusNotifyEnumDir);
  // Recording goes on after the loss has been reported.
  const auto any = [](const std::vector<Change>& all) { return !all.empty(); };
  EXPECT_TRUE(watch.CollectUntil(any, 1000).empty()) << "the dropped backlog stays dropped";
  WriteFile(tmp_ / "after");
  EXPECT_EQ(watch.CollectUntil(any), Expect({{FILE_ACTION_ADDED, L"after"}}));
}

TEST_F(WatchLifetime, AKernelQueueOverflowIsALossForEveryWatch) {
  MakeDir(tmp_ / "a");
  MakeDir(tmp_ / "a/b");
  Watch tree(tmp_.path(), true);
  Watch flat(tmp_ / "a");
  ASSERT_TRUE(tree.Read());
  ASSERT_TRUE(flat.Read());
  WriteFile(tmp_ / "a/before");
  ASSERT_TRUE(Dequeue(tree.port()).ok);
  ASSERT_TRUE(Dequeue(flat.port()).ok);
  WriteFile(tmp_ / "a/b/dropped");
  tree.set_pending(false);
  flat.set_pending(false);
  // Wait until the layer has taken the change in: a third watch sees it.
  Watch probe(tmp_ / "a/b");
  ASSERT_TRUE(probe.Arm());
  WriteFile(tmp_ / "a/b/sync");
  probe.CollectUntilName(L"sync");
  seam::InjectQueueOverflow();
  for (Watch* w : {&tree, &flat}) {
    Completion c = w->ReadOnce();
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_EQ(w->overlapped()->Internal, kStatusNotifyEnumDir);
  }
  // The tree was walked again: every directory still reports, once.
  tree.set_pending(false);
  ASSERT_TRUE(tree.Arm());
  WriteFile(tmp_ / "a/b/after");
  WriteFile(tmp_ / "end");
  EXPECT_EQ(tree.CollectUntilName(L"end"), Expect({{FILE_ACTION_ADDED, L"a/b/after"}}));
}

TEST_F(WatchLifetime, ARecordLargerThanTheWholeBufferIsALoss) {
  Watch watch(tmp_.path(), false, kAllFilters, 16);
  ASSERT_TRUE(watch.Read());
  WriteFile(tmp_ / "a-name-that-cannot-fit");
  Completion c = Dequeue(watch.port());
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 0u);
  ASSERT_TRUE(watch.Read());
  WriteFile(tmp_ / "b");  // 12 + 1 character fits in 16 bytes
  c = Dequeue(watch.port());
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(ParseRecords(watch.buffer(), c.bytes), Expect({{FILE_ACTION_ADDED, L"b"}}));
}

TEST_F(WatchLifetime, TheSeamEndsAnOutstandingRead) {
  Watch watch(tmp_.path());
  EXPECT_FALSE(seam::CompleteRead(watch.dir(), ERROR_SUCCESS)) << "no read outstanding";
  ASSERT_TRUE(watch.Read());
  ASSERT_TRUE(seam::CompleteRead(watch.dir(), ERROR_SUCCESS));
  Completion c = Dequeue(watch.port());
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 0u);
  EXPECT_EQ(c.overlapped, watch.overlapped());
  ASSERT_TRUE(watch.Read());
  ASSERT_TRUE(seam::CompleteRead(watch.dir(), ERROR_NOT_ENOUGH_QUOTA));
  c = Dequeue(watch.port());
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.error, ERROR_NOT_ENOUGH_QUOTA);
  EXPECT_EQ(c.overlapped, watch.overlapped());
  // The watch itself is unharmed.
  ASSERT_TRUE(watch.Read());
  WriteFile(tmp_ / "still");
  c = Dequeue(watch.port());
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(ParseRecords(watch.buffer(), c.bytes), Expect({{FILE_ACTION_ADDED, L"still"}}));
}

TEST_F(WatchLifetime, AnUnboundHandleCompletesIntoItsOverlappedOnly) {
  HANDLE dir = OpenDirectory(tmp_.path());
  alignas(DWORD) BYTE buffer[256];
  OVERLAPPED ov{};
  ASSERT_TRUE(ReadDirectoryChangesW(dir, buffer, sizeof buffer, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME, nullptr, &ov,
                                    nullptr));
  WriteFile(tmp_ / "f");
  // Polled the way HasOverlappedIoCompleted does: Internal leaves STATUS_PENDING last.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  std::atomic_ref<ULONG_PTR> status(ov.Internal);
  while (status.load(std::memory_order_acquire) == 0x103 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(status.load(std::memory_order_acquire), 0u);
  EXPECT_EQ(seam::OutstandingReads(), 0u);
  EXPECT_EQ(ParseRecords(buffer, static_cast<DWORD>(ov.InternalHigh)), Expect({{FILE_ACTION_ADDED, L"f"}}));
  EXPECT_TRUE(CloseHandle(dir));
}

}  // namespace
}  // namespace platform_test
