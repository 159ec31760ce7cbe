// Copies of the C environment, and the one reader of it that the platform's functions use (platform/environment.h
// says why).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::platform {

class EnvironmentCopy {
 public:
  // Copies `environ`. The caller holds whatever orders the environment's writers (for Python code: the GIL).
  static EnvironmentCopy Take();

  std::optional<std::string> Find(std::string_view name) const;

  // While it lives, the platform's calls on this thread read `copy` instead of the environment. Scopes nest;
  // `copy` must outlive the scope.
  class Use {
   public:
    explicit Use(const EnvironmentCopy& copy);
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

   private:
    const EnvironmentCopy* previous_;
  };

 private:
  std::vector<std::string> entries_;  // "NAME=value", in the environment's order
};

namespace detail {

// The value of `name` as this thread's platform calls see it: from the copy in use, else from the C environment.
std::optional<std::string> GetEnvironmentValue(std::string_view name);

}  // namespace detail
}  // namespace quorvel::platform
