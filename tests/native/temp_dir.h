// A fresh directory under the system's temporary folder, on every host the watcher's tests run on.
#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace test_support {

inline std::filesystem::path MakeTempDir(const std::string& prefix) {
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (;;) {
    auto dir = std::filesystem::temp_directory_path() / (prefix + std::to_string(random() % 1000000000));
    if (std::filesystem::create_directory(dir)) return dir;
  }
}

// `text` with every '/' turned into the host's separator (tests write their paths with '/').
inline std::wstring HostPath(std::wstring text, wchar_t separator) {
  for (auto& c : text) {
    if (c == L'/') c = separator;
  }
  return text;
}

}  // namespace test_support
