// Source-located log lines through spdlog's default logger, for the components (watcher, capture). Wide format
// strings are Windows-only in spdlog, so elsewhere the text is formatted wide and logged as UTF-8.
#pragma once

#include <spdlog/spdlog.h>
#include <fmt/xchar.h>

#include <string>
#include <utility>

#ifndef _WIN32
#include "platform/linux/base/wide.h"
#endif

namespace quorvel::log {

struct Site {
  const char* file;
  int line;
  const char* function;
};

// The caller's own file and line, with the function name the caller chooses to report.
#define QUORVEL_LOG_SITE(function) (::quorvel::log::Site{__FILE__, __LINE__, function})

namespace detail {
// A shared reference, not default_logger_raw(): init_logging may replace the default on another thread, and the
// old logger must outlive every call that began with it.
inline std::shared_ptr<spdlog::logger> Logger() { return spdlog::default_logger(); }

inline spdlog::source_loc Loc(const Site& site) { return spdlog::source_loc{site.file, site.line, site.function}; }
}  // namespace detail

template <typename... Args>
void Wide(const Site& site, spdlog::level::level_enum level, fmt::wformat_string<Args...> format, Args&&... args) {
  auto logger = detail::Logger();
  if (!logger || !logger->should_log(level)) return;
#ifdef _WIN32
  logger->log(detail::Loc(site), level, format, std::forward<Args>(args)...);
#else
  const std::wstring text = fmt::format(format, std::forward<Args>(args)...);
  logger->log(detail::Loc(site), level, spdlog::string_view_t(platform::WideToUtf8(text)));
#endif
}

template <typename... Args>
void Narrow(const Site& site, spdlog::level::level_enum level, fmt::format_string<Args...> format, Args&&... args) {
  auto logger = detail::Logger();
  if (!logger || !logger->should_log(level)) return;
  logger->log(detail::Loc(site), level, format, std::forward<Args>(args)...);
}

}  // namespace quorvel::log
