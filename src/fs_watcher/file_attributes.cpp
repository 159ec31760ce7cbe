#include "fs_watcher/file_attributes.h"

#include "platform/win32.h"

namespace {

bool HasFileAttributes(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool HasDirectoryAttributes(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool IsFileW(const wchar_t* path) { return HasFileAttributes(GetFileAttributesW(path)); }

bool IsDirectoryW(const wchar_t* path) { return HasDirectoryAttributes(GetFileAttributesW(path)); }

bool IsFileA(const char* path) { return HasFileAttributes(GetFileAttributesA(path)); }

bool IsDirectoryA(const char* path) { return HasDirectoryAttributes(GetFileAttributesA(path)); }
