#include "module/version_check.h"

#include <cstring>

namespace quorvel {

bool InterpreterVersionAccepted(const char* runtime_version, const char* compiled_version) {
  if (runtime_version == nullptr) return false;
  const std::size_t length = std::strlen(compiled_version);
  if (std::strncmp(runtime_version, compiled_version, length) != 0) return false;
  const char next = runtime_version[length];
  return next < '0' || next > '9';
}

}  // namespace quorvel
