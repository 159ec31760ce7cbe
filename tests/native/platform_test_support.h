// Helpers for the tests of the file, completion port and directory change layer: a fresh directory per test and a
// watch that reads its change records through a completion port with bounded waits.
#pragma once

#include <ftw.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/seam/seam.h"
#include "platform/linux/base/wide.h"
#include "platform/win32.h"

namespace platform_test {

using quorvel::platform::Utf8ToWide;

// Generous: machines are shared. Waits end as soon as their condition holds.
constexpr DWORD kDeadlineMs = 10000;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/quorvel-platform-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) throw std::runtime_error("mkdtemp failed");
    path_ = made;
  }
  ~TempDir() {
    ::nftw(
        path_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p) == 0 ? 0 : 0; }, 64,
        FTW_DEPTH | FTW_PHYS);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& text = "") {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << text;
}

inline void MakeDir(const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path; }

inline std::wstring W(const std::string& utf8) { return Utf8ToWide(utf8); }

struct Change {
  DWORD action;
  std::wstring name;
  bool operator==(const Change& other) const { return action == other.action && name == other.name; }
};

inline std::ostream& operator<<(std::ostream& out, const Change& change) {
  return out << "{" << change.action << ", " << quorvel::platform::WideToUtf8(change.name) << "}";
}

// Decodes a record chain, checking its layout as it goes.
inline std::vector<Change> ParseRecords(const BYTE* buffer, DWORD bytes) {
  std::vector<Change> changes;
  if (bytes == 0) return changes;
  DWORD offset = 0;
  for (;;) {
    EXPECT_EQ(offset % sizeof(DWORD), 0u) << "record not DWORD-aligned";
    const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
    EXPECT_EQ(record->FileNameLength % sizeof(WCHAR), 0u);
    EXPECT_LE(offset + offsetof(FILE_NOTIFY_INFORMATION, FileName) + record->FileNameLength, bytes)
        << "record reaches past the byte count";
    changes.push_back({record->Action, std::wstring(record->FileName, record->FileNameLength / sizeof(WCHAR))});
    if (record->NextEntryOffset == 0) break;
    offset += record->NextEntryOffset;
    if (offset >= bytes) {
      ADD_FAILURE() << "NextEntryOffset leads past the byte count";
      break;
    }
  }
  return changes;
}

// The changes a test expects, in the type reads give.
inline std::vector<Change> Expect(std::initializer_list<Change> changes) { return changes; }

struct Completion {
  BOOL ok = FALSE;
  DWORD error = 0;
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED overlapped = nullptr;
};

inline Completion Dequeue(HANDLE port, DWORD milliseconds = kDeadlineMs) {
  Completion c;
  SetLastError(0);
  c.ok = GetQueuedCompletionStatus(port, &c.bytes, &c.key, &c.overlapped, milliseconds);
  c.error = c.ok ? 0 : GetLastError();
  return c;
}

inline HANDLE OpenDirectory(const std::string& path) {
  return CreateFileW(W(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
}

constexpr DWORD kAllFilters =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;

// A directory handle bound to a port of its own, read the way the watcher reads it.
class Watch {
 public:
  explicit Watch(const std::string& path, bool subtree = false, DWORD filter = kAllFilters,
                 DWORD buffer_size = 64 * 1024)
      : subtree_(subtree), filter_(filter), buffer_(buffer_size / sizeof(DWORD) + 1) {
    dir_ = OpenDirectory(path);
    EXPECT_NE(dir_, INVALID_HANDLE_VALUE) << path << " error " << GetLastError();
    port_ = CreateIoCompletionPort(dir_, nullptr, Key(), 1);
    EXPECT_NE(port_, nullptr);
    buffer_size_ = buffer_size;
  }
  ~Watch() {
    if (dir_ != INVALID_HANDLE_VALUE) CloseHandle(dir_);
    if (port_) CloseHandle(port_);
  }

  HANDLE dir() const { return dir_; }
  // The test closed the port itself.
  void forget_port() { port_ = nullptr; }
  HANDLE port() const { return port_; }
  ULONG_PTR Key() const { return reinterpret_cast<ULONG_PTR>(dir_) ^ 0x5A00; }
  OVERLAPPED* overlapped() { return &overlapped_; }
  BYTE* buffer() { return reinterpret_cast<BYTE*>(buffer_.data()); }

  BOOL Read() {
    overlapped_ = OVERLAPPED{};
    DWORD returned = 0;
    return ReadDirectoryChangesW(dir_, buffer(), buffer_size_, subtree_ ? TRUE : FALSE, filter_, &returned,
                                 &overlapped_, nullptr);
  }

  // Issues the first read; the next collection waits for its completion.
  BOOL Arm() { return pending_ = Read(); }

  // Issues a read and waits for its completion.
  Completion ReadOnce(DWORD milliseconds = kDeadlineMs) {
    if (!Read()) {
      ADD_FAILURE() << "ReadDirectoryChangesW failed: " << GetLastError();
      return {};
    }
    return Dequeue(port_, milliseconds);
  }

  // Reads until `done` holds for everything collected, or the deadline passes.
  std::vector<Change> CollectUntil(const std::function<bool(const std::vector<Change>&)>& done,
                                   DWORD milliseconds = kDeadlineMs) {
    std::vector<Change> all;
    all.swap(leftover_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done(all)) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      if (!pending_ && !Read()) {
        ADD_FAILURE() << "ReadDirectoryChangesW failed: " << GetLastError();
        break;
      }
      pending_ = true;
      Completion c = Dequeue(port_, static_cast<DWORD>(left.count()));
      if (!c.ok && c.overlapped == nullptr) break;  // timed out: the read stays outstanding
      pending_ = false;
      EXPECT_TRUE(c.ok) << "failed completion " << c.error;
      EXPECT_EQ(c.overlapped, &overlapped_);
      EXPECT_EQ(c.key, Key());
      EXPECT_GT(c.bytes, 0u) << "changes lost";
      auto got = ParseRecords(buffer(), c.bytes);
      all.insert(all.end(), got.begin(), got.end());
    }
    return all;
  }

  // Collects until a change named `marker` arrives; the marker itself is not returned.
  std::vector<Change> CollectUntilName(const std::wstring& marker, DWORD milliseconds = kDeadlineMs) {
    auto all = CollectUntil(
        [&](const std::vector<Change>& c) {
          for (const auto& change : c)
            if (change.name == marker) return true;
          return false;
        },
        milliseconds);
    std::vector<Change> before;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (all[i].name == marker) {
        leftover_.assign(all.begin() + i + 1, all.end());  // later records belong to the next collection
        return before;
      }
      before.push_back(all[i]);
    }
    ADD_FAILURE() << "marker never reported";
    return before;
  }

  bool pending() const { return pending_; }
  void set_pending(bool pending) { pending_ = pending; }
  void Detach() { dir_ = INVALID_HANDLE_VALUE; }
  void DetachPort() { port_ = nullptr; }

 private:
  bool subtree_;
  DWORD filter_;
  std::vector<DWORD> buffer_;
  DWORD buffer_size_ = 0;
  HANDLE dir_ = INVALID_HANDLE_VALUE;
  HANDLE port_ = nullptr;
  OVERLAPPED overlapped_{};
  bool pending_ = false;
  std::vector<Change> leftover_;
};

// Resets the seam around every test and checks that the test released what it opened.
class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    quorvel::platform::seam::Reset();
    handles_ = quorvel::platform::seam::OpenHandles();
    ports_ = quorvel::platform::seam::LivePorts();
  }
  void TearDown() override {
    quorvel::platform::seam::Reset();
    EXPECT_EQ(quorvel::platform::seam::OpenHandles(), handles_) << "handles leaked";
    EXPECT_EQ(quorvel::platform::seam::LivePorts(), ports_) << "ports leaked";
    EXPECT_EQ(quorvel::platform::seam::OutstandingReads(), 0u) << "reads left outstanding";
  }
  TempDir tmp_;

 private:
  std::size_t handles_ = 0;
  std::size_t ports_ = 0;
};

}  // namespace platform_test
