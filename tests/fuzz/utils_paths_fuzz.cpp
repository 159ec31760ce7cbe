// fuzz-sources: src/platform/linux/shell/guid_from_string.cpp src/platform/linux/shell/expand_environment.cpp src/platform/linux/base/environment.cpp src/platform/linux/shell/user_dirs.cpp src/platform/linux/base/wide.cpp src/platform/linux/base/last_error.cpp
// The parsers of the known-folder layer on arbitrary text: CLSIDFromString, ExpandEnvironmentStringsW with every
// buffer size that matters, and the user-dirs.dirs reader. Beyond not crashing, each checks what it must keep:
// an accepted GUID prints back as its input, and a short buffer reports the same size and a prefix of the
// expansion that a large one holds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <string>
#include <string_view>

#include "platform/linux/base/errors.h"
#include "platform/linux/shell/user_dirs.h"
#include "platform/linux/base/wide.h"
#include "platform/linux/shell/win32_known_folders.h"

// The parsers' only use of the test seam is its failure hook; nothing is ever armed here.
bool quorvel::platform::detail::SeamConsumeFailure(std::string_view, DWORD&) { return false; }

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
  }
}

void FuzzGuid(const std::wstring& text) {
  CLSID id;
  const HRESULT hr = CLSIDFromString(text.c_str(), &id);
  if (FAILED(hr)) {
    Check(hr == CO_E_CLASSSTRING && id == GUID{}, "a refused string leaves the null GUID");
    return;
  }
  wchar_t printed[39];
  std::swprintf(printed, 39, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id.Data1, id.Data2, id.Data3,
                id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6],
                id.Data4[7]);
  const std::wstring input(text.c_str());  // up to the first NUL, as the parser reads it
  Check(input.size() == 38, "an accepted GUID string has 38 characters");
  for (std::size_t i = 0; i < 38; ++i) Check(std::towupper(input[i]) == printed[i], "an accepted GUID prints back");
}

void FuzzExpansion(const std::wstring& text) {
  const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  Check(needed > 0, "a size query succeeds");
  std::wstring full(needed, L'#');
  Check(ExpandEnvironmentStringsW(text.c_str(), full.data(), needed) == needed, "the reported size is enough");
  Check(full[needed - 1] == L'\0' && std::wstring(full.c_str()).size() == needed - 1, "terminated at count - 1");
  if (text.find(L'%') == std::wstring::npos) Check(full.c_str() == std::wstring(text.c_str()), "no % no change");
  for (const DWORD size : {DWORD{1}, needed / 2, needed - 1}) {
    if (size == 0 || size >= needed) continue;
    std::wstring part(size, L'#');
    Check(ExpandEnvironmentStringsW(text.c_str(), part.data(), size) == needed, "a short buffer gets the size");
    Check(part[size - 1] == L'\0' && full.compare(0, size - 1, part.c_str()) == 0, "a short buffer gets a prefix");
  }
}

void FuzzUserDirs(std::string_view content) {
  for (const char* name : {"DESKTOP", "MUSIC"}) {
    const auto dir = quorvel::platform::xdg::FindUserDir(content, name, "/home/u");
    if (dir) Check(!dir->empty() && dir->front() == '/', "a user directory is absolute");
    if (dir) Check(dir->find('\0') == std::string::npos, "a user directory holds no NUL");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("A", "alpha", 1);
  setenv("EMPTY", "", 1);
  setenv("PCT", "%A%", 1);
  setenv("LONG", std::string(700, 'L').c_str(), 1);
  setenv("BAD", "\xff\xfe", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::wstring text = quorvel::platform::Utf8ToWide(bytes);
  FuzzGuid(text);
  FuzzExpansion(text);
  FuzzUserDirs(bytes);
  return 0;
}
