// The directory of an icon: the ICONDIR header and its entries, as an .ico file holds it (16-byte entries that
// give a file offset) and as an RT_GROUP_ICON resource holds it (14-byte entries that give the RT_ICON id); the
// choice of one entry for a requested size; and the decoding of an entry's image (PNG or BMP).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/linux/shell/byte_source.h"
#include "platform/linux/shell/icon_source.h"

namespace quorvel::platform::icons {

struct IconDirEntry {
  std::uint32_t width = 0;   // a 0 in the directory reads as 256
  std::uint32_t height = 0;
  std::uint32_t bit_count = 0;
  std::uint32_t bytes = 0;    // size of the image data
  std::uint32_t locator = 0;  // .ico: file offset of the image; group resource: its RT_ICON id
};

enum class IconDirKind { kIcoFile, kResourceGroup };

// No real icon has more than a few dozen images; a directory claiming more is refused.
inline constexpr std::uint32_t kMaxIconEntries = 1024;
// A 1024 x 1024 32-bit BMP image with its mask takes just over 4 MiB; no image of an accepted size needs more.
inline constexpr std::uint32_t kMaxIconImageBytes = 8u << 20;

// kOk with at least one entry, kNoIcon for a well-formed directory without entries, kFailed otherwise.
IconResult ParseIconDirectory(const ByteSource& source, IconDirKind kind, std::vector<IconDirEntry>& entries);

// The smallest entry (by area) that is at least cx wide and cy high, else the largest; between equal sizes the
// deeper colour, then the first. `entries` must not be empty.
std::size_t ChooseIconEntry(std::span<const IconDirEntry> entries, std::uint32_t cx, std::uint32_t cy);

// An entry's image: PNG when it starts with the PNG signature, else a BMP (DIB) icon image.
bool DecodeIconImage(std::span<const std::uint8_t> bytes, IconImage& out);

// The image of the .ico file in `source` chosen for cx x cy.
IconResult ReadIcoFile(const ByteSource& source, std::uint32_t cx, std::uint32_t cy, IconImage& out);

}  // namespace quorvel::platform::icons
