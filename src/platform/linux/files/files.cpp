// Files and directories by path: CreateFileW, GetFileAttributesW/A, and closing handles.
//
// CreateFileW opens existing objects only (OPEN_EXISTING); the other dispositions fail with ERROR_NOT_SUPPORTED.
// Share modes, security attributes and templates are accepted and have no effect (Linux has no share modes). As on
// Windows, a directory opens only with FILE_FLAG_BACKUP_SEMANTICS (ERROR_ACCESS_DENIED otherwise), and symbolic
// links are followed. A missing last component gives ERROR_FILE_NOT_FOUND, a missing or non-directory parent
// ERROR_PATH_NOT_FOUND. Opening never blocks: a special file (FIFO, device, socket) is opened as a path-only
// descriptor.
//
// GetFileAttributesW follows symbolic links for the directory bit, as a Windows symbolic link to a directory carries
// FILE_ATTRIBUTE_DIRECTORY, and adds FILE_ATTRIBUTE_REPARSE_POINT for the link; a dangling link reports the link
// alone (FILE_ATTRIBUTE_REPARSE_POINT), as Windows does. Files without any write permission bit are
// FILE_ATTRIBUTE_READONLY; other files FILE_ATTRIBUTE_NORMAL. Narrow paths (the A function) are UTF-8 bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/linux/base/errors.h"
#include "platform/linux/files/fs_event.h"
#include "platform/linux/files/iocp.h"
#include "platform/linux/base/wide.h"

namespace quorvel::platform::detail {
namespace {

class File final : public Bindable {
 public:
  explicit File(int fd) : Bindable(Kind::File), fd_(fd) {}
  ~File() override { Release(); }
  void OnClose() override { Release(); }

 private:
  void Release() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  std::mutex mutex_;
  int fd_;
};

bool IsExistingDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Windows tells a missing object (its directory exists) from a missing or unusable directory on the way.
DWORD NotFoundError(const std::string& path, int error) {
  if (error == ENOTDIR) return ERROR_PATH_NOT_FOUND;
  if (error != ENOENT) return Win32FromErrno(error);
  std::string parent = path;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const auto slash = parent.rfind('/');
  if (slash == std::string::npos) {
    parent = ".";
  } else {
    parent.resize(slash == 0 ? 1 : slash);
  }
  return IsExistingDirectory(parent) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

DWORD AttributesOf(const std::string& path) {
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
  struct stat link;
  if (::lstat(path.c_str(), &link) != 0) return Fail(NotFoundError(path, errno), INVALID_FILE_ATTRIBUTES);
  DWORD attributes = 0;
  struct stat st = link;
  if (S_ISLNK(link.st_mode)) {
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (::stat(path.c_str(), &st) != 0) return attributes;  // dangling: the link itself
  }
  if (S_ISDIR(st.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

BOOL Close(HANDLE handle) {
  auto object = RemoveHandle(handle);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  object->OnClose();
  return TRUE;
}

}  // namespace
}  // namespace quorvel::platform::detail

using quorvel::platform::detail::Fail;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
  namespace d = quorvel::platform::detail;
  QUORVEL_SEAM_FAIL("CreateFileW", INVALID_HANDLE_VALUE);
  if (lpFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (dwCreationDisposition != OPEN_EXISTING) return Fail(ERROR_NOT_SUPPORTED, INVALID_HANDLE_VALUE);
  const std::string path = quorvel::platform::WideToUtf8(lpFileName);
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);

  const int located = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (located < 0) return Fail(d::NotFoundError(path, errno), INVALID_HANDLE_VALUE);
  struct stat st;
  if (::fstat(located, &st) != 0) {
    const int error = errno;
    ::close(located);
    return Fail(d::Win32FromErrno(error), INVALID_HANDLE_VALUE);
  }

  int fd;
  if (S_ISDIR(st.st_mode)) {
    if (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) {
      ::close(located);
      return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    fd = ::openat(located, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } else if ((dwDesiredAccess & (GENERIC_READ | GENERIC_WRITE | FILE_LIST_DIRECTORY)) == 0 || !S_ISREG(st.st_mode)) {
    // No data access asked for, or a special file (a FIFO, a device, a socket), whose open may block for ever:
    // the located object will do, and a read through it fails as a read of a file does.
    fd = ::fcntl(located, F_DUPFD_CLOEXEC, 0);
  } else {
    int mode = O_RDONLY;
    if (dwDesiredAccess & GENERIC_WRITE) mode = (dwDesiredAccess & GENERIC_READ) ? O_RDWR : O_WRONLY;
    // Through the located object, so a path swapped meanwhile cannot change what is opened.
    const std::string self = "/proc/self/fd/" + std::to_string(located);
    fd = ::open(self.c_str(), mode | O_CLOEXEC | O_NOCTTY);
  }
  const int error = errno;
  ::close(located);
  if (fd < 0) return Fail(d::Win32FromErrno(error), INVALID_HANDLE_VALUE);

  if (S_ISDIR(st.st_mode)) return d::InsertHandle(d::MakeDirectoryObject(fd));
  return d::InsertHandle(std::make_shared<d::File>(fd));
}

BOOL CloseHandle(HANDLE hObject) try {
  QUORVEL_SEAM_FAIL("CloseHandle", FALSE);
  return quorvel::platform::detail::Close(hObject);
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)

BOOL FindCloseChangeNotification(HANDLE hChangeHandle) {
  QUORVEL_SEAM_FAIL("FindCloseChangeNotification", FALSE);
  return quorvel::platform::detail::Close(hChangeHandle);
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
  QUORVEL_SEAM_FAIL("GetFileAttributesW", INVALID_FILE_ATTRIBUTES);
  if (lpFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_FILE_ATTRIBUTES);
  return quorvel::platform::detail::AttributesOf(quorvel::platform::WideToUtf8(lpFileName));
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
  QUORVEL_SEAM_FAIL("GetFileAttributesA", INVALID_FILE_ATTRIBUTES);
  if (lpFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_FILE_ATTRIBUTES);
  return quorvel::platform::detail::AttributesOf(lpFileName);
}
