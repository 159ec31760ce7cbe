// Malformed and truncated icon sources: each case names a bound the reader must keep (offsets inside the file,
// sizes capped before allocation, no loops in the resource tree). Breadth is the fuzzer's job
// (tests/fuzz/icon_reader_fuzz.cpp); these pin the cases that once written are easy to break silently.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "icon_test_support.h"
#include "platform/linux/shell/byte_source.h"
#include "platform/linux/shell/icon_file.h"

namespace quorvel {
namespace {

using platform::icons::IconImage;
using platform::icons::IconResult;
using platform::icons::MemorySource;
using platform::icons::ReadFileIcon;
using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = v & 0xFF;
  b[at + 1] = (v >> 8) & 0xFF;
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

// A 2x2 8-bit DIB icon image with its colour table and mask.
Bytes Dib(std::int32_t width = 2, std::int32_t height = 2, std::uint16_t bits = 8, std::uint32_t colours_used = 0,
          bool with_mask = true) {
  Bytes b;
  Put32(b, 0, 40);
  Put32(b, 4, static_cast<std::uint32_t>(width));
  Put32(b, 8, static_cast<std::uint32_t>(height * 2));
  Put16(b, 12, 1);
  Put16(b, 14, bits);
  Put32(b, 32, colours_used);
  b.resize(40);
  if (bits <= 8) b.resize(b.size() + 4 * (1u << bits), 0x40);
  const std::size_t rows = static_cast<std::size_t>(height < 0 ? 0 : height);
  const std::size_t w = static_cast<std::size_t>(width < 0 ? 0 : width);
  b.resize(b.size() + (w * bits + 31) / 32 * 4 * rows, 0x7F);  // every 32-bit alpha byte non-zero
  if (with_mask) b.resize(b.size() + (w + 31) / 32 * 4 * rows, 0);
  return b;
}

Bytes Png(std::uint32_t width, std::uint32_t height) {
  Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  b.resize(16 + 13 + 4);
  b[16] = width >> 24, b[17] = width >> 16, b[18] = width >> 8, b[19] = width;
  b[20] = height >> 24, b[21] = height >> 16, b[22] = height >> 8, b[23] = height;
  b[24] = 8, b[25] = 6;
  return b;  // CRC left wrong: a reader must stop at the size or the CRC, either way with a failure
}

// An .ico file with one entry holding `image`; the entry's size and offset may be overridden.
Bytes Ico(const Bytes& image, std::uint32_t count = 1, std::int64_t size = -1, std::int64_t offset = -1) {
  Bytes b;
  Put16(b, 0, 0);
  Put16(b, 2, 1);
  Put16(b, 4, count);
  b.resize(22);
  b[6] = 2, b[7] = 2;
  Put16(b, 10, 1);
  Put16(b, 12, 8);
  Put32(b, 14, size < 0 ? static_cast<std::uint32_t>(image.size()) : static_cast<std::uint32_t>(size));
  Put32(b, 18, offset < 0 ? 22u : static_cast<std::uint32_t>(offset));
  b.insert(b.end(), image.begin(), image.end());
  return b;
}

// A PE32+ file with one section at RVA 0x1000 holding a resource tree: RT_ICON id 1 (a 2x2 image) and
// RT_GROUP_ICON id 1 naming it. `mutate` edits the section before it is placed.
constexpr std::uint32_t kSectionRva = 0x1000;
constexpr std::size_t kRootTypeGroupEntry = 16 + 8;  // second entry of the root: RT_GROUP_ICON
constexpr std::size_t kIconDataEntry = 0x90;
constexpr std::size_t kGroupBytes = 0xC0;

Bytes Pe(const std::function<void(Bytes&)>& mutate = nullptr) {
  Bytes r(0xD0, 0);
  auto dir = [&](std::size_t at, std::uint32_t id, std::uint32_t target) {
    Put16(r, at + 14, 1);  // one integer entry
    Put32(r, at + 16, id);
    Put32(r, at + 20, target);
  };
  Put16(r, 14, 2);  // root: two types
  Put32(r, 16, 3), Put32(r, 20, 0x80000000u | 0x20);
  Put32(r, 24, 14), Put32(r, 28, 0x80000000u | 0x50);
  dir(0x20, 1, 0x80000000u | 0x38);  // RT_ICON: id 1 -> languages
  dir(0x38, 0x409, kIconDataEntry);
  dir(0x50, 1, 0x80000000u | 0x68);  // RT_GROUP_ICON: id 1 -> languages
  dir(0x68, 0x409, 0xA0);
  const Bytes image = Dib();
  // Group: ICONDIR + one 14-byte entry naming RT_ICON 1.
  Put16(r, kGroupBytes + 2, 1), Put16(r, kGroupBytes + 4, 1);
  r[kGroupBytes + 6] = 2, r[kGroupBytes + 7] = 2;
  Put16(r, kGroupBytes + 10, 1), Put16(r, kGroupBytes + 12, 8);
  Put32(r, kGroupBytes + 14, static_cast<std::uint32_t>(image.size()));
  Put16(r, kGroupBytes + 18, 1);
  Put32(r, 0xA0, kSectionRva + kGroupBytes), Put32(r, 0xA4, 20);
  r.resize(0x100);
  Put32(r, kIconDataEntry, kSectionRva + 0x100), Put32(r, kIconDataEntry + 4, static_cast<std::uint32_t>(image.size()));
  r.insert(r.end(), image.begin(), image.end());
  if (mutate) mutate(r);

  Bytes pe(0x200, 0);
  pe[0] = 'M', pe[1] = 'Z';
  Put32(pe, 0x3C, 0x40);
  Put32(pe, 0x40, 0x00004550);
  Put16(pe, 0x44, 0x8664);
  Put16(pe, 0x46, 1);      // sections
  Put16(pe, 0x54, 240);    // optional header size
  const std::size_t opt = 0x58;
  Put16(pe, opt, 0x20B);
  Put32(pe, opt + 108, 16);
  Put32(pe, opt + 112 + 16, kSectionRva), Put32(pe, opt + 112 + 20, static_cast<std::uint32_t>(r.size()));
  const std::size_t sec = opt + 240;
  std::memcpy(pe.data() + sec, ".rsrc", 5);
  Put32(pe, sec + 8, static_cast<std::uint32_t>(r.size()));
  Put32(pe, sec + 12, kSectionRva);
  Put32(pe, sec + 16, static_cast<std::uint32_t>(r.size()));
  Put32(pe, sec + 20, 0x200);
  pe.insert(pe.end(), r.begin(), r.end());
  return pe;
}

IconResult Read(const Bytes& bytes) {
  IconImage image;
  return ReadFileIcon(MemorySource(bytes), 0, 2, 2, image);
}

struct Case {
  const char* name;
  Bytes bytes;
  IconResult expected;
};

TEST(IconHostile, CraftedInputs) {
  const Case cases[] = {
      {"valid ico (baseline)", Ico(Dib()), IconResult::kOk},
      {"valid pe (baseline)", Pe(), IconResult::kOk},
      {"32-bit with alpha needs no mask", Ico(Dib(2, 2, 32, 0, false)), IconResult::kOk},
      {"8-bit without its mask", Ico(Dib(2, 2, 8, 0, false)), IconResult::kFailed},
      {"ico without entries", Ico({}, 0), IconResult::kNoIcon},
      {"entry offset past the end", Ico(Dib(), 1, -1, 1 << 20), IconResult::kFailed},
      {"entry size of 4 GiB", Ico(Dib(), 1, 0xFFFFFFFFu), IconResult::kFailed},
      {"entry count above the cap", Ico(Dib(), 60000), IconResult::kFailed},
      {"palette larger than the depth allows", Ico(Dib(2, 2, 8, 1000)), IconResult::kFailed},
      {"DIB wider than the cap", Ico(Dib(100000, 1, 32, 0, false)), IconResult::kFailed},
      {"DIB of negative height", Ico(Dib(2, -2)), IconResult::kFailed},
      {"16-bit DIB", Ico(Dib(2, 2, 16)), IconResult::kFailed},
      {"PNG taller than the cap", Ico(Png(1, 5000)), IconResult::kFailed},
      {"PNG cut after its header", Ico(Png(16, 16)), IconResult::kFailed},
      {"PE header past the end", [] { Bytes b = Pe(); Put32(b, 0x3C, 0x7FFFFFF0u); return b; }(),
       IconResult::kFailed},
      {"PE section table past the end", [] { Bytes b = Pe(); Put16(b, 0x46, 65535); return b; }(),
       IconResult::kFailed},
      {"group names a missing image", Pe([](Bytes& r) { Put16(r, kGroupBytes + 18, 7); }), IconResult::kFailed},
      {"resource tree loops to its root", Pe([](Bytes& r) { Put32(r, kRootTypeGroupEntry + 4, 0x80000000u); }),
       IconResult::kFailed},
      {"data entry outside every section", Pe([](Bytes& r) { Put32(r, kIconDataEntry, 0x7FFF0000u); }),
       IconResult::kFailed},
      {"data entry of 4 GiB", Pe([](Bytes& r) { Put32(r, kIconDataEntry + 4, 0xFFFFFFF0u); }),
       IconResult::kFailed},
      {"neither PE nor ico", Bytes{'G', 'I', 'F', '8'}, IconResult::kFailed},
      {"empty", Bytes{}, IconResult::kFailed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Read(c.bytes), c.expected) << c.name;
  }
}

// Every cut of a real file either fails or, when the chosen image lies wholly before the cut, gives exactly
// that image: never a partly read one.
TEST(IconHostile, TruncatedFixtures) {
  for (const char* file : {"multi.ico", "icons32.dll"}) {
    SCOPED_TRACE(file);
    const Bytes whole = icon_test::ReadAll(icon_test::Fixture(file));
    ASSERT_FALSE(whole.empty());
    const IconImage expected = icon_test::Expected("multi.ico", 1);  // 16x16, 1-bit
    for (std::size_t cut = 0; cut < whole.size(); cut += cut < 4096 ? 1 : 1021) {
      IconImage image;
      const Bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
      if (ReadFileIcon(MemorySource(part), 0, 16, 16, image) == IconResult::kOk) {
        ASSERT_TRUE(icon_test::SameImage(image, expected)) << "cut at " << cut;
      }
    }
    IconImage image;
    EXPECT_EQ(ReadFileIcon(MemorySource(whole), 0, 16, 16, image), IconResult::kOk);
    EXPECT_TRUE(icon_test::SameImage(image, expected));
  }
}

}  // namespace
}  // namespace quorvel
