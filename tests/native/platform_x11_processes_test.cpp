// Process handles: OpenProcess for existing and missing processes, the image path with Windows' buffer size rules,
// and exact counts of open process handles. The game is the stand-in window program run from a copied "install
// directory", found through its window as the window search does.
#include "x11_test_support.h"

#include <fstream>

#include "platform/linux/seam/seam.h"
#include "platform/linux/seam/seam_windows.h"
#include "platform/linux/base/wide.h"

namespace {

using quorvel::platform::Utf8ToWide;
namespace seam = quorvel::platform::seam;

class Processes : public x11_test::X11Suite<x11_test::OneMonitor> {};

std::wstring ImageOf(HANDLE process) {
  WCHAR buffer[1024] = {};
  DWORD size = 1024;
  if (!QueryFullProcessImageNameW(process, 0, buffer, &size)) return L"<failed>";
  EXPECT_EQ(size, std::wcslen(buffer));
  return buffer;
}

TEST_F(Processes, TheWindowsProcessImageIsTheCopiedExecutable) {
  char pattern[] = "/tmp/quorvel-install-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string install = std::string(pattern) + "/Game Dir";
  std::filesystem::create_directory(install);
  const std::string exe = install + "/game.bin";
  std::filesystem::copy_file(x11_test::FixtureProgram(), exe);
  {
    x11_test::WindowProcess game({}, exe);
    DWORD pid = 0;
    ASSERT_NE(GetWindowThreadProcessId(game.window(), &pid), 0u);
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(ImageOf(process), Utf8ToWide(exe));
    game.Kill();
    EXPECT_EQ(ImageOf(process), Utf8ToWide(exe)) << "a handle keeps answering after its process ended";
    EXPECT_TRUE(CloseHandle(process));
  }
  std::filesystem::remove_all(pattern);
}

TEST_F(Processes, ImageNameFollowsTheBufferSizeRules) {
  const std::wstring self = Utf8ToWide(std::filesystem::read_symlink("/proc/self/exe").string());
  const DWORD length = static_cast<DWORD>(self.size());
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(getpid()));
  ASSERT_NE(process, nullptr);
  struct Case {
    DWORD size;
    DWORD flags;
    BOOL ok;
    DWORD error;
  } cases[] = {
      {length + 1, 0, TRUE, 0},
      {length + 50, PROCESS_NAME_NATIVE, TRUE, 0},
      {length, 0, FALSE, ERROR_INSUFFICIENT_BUFFER},
      {0, 0, FALSE, ERROR_INSUFFICIENT_BUFFER},
      {length + 1, 2, FALSE, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    std::vector<WCHAR> buffer(length + 64, L'#');
    DWORD size = c.size;
    SetLastError(0);
    ASSERT_EQ(QueryFullProcessImageNameW(process, c.flags, buffer.data(), &size), c.ok) << c.size;
    if (c.ok) {
      EXPECT_EQ(size, length);
      EXPECT_EQ(std::wstring(buffer.data()), self);
    } else {
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_EQ(size, c.size) << "size left alone on failure";
    }
  }
  EXPECT_TRUE(CloseHandle(process));
}

TEST_F(Processes, OpenProcessRefusesWhatDoesNotExistAndCountsHandlesExactly) {
  std::ifstream pid_max_file("/proc/sys/kernel/pid_max");
  DWORD pid_max = 0;
  pid_max_file >> pid_max;
  for (DWORD missing : {DWORD{0}, pid_max + 1}) {
    SetLastError(0);
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, missing), nullptr) << missing;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }

  const std::size_t before = seam::OpenProcessHandles();
  const std::size_t table_before = seam::OpenHandles();
  std::vector<HANDLE> handles;
  for (int i = 0; i < 3; ++i) handles.push_back(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, getpid()));
  EXPECT_EQ(seam::OpenProcessHandles(), before + 3);
  EXPECT_EQ(seam::OpenHandles(), table_before + 3);
  EXPECT_NE(handles[0], handles[1]);
  for (HANDLE h : handles) EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(seam::OpenProcessHandles(), before);
  EXPECT_EQ(seam::OpenHandles(), table_before);
  EXPECT_FALSE(CloseHandle(handles[0]));
}

TEST_F(Processes, ImageNameNeedsAQueryRightAndAProcessHandle) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(getpid()));
  ASSERT_NE(process, nullptr);
  WCHAR buffer[1024];
  DWORD size = 1024;
  EXPECT_FALSE(QueryFullProcessImageNameW(process, 0, buffer, &size));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(process));
  EXPECT_FALSE(QueryFullProcessImageNameW(process, 0, buffer, &size)) << "closed";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  char pattern[] = "/tmp/quorvel-dir-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const HANDLE directory = CreateFileW(Utf8ToWide(pattern).c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(directory, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(QueryFullProcessImageNameW(directory, 0, buffer, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(directory);
  rmdir(pattern);
}

}  // namespace
