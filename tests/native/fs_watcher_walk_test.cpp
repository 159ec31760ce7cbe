// The change-record walk on injected buffers: filters, rename pairing, the file-only test and malformed chains.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "fs_watcher/fs_watcher.h"
#include "fs_watcher_records.h"
#include "platform/path.h"
#include "temp_dir.h"

namespace {

using records::Event;
using records::Record;

constexpr DWORD kAdded = FILE_ACTION_ADDED;
constexpr DWORD kRemoved = FILE_ACTION_REMOVED;
constexpr DWORD kModified = FILE_ACTION_MODIFIED;
constexpr DWORD kOld = FILE_ACTION_RENAMED_OLD_NAME;
constexpr DWORD kNew = FILE_ACTION_RENAMED_NEW_NAME;

class Walk : public ::testing::Test {
 protected:
  void SetUp() override { entry_ = MakeEntry(L"/w", {{L"*.txt", 0}}); }

  // Paths and names are written with '/', the host's separator stands in for it.
  static std::wstring Host(std::wstring text) {
    return test_support::HostPath(std::move(text), quorvel::platform::kPathSeparator);
  }

  std::shared_ptr<WatchEntry> MakeEntry(std::wstring path, std::vector<WatchFilter> filters, bool file_only = false) {
    auto entry = std::make_shared<WatchEntry>();
    entry->dir = reinterpret_cast<HANDLE>(std::uintptr_t{0x1234});
    entry->path = Host(std::move(path));
    for (auto& filter : filters) filter.pattern = Host(std::move(filter.pattern));
    entry->filters = std::move(filters);
    entry->file_only = file_only;
    entry->handler = recorder_.Handler();
    return entry;
  }

  std::vector<Event> Run(const std::vector<Record>& list) { return Run(entry_, list); }
  std::vector<Event> Run(const std::shared_ptr<WatchEntry>& entry, const std::vector<Record>& list) {
    recorder_.Clear();
    std::vector<Record> host = list;
    for (auto& record : host) record.name = Host(std::move(record.name));
    const DWORD bytes = records::Fill(*entry, host);
    FsWatcher::ProcessNotifications(entry, bytes);
    return recorder_.Events();
  }

  static Event Ev(FsWatchAction action, std::wstring path, std::wstring old_path = L"") {
    return {0x1234, action, Host(std::move(path)), Host(std::move(old_path))};
  }

  records::Recorder recorder_;
  std::shared_ptr<WatchEntry> entry_;
};

TEST_F(Walk, PlainActionsMapToCreateDeleteModifyAndPassTheFilter) {
  EXPECT_EQ(Run({{kAdded, L"a.txt"}}), std::vector<Event>{Ev(FsWatchAction::CREATE, L"/w/a.txt")});
  EXPECT_EQ(Run({{kRemoved, L"A.TXT"}, {kModified, L"b.txt"}, {kModified, L"a.tmp"}}),
            (std::vector<Event>{Ev(FsWatchAction::DELETE, L"/w/A.TXT"), Ev(FsWatchAction::MODIFY, L"/w/b.txt")}));
  EXPECT_TRUE(Run({{kModified, L"a.tmp"}}).empty());
  EXPECT_TRUE(Run({}).empty());
  FsWatcher::ProcessNotifications(entry_, 0);  // nothing delivered: returns at once
}

TEST_F(Walk, RenamePairsWhenEitherNamePasses) {
  EXPECT_EQ(Run({{kOld, L"a.txt"}, {kNew, L"b.tmp"}}),
            std::vector<Event>{Ev(FsWatchAction::RENAME, L"/w/b.tmp", L"/w/a.txt")});
  EXPECT_EQ(Run({{kOld, L"a.tmp"}, {kNew, L"b.txt"}}),
            std::vector<Event>{Ev(FsWatchAction::RENAME, L"/w/b.txt", L"/w/a.tmp")});
  EXPECT_TRUE(Run({{kOld, L"a.tmp"}, {kNew, L"b.tmp"}}).empty());
  EXPECT_TRUE(entry_->pending_old_name.empty());
  EXPECT_TRUE(Run({{kNew, L"c.txt"}}).empty());  // nothing pending
}

TEST_F(Walk, RenameSplitAcrossTwoCompletionsStillPairs) {
  EXPECT_TRUE(Run({{kAdded, L"x.txt"}, {kOld, L"a.txt"}}).size() == 1);
  EXPECT_EQ(entry_->pending_old_name, L"a.txt");
  EXPECT_EQ(Run({{kNew, L"d.txt"}}), std::vector<Event>{Ev(FsWatchAction::RENAME, L"/w/d.txt", L"/w/a.txt")});
  EXPECT_TRUE(entry_->pending_old_name.empty());
}

TEST_F(Walk, PendingOldNameIsClearedByEveryRecordButItsNewHalf) {
  // Whatever stands between the halves ends the wait, reported or not: a kept old half could pair with the
  // new name of an unrelated later rename.
  for (const Record& between : {Record{kModified, L"c.tmp"}, Record{kAdded, L"c.txt"}, Record{7, L"e.txt"},
                                Record{7, L"e.tmp"}, Record{kAdded, L"", 0}}) {
    const auto events = Run({{kOld, L"a.txt"}, between, {kNew, L"d.txt"}});
    EXPECT_TRUE(std::none_of(events.begin(), events.end(), [](const Event& e) { return e.action == FsWatchAction::RENAME; }))
        << static_cast<int>(between.action);
    EXPECT_TRUE(entry_->pending_old_name.empty());
  }
  // A second old half replaces the first.
  EXPECT_EQ(Run({{kOld, L"a.txt"}, {kOld, L"b.txt"}, {kNew, L"c.txt"}}),
            std::vector<Event>{Ev(FsWatchAction::RENAME, L"/w/c.txt", L"/w/b.txt")});
}

TEST_F(Walk, RecordsWithoutAWholeCharacterAreSkipped) {
  // Lengths 1 .. sizeof(WCHAR)-1 hold no character: never an empty name for JoinPath.
  auto any = MakeEntry(L"/w", {{L"*", 0}});
  for (long long bytes = 1; bytes < static_cast<long long>(sizeof(WCHAR)); ++bytes) {
    EXPECT_TRUE(Run(any, {{kAdded, L"z", bytes}, {kModified, L"y", bytes}, {kNew, L"x", bytes}}).empty()) << bytes;
  }
  // A length that is not a whole number of characters is cut to whole characters.
  EXPECT_EQ(Run({{kAdded, L"a.txt!", static_cast<long long>(5 * sizeof(WCHAR) + 1)}}),
            std::vector<Event>{Ev(FsWatchAction::CREATE, L"/w/a.txt")});
}

TEST_F(Walk, TheChainEndsAtAZeroOffsetOrAtTheByteCount) {
  // First record says it is the last: the second is never read, whatever the byte count.
  EXPECT_EQ(Run({{kAdded, L"a.txt", -1, 0}, {kAdded, L"b.txt"}}),
            std::vector<Event>{Ev(FsWatchAction::CREATE, L"/w/a.txt")});
  // Fewer bytes than the chain: the walk stops once the offset reaches the count.
  recorder_.Clear();
  records::Fill(*entry_, {{kAdded, L"a.txt"}, {kAdded, L"b.txt"}});
  DWORD first_size = 0;
  std::memcpy(&first_size, entry_->buffer, sizeof first_size);
  FsWatcher::ProcessNotifications(entry_, first_size);
  EXPECT_EQ(recorder_.Events(), std::vector<Event>{Ev(FsWatchAction::CREATE, L"/w/a.txt")});
}

TEST_F(Walk, MalformedChainsEndTheWalkWithoutReadingOutOfBounds) {
  // A name that reaches past the delivered bytes is not read.
  recorder_.Clear();
  const DWORD bytes = records::Fill(*entry_, {{kAdded, L"a.txt"}, {kAdded, L"b.txt"}});
  FsWatcher::ProcessNotifications(entry_, bytes - 2 * sizeof(WCHAR));  // past the last record's padding too
  EXPECT_EQ(recorder_.Events(), std::vector<Event>{Ev(FsWatchAction::CREATE, L"/w/a.txt")});
  // A name length far past the buffer.
  EXPECT_TRUE(Run({{kAdded, L"a.txt", 0x7FFFFFF0}}).empty());
  // A header cut by the byte count.
  recorder_.Clear();
  records::Fill(*entry_, {{kAdded, L"a.txt"}});
  FsWatcher::ProcessNotifications(entry_, 8);
  EXPECT_TRUE(recorder_.Events().empty());
  // A misaligned offset: the record it points to is never read.
  EXPECT_EQ(Run({{kAdded, L"a.txt", -1, 30}, {kAdded, L"b.txt"}, {kAdded, L"c.txt"}}),
            std::vector<Event>{Ev(FsWatchAction::CREATE, L"/w/a.txt")});
  // A byte count larger than the buffer is bounded by the buffer; an offset past the buffer ends the walk.
  recorder_.Clear();
  records::Fill(*entry_, {{kAdded, L"a.txt", -1, 0xFFFFFFF0u}});
  FsWatcher::ProcessNotifications(entry_, 0xFFFFFFFFu);
  EXPECT_EQ(recorder_.Events(), std::vector<Event>{Ev(FsWatchAction::CREATE, L"/w/a.txt")});
  // Two records that fill the buffer to its last byte are both read.
  constexpr std::size_t kHeader = offsetof(FILE_NOTIFY_INFORMATION, FileName);
  const std::size_t chars = (WatchEntry::kBufferSize / 2 - kHeader) / sizeof(WCHAR);
  ASSERT_EQ(2 * (kHeader + chars * sizeof(WCHAR)), WatchEntry::kBufferSize);
  const std::wstring long_name = std::wstring(chars - 4, L'n') + L".txt";
  EXPECT_EQ(Run({{kAdded, long_name}, {kRemoved, long_name}}),
            (std::vector<Event>{Ev(FsWatchAction::CREATE, L"/w/" + long_name),
                                Ev(FsWatchAction::DELETE, L"/w/" + long_name)}));
}

TEST_F(Walk, AThrowingHandlerLosesOnlyItsOwnEvent) {
  int calls = 0;
  entry_->handler = [&](std::uint64_t, FsWatchAction, std::wstring_view path, std::wstring_view) {
    ++calls;
    if (path == L"/w/a.txt") throw std::runtime_error("handler failed");
  };
  records::Fill(*entry_, {{kAdded, L"a.txt"}, {kAdded, L"b.txt"}, {kOld, L"c.txt"}, {kNew, L"d.txt"}});
  EXPECT_NO_THROW(FsWatcher::ProcessNotifications(entry_, WatchEntry::kBufferSize));
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(entry_->pending_old_name.empty());
}

TEST_F(Walk, DepthFilterReportsSubtreePaths) {
  auto entry = MakeEntry(L"/w", {{L"*.txt", 1}});
  EXPECT_EQ(Run(entry, {{kAdded, L"sub/a.txt"}, {kAdded, L"a.txt"}, {kAdded, L"sub/deeper/a.txt"}}),
            std::vector<Event>{Ev(FsWatchAction::CREATE, L"/w/sub/a.txt")});
  // The base is used exactly as given: a trailing separator is not doubled.
  auto trailing = MakeEntry(L"/w/", {{L"*", 0}});
  EXPECT_EQ(Run(trailing, {{kAdded, L"a"}}), std::vector<Event>{Ev(FsWatchAction::CREATE, L"/w/a")});
  // No filter: nothing.
  auto none = MakeEntry(L"/w", {});
  EXPECT_TRUE(Run(none, {{kAdded, L"a.txt"}, {kOld, L"a.txt"}, {kNew, L"b.txt"}}).empty());
}

class WalkOnDisk : public Walk {
 protected:
  void SetUp() override {
    Walk::SetUp();
    dir_ = test_support::MakeTempDir("quorvel-walk-");
    std::filesystem::create_directory(dir_ / "sub.txt");
    std::ofstream(dir_ / "here.txt") << "x";
    base_ = dir_.wstring();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
  std::wstring base_;
};

TEST_F(WalkOnDisk, FileOnlyReportsExistingFilesAndRenamesWithoutATest) {
  auto entry = MakeEntry(base_, {{L"*.txt", 0}}, /*file_only=*/true);
  entry->dir = reinterpret_cast<HANDLE>(std::uintptr_t{0x1234});
  const auto events = Run(entry, {{kAdded, L"here.txt"},
                                  {kRemoved, L"gone.txt"},
                                  {kModified, L"sub.txt"},
                                  {kOld, L"gone.txt"},
                                  {kNew, L"also-gone.txt"}});
  EXPECT_EQ(events, (std::vector<Event>{Ev(FsWatchAction::CREATE, base_ + L"/here.txt"),
                                        Ev(FsWatchAction::RENAME, base_ + L"/also-gone.txt", base_ + L"/gone.txt")}));
  // Without file_only the same records are all reported.
  auto all = MakeEntry(base_, {{L"*.txt", 0}});
  EXPECT_EQ(Run(all, {{kAdded, L"here.txt"}, {kRemoved, L"gone.txt"}, {kModified, L"sub.txt"}}).size(), 3u);
}

TEST_F(WalkOnDisk, RelativeBaseGivesRelativePathsAndTheFileTestUsesTheCurrentDirectory) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.parent_path());
  const std::wstring relative = dir_.filename().wstring();
  auto entry = MakeEntry(relative, {{L"*", 0}}, /*file_only=*/true);
  const auto events = Run(entry, {{kAdded, L"here.txt"}, {kAdded, L"missing.txt"}});
  std::filesystem::current_path(previous);
  EXPECT_EQ(events, std::vector<Event>{Ev(FsWatchAction::CREATE, relative + L"/here.txt")});
}

}  // namespace
