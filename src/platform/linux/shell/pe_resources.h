// The resource table of a PE image (.exe, .dll; PE32 and PE32+) read straight from the file: the resource data
// directory, the sections that map its RVAs to file offsets, and the three levels type / name / language.
//
// Order: resources of a type are listed in the order the directory stores them, named entries first and then
// integer ids, which is the order EnumResourceNames reports and so the order in which PrivateExtractIconsW and
// the shell number icon groups (index 0 is "the first icon group"). Linkers store names sorted and ids
// ascending, as the format requires; a table stored out of order is taken as stored, as Windows takes it.
// Language: the first one stored under a name (Windows would prefer the user's UI language; an icon's group and
// images normally share one language).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/linux/shell/byte_source.h"
#include "platform/linux/shell/icon_source.h"

namespace quorvel::platform::icons {

inline constexpr std::uint16_t kRtIcon = 3;
inline constexpr std::uint16_t kRtGroupIcon = 14;

class PeResources {
 public:
  struct Entry {
    bool named = false;
    std::uint32_t id = 0;      // integer id (0 for a named entry)
    std::uint32_t target = 0;  // offset of its language directory (or data entry) in the resource section
  };

  explicit PeResources(const ByteSource& source) : source_(source) {}

  // kOk for a PE image (with or without resources), kFailed for anything else or a malformed header.
  IconResult Open();

  // The entries of one resource type, in stored order; empty when the type or the whole table is absent.
  // False when the table is malformed.
  bool List(std::uint16_t type, std::vector<Entry>& entries) const;

  // The data of an entry's first language, refused above `limit` bytes.
  bool Read(const Entry& entry, std::uint32_t limit, std::vector<std::uint8_t>& data) const;

 private:
  struct Section {
    std::uint32_t rva;
    std::uint32_t raw_size;
    std::uint32_t raw_offset;
  };
  bool FileOffset(std::uint32_t rva, std::uint32_t count, std::uint64_t& offset) const;
  bool ReadRva(std::uint32_t rva, std::uint32_t count, void* dst) const;
  bool Directory(std::uint32_t offset, std::vector<Entry>& entries) const;

  const ByteSource& source_;
  std::vector<Section> sections_;
  std::uint32_t resource_rva_ = 0;
  std::uint32_t resource_size_ = 0;
};

}  // namespace quorvel::platform::icons
