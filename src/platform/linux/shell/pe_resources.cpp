#include "platform/linux/shell/pe_resources.h"

#include <cstring>

namespace quorvel::platform::icons {
namespace {

constexpr std::uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::uint32_t kSubdirectoryBit = 0x80000000u;
constexpr std::uint32_t kDirectoryHeaderBytes = 16;
constexpr std::uint32_t kDirectoryEntryBytes = 8;

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

IconResult PeResources::Open() {
  std::uint16_t mz = 0;
  std::uint32_t nt = 0, signature = 0;
  if (!source_.U16(0, mz) || mz != 0x5A4D || !source_.U32(0x3C, nt)) return IconResult::kFailed;
  if (!source_.U32(nt, signature) || signature != kNtSignature) return IconResult::kFailed;
  const std::uint64_t coff = static_cast<std::uint64_t>(nt) + 4;
  std::uint16_t section_count = 0, optional_size = 0, magic = 0;
  if (!source_.U16(coff + 2, section_count) || !source_.U16(coff + 16, optional_size)) return IconResult::kFailed;
  const std::uint64_t optional = coff + 20;
  if (!source_.U16(optional, magic)) return IconResult::kFailed;
  std::uint32_t directories_at = 0;
  if (magic == kPe32Magic) {
    directories_at = 96;
  } else if (magic == kPe32PlusMagic) {
    directories_at = 112;
  } else {
    return IconResult::kFailed;
  }
  std::uint32_t directory_count = 0;
  if (!source_.U32(optional + directories_at - 4, directory_count)) return IconResult::kFailed;
  const std::uint32_t resource_entry = directories_at + kResourceDirectoryIndex * 8;
  if (directory_count > kResourceDirectoryIndex && resource_entry + 8 <= optional_size) {
    if (!source_.U32(optional + resource_entry, resource_rva_) ||
        !source_.U32(optional + resource_entry + 4, resource_size_)) {
      return IconResult::kFailed;
    }
  }
  std::vector<std::uint8_t> table;
  if (!source_.Bytes(optional + optional_size, static_cast<std::uint64_t>(section_count) * 40, 65535u * 40,
                     table)) {
    return IconResult::kFailed;
  }
  sections_.clear();
  for (std::uint32_t i = 0; i < section_count; ++i) {
    const std::uint8_t* s = table.data() + i * 40;
    sections_.push_back(Section{Le32(s + 12), Le32(s + 16), Le32(s + 20)});
  }
  return IconResult::kOk;
}

bool PeResources::FileOffset(std::uint32_t rva, std::uint32_t count, std::uint64_t& offset) const {
  for (const Section& s : sections_) {
    if (rva < s.rva) continue;
    const std::uint64_t within = static_cast<std::uint64_t>(rva) - s.rva;
    if (within >= s.raw_size) continue;
    if (count > s.raw_size - within) return false;  // runs past the bytes the file holds for the section
    offset = static_cast<std::uint64_t>(s.raw_offset) + within;
    return source_.Contains(offset, count);
  }
  return false;
}

bool PeResources::ReadRva(std::uint32_t rva, std::uint32_t count, void* dst) const {
  std::uint64_t offset = 0;
  return FileOffset(rva, count, offset) && source_.Read(offset, count, dst);
}

bool PeResources::Directory(std::uint32_t offset, std::vector<Entry>& entries) const {
  entries.clear();
  if (offset > resource_size_) return false;
  std::uint8_t header[kDirectoryHeaderBytes];
  const std::uint64_t rva = static_cast<std::uint64_t>(resource_rva_) + offset;
  if (rva > UINT32_MAX - kDirectoryHeaderBytes || !ReadRva(static_cast<std::uint32_t>(rva), sizeof header, header)) {
    return false;
  }
  const std::uint32_t named = header[12] | (header[13] << 8);
  const std::uint32_t ids = header[14] | (header[15] << 8);
  const std::uint32_t bytes = (named + ids) * kDirectoryEntryBytes;  // at most 131070 entries, about 1 MiB
  std::uint64_t table_offset = 0;
  if (!FileOffset(static_cast<std::uint32_t>(rva) + kDirectoryHeaderBytes, bytes, table_offset)) return false;
  std::vector<std::uint8_t> table;
  if (!source_.Bytes(table_offset, bytes, bytes, table)) return false;
  entries.reserve(named + ids);
  for (std::uint32_t i = 0; i < named + ids; ++i) {
    const std::uint32_t name = Le32(table.data() + i * kDirectoryEntryBytes);
    const std::uint32_t target = Le32(table.data() + i * kDirectoryEntryBytes + 4);
    const bool is_named = (name & kSubdirectoryBit) != 0;
    entries.push_back(Entry{is_named, is_named ? 0 : name & 0xFFFF, target});
  }
  return true;
}

bool PeResources::List(std::uint16_t type, std::vector<Entry>& entries) const {
  entries.clear();
  if (resource_rva_ == 0 || resource_size_ == 0) return true;
  std::vector<Entry> types;
  if (!Directory(0, types)) return false;
  for (const Entry& t : types) {
    if (t.named || t.id != type) continue;
    if ((t.target & kSubdirectoryBit) == 0) return false;
    return Directory(t.target & ~kSubdirectoryBit, entries);
  }
  return true;
}

bool PeResources::Read(const Entry& entry, std::uint32_t limit, std::vector<std::uint8_t>& data) const {
  if ((entry.target & kSubdirectoryBit) == 0) return false;
  std::vector<Entry> languages;
  if (!Directory(entry.target & ~kSubdirectoryBit, languages) || languages.empty()) return false;
  const std::uint32_t leaf = languages.front().target;
  if ((leaf & kSubdirectoryBit) != 0 || leaf > resource_size_) return false;  // a fourth level does not exist
  std::uint8_t data_entry[16];
  const std::uint64_t rva = static_cast<std::uint64_t>(resource_rva_) + leaf;
  if (rva > UINT32_MAX || !ReadRva(static_cast<std::uint32_t>(rva), sizeof data_entry, data_entry)) return false;
  const std::uint32_t data_rva = Le32(data_entry);
  const std::uint32_t size = Le32(data_entry + 4);
  std::uint64_t offset = 0;
  if (size > limit || !FileOffset(data_rva, size, offset)) return false;
  return source_.Bytes(offset, size, limit, data);
}

}  // namespace quorvel::platform::icons
