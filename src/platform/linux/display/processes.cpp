// Process handles. OpenProcess gives a handle of the process table only for a process that exists; the image path
// (the target of /proc/PID/exe) is read then, so the handle keeps answering after the process has ended and can
// never describe a later process that reused the id, much as a Windows process handle keeps its process object.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/linux/base/errors.h"
#include "platform/linux/base/handle_table.h"
#include "platform/linux/base/wide.h"
#include "platform/linux/display/x11_windows.h"

using quorvel::platform::detail::Fail;
namespace d = quorvel::platform::detail;

namespace quorvel::platform::detail {

std::atomic<long>& LiveProcessObjects() {
  static std::atomic<long> count{0};
  return count;
}

namespace {

class ProcessObject final : public KernelObject {
 public:
  ProcessObject(DWORD pid, DWORD access, std::string image, int image_error)
      : KernelObject(Kind::Process), pid_(pid), access_(access), image_(std::move(image)), image_error_(image_error) {
    ++LiveProcessObjects();
  }
  ~ProcessObject() override { --LiveProcessObjects(); }

  DWORD access() const { return access_; }
  const std::string& image() const { return image_; }
  int image_error() const { return image_error_; }

 private:
  DWORD pid_;
  DWORD access_;
  std::string image_;
  int image_error_;  // errno of reading the image path; 0 when it was read
};

// The image path of a running process, or the errno that kept it from being read.
std::string ReadImage(DWORD pid, int& error) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  std::string target(256, '\0');
  while (true) {
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n < 0) {
      error = errno;
      return {};
    }
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      error = 0;
      return target;
    }
    target.resize(target.size() * 2);
  }
}

}  // namespace
}  // namespace quorvel::platform::detail

HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL /*bInheritHandle*/, DWORD dwProcessId) try {
  d::CountCall("OpenProcess");
  QUORVEL_SEAM_FAIL("OpenProcess", static_cast<HANDLE>(nullptr));
  // Windows refuses the idle process (0) and any id that names no process with the same code.
  if (dwProcessId == 0) return Fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
  struct stat st;
  const std::string dir = "/proc/" + std::to_string(dwProcessId);
  if (::stat(dir.c_str(), &st) != 0) return Fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
  int error = 0;
  std::string image = d::ReadImage(dwProcessId, error);
  return d::InsertHandle(std::make_shared<d::ProcessObject>(dwProcessId, dwDesiredAccess, std::move(image), error));
} QUORVEL_WIN32_OUT_OF_MEMORY(static_cast<HANDLE>(nullptr))

BOOL QueryFullProcessImageNameW(HANDLE hProcess, DWORD dwFlags, LPWSTR lpExeName, PDWORD lpdwSize) try {
  d::CountCall("QueryFullProcessImageNameW");
  QUORVEL_SEAM_FAIL("QueryFullProcessImageNameW", FALSE);
  auto object = d::LookupHandle(hProcess);
  if (!object || object->kind() != d::KernelObject::Kind::Process) return Fail(ERROR_INVALID_HANDLE, FALSE);
  const auto& process = static_cast<const d::ProcessObject&>(*object);
  if ((dwFlags & ~PROCESS_NAME_NATIVE) != 0 || lpExeName == nullptr || lpdwSize == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if ((process.access() & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) == 0) {
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  if (process.image_error() != 0) {
    // A kernel thread has no image; another user's process may hide it.
    return Fail(process.image_error() == ENOENT ? ERROR_GEN_FAILURE : d::Win32FromErrno(process.image_error()), FALSE);
  }
  // Linux has one path form, so the native form (PROCESS_NAME_NATIVE) is the same path.
  const std::wstring path = quorvel::platform::Utf8ToWide(process.image());
  if (path.size() + 1 > *lpdwSize) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(lpExeName, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  *lpdwSize = static_cast<DWORD>(path.size());
  return TRUE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)
