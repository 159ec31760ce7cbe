// ReadDirectoryChangesW on one directory (no subtree): actions, record layout, changes kept between reads,
// completions on the port, filters, and reads that cannot be issued.
#include <fcntl.h>

#include "platform_test_support.h"

namespace platform_test {
namespace {

using ReadChanges = PlatformTest;
namespace seam = quorvel::platform::seam;

TEST_F(ReadChanges, ReportsCreationWriteDeletionAndRename) {
  Watch watch(tmp_.path());
  ASSERT_TRUE(watch.Arm());
  WriteFile(tmp_ / "a.txt", "");
  WriteFile(tmp_ / "a.txt", "more");
  ASSERT_EQ(::rename((tmp_ / "a.txt").c_str(), (tmp_ / "b.txt").c_str()), 0);
  ASSERT_EQ(::unlink((tmp_ / "b.txt").c_str()), 0);
  MakeDir(tmp_ / "sub");
  ASSERT_EQ(::rename((tmp_ / "sub").c_str(), (tmp_ / "sub2").c_str()), 0);
  ASSERT_EQ(::rmdir((tmp_ / "sub2").c_str()), 0);
  WriteFile(tmp_ / "end");
  EXPECT_EQ(watch.CollectUntilName(L"end"), Expect({
                                                {FILE_ACTION_ADDED, L"a.txt"},
                                                {FILE_ACTION_MODIFIED, L"a.txt"},
                                                {FILE_ACTION_RENAMED_OLD_NAME, L"a.txt"},
                                                {FILE_ACTION_RENAMED_NEW_NAME, L"b.txt"},
                                                {FILE_ACTION_REMOVED, L"b.txt"},
                                                {FILE_ACTION_ADDED, L"sub"},
                                                {FILE_ACTION_RENAMED_OLD_NAME, L"sub"},
                                                {FILE_ACTION_RENAMED_NEW_NAME, L"sub2"},
                                                {FILE_ACTION_REMOVED, L"sub2"},
                                            }));
}

TEST_F(ReadChanges, CompletionCarriesKeyOverlappedAndStatus) {
  Watch watch(tmp_.path());
  ASSERT_TRUE(watch.Read());
  EXPECT_EQ(std::atomic_ref<ULONG_PTR>(watch.overlapped()->Internal).load(), 0x103u)
      << "STATUS_PENDING while outstanding";
  EXPECT_EQ(seam::OutstandingReads(), 1u);
  WriteFile(tmp_ / "f");
  Completion c = Dequeue(watch.port());
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(c.key, watch.Key());
  EXPECT_EQ(c.overlapped, watch.overlapped());
  EXPECT_GT(c.bytes, 0u);
  EXPECT_EQ(watch.overlapped()->Internal, 0u);
  EXPECT_EQ(watch.overlapped()->InternalHigh, c.bytes);
  EXPECT_EQ(seam::OutstandingReads(), 0u);
  EXPECT_EQ(ParseRecords(watch.buffer(), c.bytes), Expect({{FILE_ACTION_ADDED, L"f"}}));
}

TEST_F(ReadChanges, RecordLayoutUsesWideCharactersAndAlignedOffsets) {
  Watch watch(tmp_.path());
  ASSERT_TRUE(watch.Arm());
  const std::string names[] = {"a", "bc", "def", "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"};  // ä € 😀
  for (const auto& name : names) WriteFile(tmp_ / name, "");
  WriteFile(tmp_ / "end", "");
  auto changes = watch.CollectUntilName(L"end");
  ASSERT_EQ(changes.size(), 4u);
  EXPECT_EQ(changes[3].name, std::wstring(L"\u00E4\u20AC\U0001F600"));
  // Byte lengths are code units times sizeof(WCHAR).
  ASSERT_TRUE(watch.Read());
  WriteFile(tmp_ / "xyz", "");
  Completion c = Dequeue(watch.port());
  ASSERT_TRUE(c.ok);
  const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(watch.buffer());
  EXPECT_EQ(record->FileNameLength, 3 * sizeof(WCHAR));
  EXPECT_EQ(record->NextEntryOffset, 0u);
  EXPECT_EQ(record->Action, FILE_ACTION_ADDED);
}

TEST_F(ReadChanges, ChangesBetweenReadsAreDeliveredByTheNextRead) {
  Watch watch(tmp_.path());
  // A second watch on the same directory tells when the layer has taken in the changes.
  Watch probe(tmp_.path());
  ASSERT_TRUE(watch.Read());
  ASSERT_TRUE(probe.Arm());
  WriteFile(tmp_ / "first");
  Completion c = Dequeue(watch.port());
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(ParseRecords(watch.buffer(), c.bytes), Expect({{FILE_ACTION_ADDED, L"first"}}));
  // No read outstanding now.
  WriteFile(tmp_ / "second");
  WriteFile(tmp_ / "third");
  probe.CollectUntilName(L"third");
  auto later = watch.CollectUntil([](const std::vector<Change>& all) { return all.size() >= 2; });
  EXPECT_EQ(later, Expect({{FILE_ACTION_ADDED, L"second"}, {FILE_ACTION_ADDED, L"third"}}));
}

TEST_F(ReadChanges, RecordingStartsWithTheFirstRead) {
  Watch watch(tmp_.path());
  WriteFile(tmp_ / "before");
  ASSERT_TRUE(watch.Arm());
  WriteFile(tmp_ / "after");
  EXPECT_EQ(watch.CollectUntilName(L"after"), Expect({}));
}

TEST_F(ReadChanges, ASmallBufferSpreadsRecordsOverSeveralReads) {
  // 12 header bytes + 2 characters: two records fit in 48 bytes, a third does not.
  Watch watch(tmp_.path(), false, kAllFilters, 48);
  Watch probe(tmp_.path());
  ASSERT_TRUE(watch.Read());
  ASSERT_TRUE(probe.Arm());
  WriteFile(tmp_ / "f0", "");
  Completion c = Dequeue(watch.port());
  ASSERT_TRUE(c.ok);
  for (int i = 1; i <= 6; ++i) WriteFile(tmp_ / ("f" + std::to_string(i)), "");
  probe.CollectUntilName(L"f6");
  std::vector<Change> all;
  std::vector<DWORD> sizes;
  while (all.size() < 6) {
    c = watch.ReadOnce();
    ASSERT_TRUE(c.ok);
    ASSERT_GT(c.bytes, 0u) << "nothing may be lost";
    sizes.push_back(c.bytes);
    auto got = ParseRecords(watch.buffer(), c.bytes);
    all.insert(all.end(), got.begin(), got.end());
  }
  EXPECT_EQ(sizes, std::vector<DWORD>({2 * (12 + 2 * sizeof(WCHAR)), 2 * (12 + 2 * sizeof(WCHAR)),
                                       2 * (12 + 2 * sizeof(WCHAR))}));
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(all[i - 1], (Change{FILE_ACTION_ADDED, W("f" + std::to_string(i))}));
}

TEST_F(ReadChanges, ARecordLargerThanTheBufferIsTheOnlyOneLost) {
  // 64 bytes: "f1" fits, a 30-character name (12 + 30 characters) does not fit even alone.
  Watch watch(tmp_.path(), false, FILE_NOTIFY_CHANGE_FILE_NAME, 64);
  Watch probe(tmp_.path());
  ASSERT_TRUE(watch.Read());
  ASSERT_TRUE(probe.Arm());
  WriteFile(tmp_ / "f0", "");
  ASSERT_TRUE(Dequeue(watch.port()).ok);
  const std::string long_name(30, 'n');
  WriteFile(tmp_ / "f1", "");
  WriteFile(tmp_ / long_name, "");
  WriteFile(tmp_ / "f2", "");
  probe.CollectUntilName(L"f2");
  Completion c = watch.ReadOnce();
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(ParseRecords(watch.buffer(), c.bytes), Expect({{FILE_ACTION_ADDED, L"f1"}}));
  c = watch.ReadOnce();
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 0u);  // the loss, signalled once
  c = watch.ReadOnce();
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(ParseRecords(watch.buffer(), c.bytes), Expect({{FILE_ACTION_ADDED, L"f2"}}));
}

TEST_F(ReadChanges, RenamesBesideABusyWriterStayRenames) {
  // The kernel queues the two halves of a rename one after the other; a write of another process may come
  // between them. Pairing goes by cookie, so that never splits a rename into a removal and an addition.
  constexpr int kRenames = 2000;
  for (int i = 0; i < kRenames; ++i) WriteFile(tmp_ / ("r" + std::to_string(i)));
  Watch watch(tmp_.path());
  ASSERT_TRUE(watch.Arm());
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    const int fd = ::open((tmp_ / "busy").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    while (!stop.load()) {
      if (::write(fd, "x", 1) < 0) break;
    }
    ::close(fd);
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int i = 0; i < kRenames && std::chrono::steady_clock::now() < deadline; ++i) {
    ASSERT_EQ(::rename((tmp_ / ("r" + std::to_string(i))).c_str(), (tmp_ / ("s" + std::to_string(i))).c_str()), 0);
  }
  stop = true;
  writer.join();
  WriteFile(tmp_ / "end");
  int renamed_from = 0, renamed_to = 0, split = 0;
  for (const Change& change : watch.CollectUntilName(L"end", 30000)) {
    if (change.name == L"busy") continue;
    if (change.action == FILE_ACTION_RENAMED_OLD_NAME && change.name[0] == L'r') ++renamed_from;
    else if (change.action == FILE_ACTION_RENAMED_NEW_NAME && change.name[0] == L's') ++renamed_to;
    else ++split;
  }
  EXPECT_EQ(split, 0);
  EXPECT_EQ(renamed_from, kRenames);
  EXPECT_EQ(renamed_to, kRenames);
}

TEST_F(ReadChanges, FiltersChooseFilesDirectoriesAndWrites) {
  Watch files(tmp_.path(), false, FILE_NOTIFY_CHANGE_FILE_NAME);
  Watch dirs(tmp_.path(), false, FILE_NOTIFY_CHANGE_DIR_NAME);
  Watch writes(tmp_.path(), false, FILE_NOTIFY_CHANGE_LAST_WRITE);
  for (Watch* w : {&files, &dirs, &writes}) {
    ASSERT_TRUE(w->Arm());
  }
  WriteFile(tmp_ / "existing", "");
  ::chmod((tmp_ / "existing").c_str(), 0600);  // attribute change: reported by none
  MakeDir(tmp_ / "d");
  WriteFile(tmp_ / "existing", "data");
  ASSERT_EQ(::symlink("d", (tmp_ / "link").c_str()), 0);
  MakeDir(tmp_ / "end");
  WriteFile(tmp_ / "end-file", "");
  WriteFile(tmp_ / "end-file", "x");
  EXPECT_EQ(files.CollectUntilName(L"end-file"), Expect({{FILE_ACTION_ADDED, L"existing"},
                                                          {FILE_ACTION_ADDED, L"link"}}));
  EXPECT_EQ(dirs.CollectUntilName(L"end"), Expect({{FILE_ACTION_ADDED, L"d"}}));
  EXPECT_EQ(writes.CollectUntilName(L"end-file"), Expect({{FILE_ACTION_MODIFIED, L"existing"}}));
}

TEST_F(ReadChanges, MovesInAndOutAreAddedAndRemoved) {
  MakeDir(tmp_ / "watched");
  MakeDir(tmp_ / "outside");
  WriteFile(tmp_ / "outside/in", "");
  Watch watch(tmp_ / "watched");
  ASSERT_TRUE(watch.Arm());
  ASSERT_EQ(::rename((tmp_ / "outside/in").c_str(), (tmp_ / "watched/in").c_str()), 0);
  ASSERT_EQ(::rename((tmp_ / "watched/in").c_str(), (tmp_ / "outside/out").c_str()), 0);
  WriteFile(tmp_ / "watched/end");
  EXPECT_EQ(watch.CollectUntilName(L"end"), Expect({{FILE_ACTION_ADDED, L"in"}, {FILE_ACTION_REMOVED, L"in"}}));
  // The last event before an idle queue is a move out: resolved without waiting for a partner.
  ASSERT_TRUE(watch.Read());
  ASSERT_EQ(::rename((tmp_ / "watched/end").c_str(), (tmp_ / "outside/end").c_str()), 0);
  Completion c = Dequeue(watch.port());
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(ParseRecords(watch.buffer(), c.bytes), Expect({{FILE_ACTION_REMOVED, L"end"}}));
}

TEST_F(ReadChanges, SeveralWatchesOnOneDirectoryEachGetEveryRecord) {
  std::vector<std::unique_ptr<Watch>> watches;
  for (int i = 0; i < 5; ++i) {
    watches.push_back(std::make_unique<Watch>(tmp_.path()));
    ASSERT_TRUE(watches.back()->Arm());
  }
  WriteFile(tmp_ / "one");
  ASSERT_EQ(::rename((tmp_ / "one").c_str(), (tmp_ / "two").c_str()), 0);
  // Closing one watch leaves the others' kernel watch in place.
  watches.erase(watches.begin() + 2);
  WriteFile(tmp_ / "end");
  for (auto& w : watches) {
    EXPECT_EQ(w->CollectUntilName(L"end"), Expect({{FILE_ACTION_ADDED, L"one"},
                                                    {FILE_ACTION_RENAMED_OLD_NAME, L"one"},
                                                    {FILE_ACTION_RENAMED_NEW_NAME, L"two"}}));
  }
}

TEST_F(ReadChanges, NamesThatAreNotUtf8ComeBackAsEscapes) {
  Watch watch(tmp_.path());
  ASSERT_TRUE(watch.Arm());
  const std::string raw = "bad-\xff-\xc3(";
  WriteFile(tmp_ / raw, "");
  WriteFile(tmp_ / "end");
  auto changes = watch.CollectUntilName(L"end");
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].name, (std::wstring{L'b', L'a', L'd', L'-', 0xDCFF, L'-', 0xDCC3, L'('}));
  EXPECT_EQ(quorvel::platform::WideToUtf8(changes[0].name), raw);
  EXPECT_EQ(GetFileAttributesW((W(tmp_.path()) + L"/" + changes[0].name).c_str()), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(ReadChanges, ReadsThatCannotBeIssued) {
  Watch watch(tmp_.path());
  alignas(8) BYTE buffer[256];
  OVERLAPPED ov{};
  DWORD returned;
  auto read = [&](HANDLE h, void* buf, DWORD filter, LPOVERLAPPED o) {
    SetLastError(0);
    const BOOL ok = ReadDirectoryChangesW(h, buf, 128, FALSE, filter, &returned, o, nullptr);
    return ok ? 0u : GetLastError();
  };
  WriteFile(tmp_ / "file");
  HANDLE file = CreateFileW(W(tmp_ / "file").c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(read(file, buffer, kAllFilters, &ov), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(read(watch.port(), buffer, kAllFilters, &ov), ERROR_INVALID_HANDLE);
  EXPECT_EQ(read(nullptr, buffer, kAllFilters, &ov), ERROR_INVALID_HANDLE);
  EXPECT_EQ(read(watch.dir(), nullptr, kAllFilters, &ov), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(read(watch.dir(), buffer + 2, kAllFilters, &ov), ERROR_NOACCESS);
  EXPECT_EQ(read(watch.dir(), buffer, 0, &ov), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(read(watch.dir(), buffer, 0x1000, &ov), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(read(watch.dir(), buffer, kAllFilters, nullptr), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(seam::OutstandingReads(), 0u);
  ASSERT_TRUE(watch.Read());
  EXPECT_EQ(read(watch.dir(), buffer, kAllFilters, &ov), ERROR_BUSY) << "one read at a time";
  seam::FailNext("ReadDirectoryChangesW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(read(watch.dir(), buffer, kAllFilters, &ov), ERROR_ACCESS_DENIED);
  // The outstanding read is unharmed.
  WriteFile(tmp_ / "later");
  Completion c = Dequeue(watch.port());
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, watch.overlapped());
}

TEST_F(ReadChanges, TheHandleFollowsItsDirectoryWhenRenamed) {
  MakeDir(tmp_ / "before");
  Watch watch(tmp_ / "before");
  ASSERT_TRUE(watch.Arm());
  ASSERT_EQ(::rename((tmp_ / "before").c_str(), (tmp_ / "after").c_str()), 0);
  WriteFile(tmp_ / "after/inside");
  EXPECT_EQ(watch.CollectUntilName(L"inside"), Expect({}));
}

}  // namespace
}  // namespace platform_test
