// CreateFileW, CloseHandle, GetFileAttributesW/A, the last error, and how handle values are given out.
#include <fcntl.h>
#include <sys/resource.h>

#include <sys/stat.h>

#include <future>
#include <set>

#include "platform_test_support.h"

namespace platform_test {
namespace {

using Files = PlatformTest;
namespace seam = quorvel::platform::seam;

HANDLE OpenFile(const std::string& path, DWORD access = GENERIC_READ, DWORD disposition = OPEN_EXISTING,
                DWORD flags = 0) {
  return CreateFileW(W(path).c_str(), access, FILE_SHARE_READ, nullptr, disposition, flags, nullptr);
}

TEST_F(Files, OpenExistingFailsWithWindowsCodesForMissingPaths) {
  SetLastError(0);
  EXPECT_EQ(OpenFile(tmp_ / "missing"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenDirectory(tmp_ / "missing"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenFile(tmp_ / "no/such/file"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  WriteFile(tmp_ / "plain");
  EXPECT_EQ(OpenFile(tmp_ / "plain/below"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(OpenFile(""), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(Files, DirectoryNeedsBackupSemantics) {
  SetLastError(0);
  EXPECT_EQ(OpenFile(tmp_.path()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE dir = OpenDirectory(tmp_.path());
  ASSERT_NE(dir, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(dir));
}

TEST_F(Files, OnlyOpenExistingIsImplemented) {
  WriteFile(tmp_ / "f", "x");
  for (DWORD disposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_ALWAYS, TRUNCATE_EXISTING}) {
    SetLastError(0);
    EXPECT_EQ(OpenFile(tmp_ / "f", GENERIC_READ, disposition), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  }
  for (DWORD disposition : {0u, 6u}) {
    EXPECT_EQ(OpenFile(tmp_ / "f", GENERIC_READ, disposition), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  struct stat st;
  ASSERT_EQ(::stat((tmp_ / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1) << "a refused disposition must not touch the file";
}

TEST_F(Files, FilesOpenForReadingAndWriting) {
  WriteFile(tmp_ / "f");
  HANDLE read = OpenFile(tmp_ / "f");
  HANDLE write = OpenFile(tmp_ / "f", GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(read, INVALID_HANDLE_VALUE);
  ASSERT_NE(write, INVALID_HANDLE_VALUE);
  EXPECT_NE(read, write);
  EXPECT_TRUE(CloseHandle(read));
  EXPECT_TRUE(CloseHandle(write));
  ASSERT_EQ(::chmod((tmp_ / "f").c_str(), 0444), 0);
  if (::geteuid() != 0) {
    EXPECT_EQ(OpenFile(tmp_ / "f", GENERIC_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
}

TEST_F(Files, OpeningAFifoNeverBlocksAndItsFirstReadFailsAsAFilesDoes) {
  const std::string fifo = tmp_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  // Opened the way the watcher opens a directory; nobody writes to the FIFO.
  auto opened = std::async(std::launch::async, [&] { return OpenDirectory(fifo); });
  if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // lets the blocked open return
    opened.wait();
    if (writer >= 0) ::close(writer);
    CloseHandle(opened.get());
    FAIL() << "CreateFileW blocked on a FIFO";
  }
  HANDLE handle = opened.get();
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  alignas(DWORD) BYTE buffer[256];
  OVERLAPPED overlapped{};
  SetLastError(0);
  EXPECT_FALSE(ReadDirectoryChangesW(handle, buffer, sizeof buffer, FALSE, kAllFilters, nullptr, &overlapped, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(Files, HandleValuesAreSmallMultiplesOfFourAndReusedLowestFirst) {
  std::vector<HANDLE> handles;
  for (int i = 0; i < 6; ++i) {
    HANDLE h = OpenDirectory(tmp_.path());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(h) % 4, 0u);
    handles.push_back(h);
  }
  EXPECT_EQ(std::set<HANDLE>(handles.begin(), handles.end()).size(), handles.size());
  // Consecutive slots, whatever descriptors the process holds: values come from the table, not from the kernel.
  for (std::size_t i = 1; i < handles.size(); ++i) {
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(handles[i]) - reinterpret_cast<std::uintptr_t>(handles[i - 1]), 4u);
  }
  EXPECT_TRUE(CloseHandle(handles[4]));
  EXPECT_TRUE(CloseHandle(handles[1]));
  HANDLE first = OpenDirectory(tmp_.path());
  HANDLE second = OpenDirectory(tmp_.path());
  EXPECT_EQ(first, handles[1]);
  EXPECT_EQ(second, handles[4]);
  handles[1] = first;
  handles[4] = second;
  for (HANDLE h : handles) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Files, SeamHandsOutAChosenFreedValue) {
  HANDLE a = OpenDirectory(tmp_.path());
  HANDLE b = OpenDirectory(tmp_.path());
  HANDLE c = OpenDirectory(tmp_.path());
  ASSERT_TRUE(CloseHandle(a));
  ASSERT_TRUE(CloseHandle(c));
  seam::ReuseHandleValue(c);
  HANDLE again = OpenDirectory(tmp_.path());
  EXPECT_EQ(again, c);
  HANDLE next = OpenDirectory(tmp_.path());
  EXPECT_EQ(next, a) << "the forced value applies once";
  // A value in use is not handed out twice.
  seam::ReuseHandleValue(b);
  HANDLE fresh = OpenDirectory(tmp_.path());
  EXPECT_NE(fresh, b);
  for (HANDLE h : {b, again, next, fresh}) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Files, ClosingTwiceOrClosingNonsenseFails) {
  HANDLE dir = OpenDirectory(tmp_.path());
  ASSERT_TRUE(FindCloseChangeNotification(dir));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(dir));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(FindCloseChangeNotification(dir));
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(std::uintptr_t{3})));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Files, ClosingADirectoryHandleReleasesItsDescriptor) {
  auto open_fds = [] {
    int count = 0;
    for (int fd = 0; fd < 4096; ++fd) count += ::fcntl(fd, F_GETFD) != -1;
    return count;
  };
  const int before = open_fds();
  std::vector<HANDLE> handles;
  for (int i = 0; i < 20; ++i) handles.push_back(OpenDirectory(tmp_.path()));
  EXPECT_EQ(open_fds(), before + 20);
  for (HANDLE h : handles) CloseHandle(h);
  EXPECT_EQ(open_fds(), before);
}

TEST_F(Files, AttributesOfDirectoriesFilesAndLinks) {
  MakeDir(tmp_ / "d");
  WriteFile(tmp_ / "f");
  WriteFile(tmp_ / "ro");
  ASSERT_EQ(::chmod((tmp_ / "ro").c_str(), 0444), 0);
  ASSERT_EQ(::symlink("d", (tmp_ / "link-to-dir").c_str()), 0);
  ASSERT_EQ(::symlink("f", (tmp_ / "link-to-file").c_str()), 0);
  ASSERT_EQ(::symlink("nothing", (tmp_ / "dangling").c_str()), 0);

  EXPECT_EQ(GetFileAttributesW(W(tmp_ / "d").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesW(W(tmp_ / "f").c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(GetFileAttributesW(W(tmp_ / "ro").c_str()), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(GetFileAttributesW(W(tmp_ / "link-to-dir").c_str()),
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(GetFileAttributesW(W(tmp_ / "link-to-file").c_str()), FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(GetFileAttributesW(W(tmp_ / "dangling").c_str()), FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(GetFileAttributesA((tmp_ / "d").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA((tmp_ / "f").c_str()), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Files, AttributesOfMissingPathsSetTheLastError) {
  WriteFile(tmp_ / "f");
  SetLastError(0);
  EXPECT_EQ(GetFileAttributesW(W(tmp_ / "missing").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesW(W(tmp_ / "missing/below").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesW(W(tmp_ / "f/below").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesA((tmp_ / "missing").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  if (::geteuid() != 0) {
    MakeDir(tmp_ / "locked");
    WriteFile(tmp_ / "locked/inner");
    ASSERT_EQ(::chmod((tmp_ / "locked").c_str(), 0), 0);
    EXPECT_EQ(GetFileAttributesW(W(tmp_ / "locked/inner").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ::chmod((tmp_ / "locked").c_str(), 0755);
  }
}

TEST_F(Files, NamesThatAreNotUtf8RoundTrip) {
  const std::string name = tmp_ / "bad-\xff\xfe-name";
  WriteFile(name);
  const std::wstring wide = W(name);
  EXPECT_EQ(GetFileAttributesW(wide.c_str()), FILE_ATTRIBUTE_NORMAL);
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Files, LastErrorBelongsToEachThread) {
  SetLastError(ERROR_FILE_EXISTS);
  DWORD seen_there = 1;
  std::thread([&] {
    seen_there = GetLastError();
    SetLastError(ERROR_ACCESS_DENIED);
  }).join();
  EXPECT_EQ(seen_there, ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
}

TEST_F(Files, SeamFailsANamedCallOnce) {
  seam::FailNext("CreateFileW", ERROR_SHARING_VIOLATION);
  EXPECT_EQ(OpenDirectory(tmp_.path()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  HANDLE dir = OpenDirectory(tmp_.path());
  ASSERT_NE(dir, INVALID_HANDLE_VALUE);
  seam::FailNext("GetFileAttributesW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetFileAttributesW(W(tmp_.path()).c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetFileAttributesW(W(tmp_.path()).c_str()), FILE_ATTRIBUTE_DIRECTORY);
  seam::FailNext("CloseHandle", ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(dir));
  EXPECT_TRUE(CloseHandle(dir)) << "a failure armed by the seam leaves the handle open";
}

}  // namespace
}  // namespace platform_test
