#include "platform/linux/shell/icon_theme.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "platform/linux/shell/byte_source.h"
#include "platform/linux/base/environment.h"
#include "platform/linux/shell/png_decode.h"

namespace quorvel::platform::icons {
namespace {

const char* const kThemes[] = {"Adwaita", "hicolor"};
// Theme PNGs are at most 512 x 512 in practice; this bounds what one file may make us read.
constexpr std::uint64_t kMaxThemeFileBytes = 8u << 20;

struct SizeDir {
  std::uint32_t size;
  std::string path;  // <base>/<theme>/<N>x<N>/<context>
};

bool IsAbsolute(const std::optional<std::string>& path) { return path && !path->empty() && path->front() == '/'; }

std::vector<std::string> IconBases() {
  using detail::GetEnvironmentValue;
  std::vector<std::string> bases;
  const std::optional<std::string> home = GetEnvironmentValue("HOME");
  const std::optional<std::string> data_home = GetEnvironmentValue("XDG_DATA_HOME");
  if (IsAbsolute(data_home)) {
    bases.push_back(*data_home + "/icons");
  } else if (IsAbsolute(home)) {
    bases.push_back(*home + "/.local/share/icons");
  }
  if (IsAbsolute(home)) bases.push_back(*home + "/.icons");
  const std::optional<std::string> dirs = GetEnvironmentValue("XDG_DATA_DIRS");
  std::string_view list = dirs && !dirs->empty() ? std::string_view(*dirs) : "/usr/local/share:/usr/share";
  while (!list.empty()) {
    const std::size_t colon = list.find(':');
    std::string_view dir = list.substr(0, colon);
    if (!dir.empty() && dir.front() == '/') bases.push_back(std::string(dir) + "/icons");
    list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
  }
  return bases;
}

// "48x48" gives 48; anything else (scalable, 48x48@2, symbolic) gives 0.
std::uint32_t SideOf(std::string_view name) {
  const std::size_t x = name.find('x');
  if (x == std::string_view::npos || x == 0 || name.substr(0, x) != name.substr(x + 1)) return 0;
  std::uint32_t side = 0;
  auto [end, error] = std::from_chars(name.data(), name.data() + x, side);
  if (error != std::errc() || end != name.data() + x || side > kMaxIconSide) return 0;
  return side;
}

std::vector<SizeDir> ThemeDirs(const std::vector<std::string>& bases, const char* theme) {
  namespace fs = std::filesystem;
  std::vector<SizeDir> dirs;
  for (const std::string& base : bases) {
    std::error_code ec;
    for (fs::directory_iterator size_it(base + "/" + theme, ec), end; !ec && size_it != end; size_it.increment(ec)) {
      const std::uint32_t side = SideOf(size_it->path().filename().native());
      if (side == 0) continue;
      std::error_code inner;
      for (fs::directory_iterator ctx(size_it->path(), inner); !inner && ctx != end; ctx.increment(inner)) {
        dirs.push_back(SizeDir{side, ctx->path().native()});
      }
    }
  }
  return dirs;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The files for `name` in one theme, the preferred size first.
std::vector<SizeDir> Candidates(const std::vector<SizeDir>& dirs, const std::string& name, std::uint32_t cx,
                                std::uint32_t cy) {
  std::vector<SizeDir> found;
  for (const SizeDir& dir : dirs) {
    std::string file = dir.path + "/" + name + ".png";
    if (IsRegularFile(file)) found.push_back(SizeDir{dir.size, std::move(file)});
  }
  std::stable_sort(found.begin(), found.end(), [&](const SizeDir& a, const SizeDir& b) {
    const bool a_fits = a.size >= cx && a.size >= cy;
    const bool b_fits = b.size >= cx && b.size >= cy;
    if (a_fits != b_fits) return a_fits;
    return a_fits ? a.size < b.size : a.size > b.size;
  });
  return found;
}

bool DecodeFile(const std::string& path, IconImage& out) {
  FileSource file;
  std::vector<std::uint8_t> bytes;
  return file.Open(path) == FileSource::OpenResult::kOk && file.Bytes(0, file.Size(), kMaxThemeFileBytes, bytes) &&
         DecodePng(bytes, out);
}

template <typename Visit>
bool Search(const std::vector<std::string>& names, std::uint32_t cx, std::uint32_t cy, Visit visit) {
  const std::vector<std::string> bases = IconBases();
  std::vector<std::vector<SizeDir>> themes;
  for (const char* theme : kThemes) themes.push_back(ThemeDirs(bases, theme));
  for (const std::string& name : names) {
    if (name.empty() || name.find('/') != std::string::npos) continue;
    for (const std::vector<SizeDir>& dirs : themes) {
      for (const SizeDir& candidate : Candidates(dirs, name, cx, cy)) {
        if (visit(candidate.path)) return true;
      }
    }
  }
  return false;
}

}  // namespace

bool FindThemeIcon(const std::vector<std::string>& names, std::uint32_t cx, std::uint32_t cy, std::string& path) {
  return Search(names, cx, cy, [&](const std::string& file) {
    path = file;
    return true;
  });
}

void LoadThemeIcon(const std::vector<std::string>& names, std::uint32_t cx, std::uint32_t cy, IconImage& out) {
  if (!Search(names, cx, cy, [&](const std::string& file) { return DecodeFile(file, out); })) out = BuiltinIcon();
}

IconImage BuiltinIcon() {
  constexpr std::uint32_t kSide = 32;
  constexpr std::uint32_t kPaper = 0xFFFFFFFFu, kEdge = 0xFF808080u, kLine = 0xFFB0B0B0u;
  IconImage image;
  image.width = image.height = kSide;
  image.pixels.assign(kSide * kSide, 0);
  for (std::uint32_t y = 2; y < 30; ++y) {
    for (std::uint32_t x = 6; x < 26; ++x) {
      const bool edge = y == 2 || y == 29 || x == 6 || x == 25;
      const bool line = !edge && y >= 8 && y <= 24 && y % 4 == 0 && x >= 9 && x <= 22;
      image.pixels[y * kSide + x] = edge ? kEdge : line ? kLine : kPaper;
    }
  }
  return image;
}

}  // namespace quorvel::platform::icons
