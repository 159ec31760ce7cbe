#include "utils/known_folders.h"

#include <memory>

namespace {

struct TaskMemFree {
  void operator()(PWSTR block) const { CoTaskMemFree(block); }
};

}  // namespace

std::wstring get_known_path(const std::wstring& known_path_clsid) {
  CLSID id{};
  if (FAILED(CLSIDFromString(known_path_clsid.c_str(), &id))) return std::wstring();
  return GetKnownFolderPath(id);
}

std::wstring GetKnownFolderPath(const KNOWNFOLDERID& id) {
  PWSTR raw = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &raw);
  // The shell's string is the caller's to free whether the call succeeded or not, also when the copy throws.
  const std::unique_ptr<WCHAR, TaskMemFree> path(raw);
  if (FAILED(hr) || path == nullptr) return std::wstring();
  return std::wstring(path.get());
}
