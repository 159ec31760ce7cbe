// SHGetKnownFolderPath: Windows' known folders mapped to the calling user's folders on Linux.
//
// The one mapping table is kKnownFolders below (the README documents it). The user directories come from
// $XDG_CONFIG_HOME/user-dirs.dirs (user_dirs.h), localized names included; one that the file does not set is
// what Debian's xdg-user-dir answers: $HOME/Desktop for the desktop, $HOME for the others. The application-data
// folders are the XDG base directories ($XDG_CONFIG_HOME, $XDG_DATA_HOME; a value that is not absolute is
// ignored, as the base-directory rules say). $HOME is the profile; when it is unset, empty or relative, the
// user's home from the password database.
//
// Nothing is cached: each call reads the environment (the calling thread's copy when it has one,
// platform/environment.h) and the file, so a changed HOME or user-dirs.dirs is seen at once. The file is read
// only when it is a regular file of at most kMaxUserDirsFile bytes (a FIFO, a device or a huge file counts as
// absent), and opening it never waits. Paths are bytes on disk and reach the caller with undecodable bytes as U+DC80..U+DCFF.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/base/errors.h"
#include "platform/linux/base/wide.h"
#include "platform/linux/shell/byte_source.h"
#include "platform/linux/base/environment.h"
#include "platform/linux/shell/user_dirs.h"
#include "platform/linux/shell/win32_known_folders.h"

namespace {

struct KnownFolder {
  const KNOWNFOLDERID* id;
  const char* user_dir;       // XDG_<user_dir>_DIR in user-dirs.dirs, or null
  const char* base_variable;  // an XDG base-directory variable, or null
  const char* home_default;   // appended to $HOME when neither gives a path
};

constexpr KnownFolder kKnownFolders[] = {
    {&FOLDERID_Profile, nullptr, nullptr, ""},
    {&FOLDERID_Desktop, "DESKTOP", nullptr, "/Desktop"},
    {&FOLDERID_Documents, "DOCUMENTS", nullptr, ""},
    {&FOLDERID_Downloads, "DOWNLOAD", nullptr, ""},
    {&FOLDERID_Music, "MUSIC", nullptr, ""},
    {&FOLDERID_Pictures, "PICTURES", nullptr, ""},
    {&FOLDERID_Videos, "VIDEOS", nullptr, ""},
    {&FOLDERID_Templates, "TEMPLATES", nullptr, ""},
    {&FOLDERID_Public, "PUBLICSHARE", nullptr, ""},
    {&FOLDERID_RoamingAppData, nullptr, "XDG_CONFIG_HOME", "/.config"},
    {&FOLDERID_LocalAppData, nullptr, "XDG_DATA_HOME", "/.local/share"},
    {&FOLDERID_LocalAppDataLow, nullptr, "XDG_DATA_HOME", "/.local/share"},  // no integrity levels here
    {&FOLDERID_SavedGames, nullptr, "XDG_DATA_HOME", "/.local/share"},       // where Linux games keep saves
};

// user-dirs.dirs is a few hundred bytes; a larger file is no such file (reading part of it could miss the last
// assignment of a name, which is the one that counts).
constexpr std::uint64_t kMaxUserDirsFile = 64 * 1024;

std::optional<std::string> AbsoluteVariable(const char* name) {
  std::optional<std::string> value = quorvel::platform::detail::GetEnvironmentValue(name);
  if (!value || value->empty() || value->front() != '/') return std::nullopt;
  return value;
}

std::optional<std::string> HomeDirectory() {
  if (auto home = AbsoluteVariable("HOME")) return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (result == nullptr || result->pw_dir == nullptr || result->pw_dir[0] != '/') return std::nullopt;
  return std::string(result->pw_dir);
}

std::string ConfigHome(const std::string& home) {
  if (auto config = AbsoluteVariable("XDG_CONFIG_HOME")) return *config;
  return home + "/.config";
}

std::optional<std::string> UserDirFromFile(const std::string& home, const char* name) {
  using quorvel::platform::icons::FileSource;
  FileSource file;
  std::vector<std::uint8_t> bytes;
  if (file.Open(ConfigHome(home) + "/user-dirs.dirs") != FileSource::OpenResult::kOk ||
      !file.Bytes(0, file.Size(), kMaxUserDirsFile, bytes)) {
    return std::nullopt;
  }
  const std::string_view content(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return quorvel::platform::xdg::FindUserDir(content, name, home);
}

// The path of `folder`, or a failed HRESULT.
HRESULT ResolveFolder(const KnownFolder& folder, std::string& path) {
  const auto home = HomeDirectory();
  if (!home) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  std::optional<std::string> found;
  if (folder.user_dir != nullptr) found = UserDirFromFile(*home, folder.user_dir);
  if (!found && folder.base_variable != nullptr) found = AbsoluteVariable(folder.base_variable);
  path = found ? std::move(*found) : *home + folder.home_default;
  return S_OK;
}

HRESULT VerifyDirectory(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return HRESULT_FROM_WIN32(quorvel::platform::detail::Win32FromErrno(errno));
  if (!S_ISDIR(st.st_mode)) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  return S_OK;
}

PWSTR CopyToTaskMemory(const std::wstring& text) {
  auto* block = static_cast<PWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
  if (block == nullptr) return nullptr;
  text.copy(block, text.size());
  block[text.size()] = L'\0';
  return block;
}

}  // namespace

HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID rfid, DWORD dwFlags, HANDLE hToken, PWSTR* ppszPath) {
  if (ppszPath == nullptr) return E_INVALIDARG;
  *ppszPath = nullptr;
  if (hToken != nullptr) return E_INVALIDARG;
  const KnownFolder* folder = nullptr;
  for (const KnownFolder& candidate : kKnownFolders) {
    if (*candidate.id == rfid) folder = &candidate;
  }
  if (folder == nullptr) return E_INVALIDARG;  // what Windows answers for an identifier not present on the system

  try {
    std::string path;
    if (const HRESULT hr = ResolveFolder(*folder, path); FAILED(hr)) return hr;
    if ((dwFlags & KF_FLAG_DONT_VERIFY) == 0) {
      if (const HRESULT hr = VerifyDirectory(path); FAILED(hr)) return hr;
    }
    *ppszPath = CopyToTaskMemory(quorvel::platform::Utf8ToWide(path));
    if (*ppszPath == nullptr) return E_OUTOFMEMORY;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  DWORD seam_error = ERROR_SUCCESS;
  if (quorvel::platform::detail::SeamConsumeFailure("SHGetKnownFolderPath", seam_error)) {
    return HRESULT_FROM_WIN32(seam_error);
  }
  return S_OK;
}
