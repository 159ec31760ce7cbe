#include "platform/linux/shell/icon_file.h"

#include <algorithm>
#include <vector>

#include "platform/linux/shell/icon_directory.h"
#include "platform/linux/shell/pe_resources.h"

namespace quorvel::platform::icons {
namespace {

enum class Kind { kPe, kIco, kOther };

Kind Sniff(const ByteSource& source) {
  std::uint16_t first = 0, second = 0;
  if (!source.U16(0, first)) return Kind::kOther;
  if (first == 0x5A4D) return Kind::kPe;
  if (first == 0 && source.U16(2, second) && second == 1) return Kind::kIco;
  return Kind::kOther;
}

// A group directory holds at most kMaxIconEntries entries of 14 bytes after its 6-byte header.
constexpr std::uint32_t kMaxGroupBytes = 6 + 14 * kMaxIconEntries;

IconResult ReadPeIcon(const ByteSource& source, std::uint32_t index, std::uint32_t cx, std::uint32_t cy,
                      IconImage& out) {
  PeResources pe(source);
  if (pe.Open() != IconResult::kOk) return IconResult::kFailed;
  std::vector<PeResources::Entry> groups;
  if (!pe.List(kRtGroupIcon, groups)) return IconResult::kFailed;
  if (index >= groups.size()) return IconResult::kNoIcon;
  std::vector<std::uint8_t> group_bytes;
  if (!pe.Read(groups[index], kMaxGroupBytes, group_bytes)) return IconResult::kFailed;
  std::vector<IconDirEntry> entries;
  IconResult parsed = ParseIconDirectory(MemorySource(group_bytes), IconDirKind::kResourceGroup, entries);
  if (parsed != IconResult::kOk) return parsed;
  const IconDirEntry& chosen = entries[ChooseIconEntry(entries, cx, cy)];
  std::vector<PeResources::Entry> images;
  if (!pe.List(kRtIcon, images)) return IconResult::kFailed;
  auto image = std::find_if(images.begin(), images.end(),
                            [&](const PeResources::Entry& e) { return !e.named && e.id == chosen.locator; });
  if (image == images.end()) return IconResult::kFailed;
  std::vector<std::uint8_t> image_bytes;
  if (!pe.Read(*image, kMaxIconImageBytes, image_bytes)) return IconResult::kFailed;
  return DecodeIconImage(image_bytes, out) ? IconResult::kOk : IconResult::kFailed;
}

}  // namespace

IconResult ReadFileIcon(const ByteSource& source, std::uint32_t index, std::uint32_t cx, std::uint32_t cy,
                        IconImage& out) {
  switch (Sniff(source)) {
    case Kind::kPe: return ReadPeIcon(source, index, cx, cy, out);
    case Kind::kIco: return index == 0 ? ReadIcoFile(source, cx, cy, out) : IconResult::kNoIcon;
    case Kind::kOther: break;
  }
  return IconResult::kFailed;
}

std::uint32_t CountIconGroups(const ByteSource& source) {
  switch (Sniff(source)) {
    case Kind::kPe: {
      PeResources pe(source);
      std::vector<PeResources::Entry> groups;
      if (pe.Open() != IconResult::kOk || !pe.List(kRtGroupIcon, groups)) return 0;
      return static_cast<std::uint32_t>(groups.size());
    }
    case Kind::kIco: {
      std::vector<IconDirEntry> entries;
      return ParseIconDirectory(source, IconDirKind::kIcoFile, entries) == IconResult::kOk ? 1 : 0;
    }
    case Kind::kOther: break;
  }
  return 0;
}

IconResult LoadFileIcon(const std::string& path, std::uint32_t index, std::uint32_t cx, std::uint32_t cy,
                        IconImage& out) {
  FileSource file;
  switch (file.Open(path)) {
    case FileSource::OpenResult::kOk: break;
    case FileSource::OpenResult::kMissing: return IconResult::kNoSuchItem;
    case FileSource::OpenResult::kNotRegular: return IconResult::kNoIcon;
    case FileSource::OpenResult::kUnreadable: return IconResult::kFailed;
  }
  return ReadFileIcon(file, index, cx, cy, out);
}

std::uint32_t CountFileIcons(const std::string& path) {
  FileSource file;
  return file.Open(path) == FileSource::OpenResult::kOk ? CountIconGroups(file) : 0;
}

}  // namespace quorvel::platform::icons
