#include "platform/linux/shell/user_dirs.h"

namespace quorvel::platform::xdg {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view SkipBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

// The double-quoted word at the start of `s`, unescaped; `rest` gets what follows the closing quote. Nullopt for
// a missing or unterminated quote, and for a $ or ` that a shell would expand, except an unescaped $ right after
// the opening quote (`leading_dollar`), which may start $HOME.
std::optional<std::string> Unquote(std::string_view s, std::string_view& rest, bool& leading_dollar) {
  if (s.empty() || s.front() != '"') return std::nullopt;
  std::string out;
  leading_dollar = false;
  for (std::size_t i = 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      rest = s.substr(i + 1);
      return out;
    }
    if (c == '\\' && i + 1 < s.size()) {
      const char next = s[i + 1];
      if (next == '$' || next == '`' || next == '"' || next == '\\') {
        out += next;
        ++i;
        continue;
      }
    }
    if (c == '$' && i == 1) {
      leading_dollar = true;
      out += c;
      continue;
    }
    if (c == '$' || c == '`') return std::nullopt;
    out += c;
  }
  return std::nullopt;
}

std::optional<std::string> ResolveValue(const std::string& value, bool leading_dollar, std::string_view home) {
  if (leading_dollar) {
    constexpr std::string_view kHome = "$HOME";
    if (value.compare(0, kHome.size(), kHome) != 0) return std::nullopt;
    const std::string_view tail = std::string_view(value).substr(kHome.size());
    if (!tail.empty() && tail.front() != '/') return std::nullopt;  // $HOMEX names another variable
    return std::string(home) + std::string(tail);
  }
  if (value.empty() || value.front() != '/') return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> FindUserDir(std::string_view content, std::string_view name, std::string_view home) {
  const std::string key = "XDG_" + std::string(name) + "_DIR=";
  std::optional<std::string> found;
  while (!content.empty()) {
    const std::size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);

    // A NUL would cut the path where a C string ends, naming another folder.
    if (line.find('\0') != std::string_view::npos) continue;
    line = SkipBlanks(line);
    if (line.substr(0, key.size()) != key) continue;
    std::string_view rest;
    bool leading_dollar = false;
    const auto value = Unquote(line.substr(key.size()), rest, leading_dollar);
    if (!value) continue;
    // A shell would glue anything but blanks onto the word; a comment needs a blank before it.
    if (!rest.empty() && !IsBlank(rest.front())) continue;
    rest = SkipBlanks(rest);
    if (!rest.empty() && rest.front() != '#') continue;
    if (auto path = ResolveValue(*value, leading_dollar, home)) found = std::move(path);
  }
  return found;
}

}  // namespace quorvel::platform::xdg
