#include "fs_watcher/path_join.h"

#include "platform/path.h"

using quorvel::platform::IsPathSeparator;
using quorvel::platform::kPathSeparator;

void AppendPathPart(std::wstring& dest, std::wstring_view part) {
  if (dest.empty()) {
    dest.append(part);
    return;
  }
  const bool part_has_separator = IsPathSeparator(part.at(0));  // throws for an empty part
  if (IsPathSeparator(dest.back())) {
    dest.append(part_has_separator ? part.substr(1) : part);
  } else {
    if (!part_has_separator) dest.push_back(kPathSeparator);
    dest.append(part);
  }
}

void AppendPathPart(std::wstring& dest, const std::wstring& part) { AppendPathPart(dest, std::wstring_view(part)); }

std::size_t PathPartLength(std::wstring_view part) { return part.size() + 1; }

std::size_t PathPartLength(const std::wstring& part) { return PathPartLength(std::wstring_view(part)); }

std::wstring JoinPath(const std::wstring& base, std::wstring part) {
  std::wstring result;
  result.reserve(PathPartLength(base) + PathPartLength(part));
  AppendPathPart(result, base);
  AppendPathPart(result, std::wstring_view(part));
  result.shrink_to_fit();
  return result;
}
