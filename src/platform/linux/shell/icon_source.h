// Where the shell's icons come from on Linux: the icon resources of PE files (.exe, .dll) and .ico files, and the
// desktop's icon theme for folders and every other file. Decoding only: the shell item, PrivateExtractIconsW and
// GDI turn an IconImage into GDI objects. Every reader is bounded: hostile or truncated files fail, never crash,
// never read out of bounds and never allocate more than kMaxIconSide squared pixels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvel::platform::icons {

// `width` x `height` pixels, top row first, each 0xAARRGGBB with straight (not premultiplied) alpha: the bytes
// B, G, R, A in memory, as a 32-bit BI_RGB DIB holds them. A pixel an icon's AND mask hides is 0.
struct IconImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint32_t> pixels;
};

// No reader makes or accepts an image wider or taller than this.
inline constexpr std::uint32_t kMaxIconSide = 1024;

enum class IconResult {
  kOk,
  kNoSuchItem,  // the path names nothing
  kNoIcon,      // the file holds no icon (or fewer groups than the index asked for)
  kFailed,      // unreadable, truncated or malformed
};

// The icon the shell shows for `path` (bytes as on disk), chosen for width x height: the smallest image at least
// that large, else the largest. .exe/.dll: the first icon group (the theme's generic executable icon when there
// is none or the file is no readable PE image); .ico: its entries; folders and other files: the icon theme's icon
// for the item's type (shell_icon.cpp has the whole policy). kOk for every existing item (the built-in icon when
// no theme is installed), kNoSuchItem when the path names nothing (or is empty).
IconResult LoadShellIcon(const std::string& path, std::uint32_t width, std::uint32_t height, IconImage& out);

// The icon group at `index` of the PE or .ico file at `path`, chosen for cx x cy as above.
IconResult LoadFileIcon(const std::string& path, std::uint32_t index, std::uint32_t cx, std::uint32_t cy,
                        IconImage& out);

// How many icon groups the PE or .ico file at `path` holds (0 when none, or when it is no such file).
std::uint32_t CountFileIcons(const std::string& path);

}  // namespace quorvel::platform::icons
