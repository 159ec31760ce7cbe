#include "platform/linux/shell/icon_directory.h"

#include "platform/linux/shell/dib_decode.h"
#include "platform/linux/shell/png_decode.h"

namespace quorvel::platform::icons {
namespace {

constexpr std::uint16_t kIconType = 1;  // 2 is a cursor directory
constexpr std::uint64_t kHeaderBytes = 6;

std::uint32_t Side(std::uint8_t stored) { return stored == 0 ? 256 : stored; }

// Directories of old icons often leave wBitCount 0 and give the palette size instead.
std::uint32_t Depth(std::uint16_t bit_count, std::uint8_t colour_count) {
  if (bit_count != 0) return bit_count;
  std::uint32_t depth = 0;
  while (depth < 8 && (1u << depth) < colour_count) ++depth;
  return colour_count == 0 ? 0 : depth;
}

}  // namespace

IconResult ParseIconDirectory(const ByteSource& source, IconDirKind kind, std::vector<IconDirEntry>& entries) {
  std::uint16_t reserved = 0, type = 0, count = 0;
  if (!source.U16(0, reserved) || !source.U16(2, type) || !source.U16(4, count)) return IconResult::kFailed;
  if (reserved != 0 || type != kIconType) return IconResult::kFailed;
  if (count == 0) return IconResult::kNoIcon;
  if (count > kMaxIconEntries) return IconResult::kFailed;
  const std::uint64_t entry_bytes = kind == IconDirKind::kIcoFile ? 16 : 14;
  std::vector<std::uint8_t> table;
  if (!source.Bytes(kHeaderBytes, entry_bytes * count, entry_bytes * kMaxIconEntries, table)) {
    return IconResult::kFailed;
  }
  entries.clear();
  entries.reserve(count);
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::uint8_t* e = table.data() + i * entry_bytes;
    IconDirEntry entry;
    entry.width = Side(e[0]);
    entry.height = Side(e[1]);
    entry.bit_count = Depth(static_cast<std::uint16_t>(e[6] | (e[7] << 8)), e[2]);
    entry.bytes = static_cast<std::uint32_t>(e[8]) | (static_cast<std::uint32_t>(e[9]) << 8) |
                  (static_cast<std::uint32_t>(e[10]) << 16) | (static_cast<std::uint32_t>(e[11]) << 24);
    entry.locator = kind == IconDirKind::kIcoFile
                        ? static_cast<std::uint32_t>(e[12]) | (static_cast<std::uint32_t>(e[13]) << 8) |
                              (static_cast<std::uint32_t>(e[14]) << 16) | (static_cast<std::uint32_t>(e[15]) << 24)
                        : static_cast<std::uint32_t>(e[12] | (e[13] << 8));
    entries.push_back(entry);
  }
  return IconResult::kOk;
}

std::size_t ChooseIconEntry(std::span<const IconDirEntry> entries, std::uint32_t cx, std::uint32_t cy) {
  auto area = [](const IconDirEntry& e) { return static_cast<std::uint64_t>(e.width) * e.height; };
  std::size_t best = entries.size();
  bool best_fits = false;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const IconDirEntry& e = entries[i];
    const bool fits = e.width >= cx && e.height >= cy;
    if (best == entries.size() || (fits && !best_fits)) {
      best = i;
      best_fits = fits;
      continue;
    }
    if (fits != best_fits) continue;
    const IconDirEntry& b = entries[best];
    const bool better_size = fits ? area(e) < area(b) : area(e) > area(b);
    if (better_size || (area(e) == area(b) && e.bit_count > b.bit_count)) best = i;
  }
  return best;
}

bool DecodeIconImage(std::span<const std::uint8_t> bytes, IconImage& out) {
  return HasPngSignature(bytes) ? DecodePng(bytes, out) : DecodeDibIcon(bytes, out);
}

IconResult ReadIcoFile(const ByteSource& source, std::uint32_t cx, std::uint32_t cy, IconImage& out) {
  std::vector<IconDirEntry> entries;
  IconResult parsed = ParseIconDirectory(source, IconDirKind::kIcoFile, entries);
  if (parsed != IconResult::kOk) return parsed;
  const IconDirEntry& chosen = entries[ChooseIconEntry(entries, cx, cy)];
  std::vector<std::uint8_t> image;
  if (!source.Bytes(chosen.locator, chosen.bytes, kMaxIconImageBytes, image)) return IconResult::kFailed;
  return DecodeIconImage(image, out) ? IconResult::kOk : IconResult::kFailed;
}

}  // namespace quorvel::platform::icons
