// The types a watch is described and reported with; shared with the Python bindings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/win32.h"  // first, so that its macros are settled before the names below

// The kind of a reported change, and the bits of a watch's action mask.
enum class FsWatchAction : std::int32_t {
  MODIFY = 2,
  CREATE = 4,
  DELETE = 8,
  RENAME = 16,
};

// One filter of a watch: `pattern` is matched against the whole path relative to the watched directory;
// `recursive_depth` above 0 requires exactly that many separators in it, and any non-zero value makes the watch
// cover the subtree.
struct WatchFilter {
  std::wstring pattern;
  std::int32_t recursive_depth = 0;
};

// (watch id, action, full path, full old path); the views live only for the call, the old path is empty except
// for RENAME. Called on the watcher's worker thread.
using WatchHandler = std::function<void(std::uint64_t, FsWatchAction, std::wstring_view, std::wstring_view)>;
