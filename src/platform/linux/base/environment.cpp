#include "platform/linux/base/environment.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace quorvel::platform {
namespace {

thread_local const EnvironmentCopy* copy_in_use = nullptr;

}  // namespace

EnvironmentCopy EnvironmentCopy::Take() {
  EnvironmentCopy copy;
  if (environ == nullptr) return copy;
  std::size_t count = 0;
  while (environ[count] != nullptr) ++count;
  copy.entries_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) copy.entries_.emplace_back(environ[i]);
  return copy;
}

std::optional<std::string> EnvironmentCopy::Find(std::string_view name) const {
  // The first entry of a name wins, as getenv has it.
  for (const std::string& entry : entries_) {
    if (entry.size() > name.size() && entry[name.size()] == '=' && entry.compare(0, name.size(), name) == 0) {
      return entry.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

EnvironmentCopy::Use::Use(const EnvironmentCopy& copy) : previous_(copy_in_use) { copy_in_use = &copy; }

EnvironmentCopy::Use::~Use() { copy_in_use = previous_; }

namespace detail {

std::optional<std::string> GetEnvironmentValue(std::string_view name) {
  if (name.empty() || name.find('=') != std::string_view::npos || name.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  if (copy_in_use != nullptr) return copy_in_use->Find(name);
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace detail
}  // namespace quorvel::platform
