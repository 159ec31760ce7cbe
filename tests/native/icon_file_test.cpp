// Icons read from real .ico files and from PE32+ / PE32 files built by mingw's windres, compared pixel for
// pixel with what the fixture generator wrote into each entry.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "icon_test_support.h"
#include "platform/linux/shell/icon_source.h"

namespace quorvel {
namespace {

using icon_test::Expected;
using icon_test::Fixture;
using icon_test::SameImage;
using platform::icons::CountFileIcons;
using platform::icons::IconImage;
using platform::icons::IconResult;
using platform::icons::LoadFileIcon;

// multi.ico entries: 0 32x32/8, 1 16x16/1, 2 24x24/4, 3 48x48/24, 4 64x64/32 alpha, 5 20x20/32 without alpha,
// 6 256x256 PNG RGBA, 7 96x96 PNG RGB, 8 40x40/24, 9 40x40/32 alpha.
struct Choice {
  std::uint32_t cx, cy;
  int entry;
};
constexpr Choice kChoices[] = {
    {16, 16, 1},  {17, 17, 5},   {20, 20, 5},   {21, 21, 2}, {30, 30, 0}, {33, 33, 9},
    {41, 41, 3},  {60, 60, 4},   {65, 65, 7},   {97, 97, 6}, {256, 256, 6},
    {300, 300, 6},  // nothing large enough: the largest
    {40, 20, 9},  {20, 45, 3},  // both sides must fit
    {1, 1, 1},
};

// The same icon as an .ico file, as PE32+'s first group (named, so ahead of id 1) and as PE32's first (id 2 < 5).
const char* const kMultiSources[] = {"multi.ico", "icons.exe", "icons32.dll"};

class MultiIcon : public ::testing::TestWithParam<std::tuple<const char*, Choice>> {};

TEST_P(MultiIcon, ChosenEntryDecodesToItsPattern) {
  const auto& [file, choice] = GetParam();
  IconImage image;
  ASSERT_EQ(LoadFileIcon(Fixture(file), 0, choice.cx, choice.cy, image), IconResult::kOk);
  EXPECT_TRUE(SameImage(image, Expected("multi.ico", choice.entry)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, MultiIcon, ::testing::Combine(::testing::ValuesIn(kMultiSources),
                                                              ::testing::ValuesIn(kChoices)));

TEST(IconFile, SecondGroupOfEachPe) {
  for (const char* file : {"icons.exe", "icons32.dll"}) {
    SCOPED_TRACE(file);
    IconImage image;
    ASSERT_EQ(LoadFileIcon(Fixture(file), 1, 32, 32, image), IconResult::kOk);
    EXPECT_TRUE(SameImage(image, Expected("second.ico", 0)));
    ASSERT_EQ(LoadFileIcon(Fixture(file), 1, 16, 16, image), IconResult::kOk);
    EXPECT_TRUE(SameImage(image, Expected("second.ico", 1)));
  }
}

TEST(IconFile, CountsAndAbsentIcons) {
  struct Row {
    const char* file;
    std::uint32_t count;
    std::uint32_t past_last;  // first index without an icon
    IconResult past_last_result;
  };
  const Row rows[] = {
      {"icons.exe", 2, 2, IconResult::kNoIcon},
      {"icons32.dll", 2, 2, IconResult::kNoIcon},
      {"multi.ico", 1, 1, IconResult::kNoIcon},
      {"noicon.exe", 0, 0, IconResult::kNoIcon},
      {"icons.rc", 0, 0, IconResult::kFailed},  // neither PE nor .ico
      {"no-such-file.exe", 0, 0, IconResult::kNoSuchItem},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    EXPECT_EQ(CountFileIcons(Fixture(row.file)), row.count);
    IconImage image;
    EXPECT_EQ(LoadFileIcon(Fixture(row.file), row.past_last, 32, 32, image), row.past_last_result);
    EXPECT_EQ(LoadFileIcon(Fixture(row.file), 0xFFFFFFFFu, 32, 32, image),
              row.past_last_result == IconResult::kNoSuchItem ? IconResult::kNoSuchItem
              : row.past_last_result == IconResult::kFailed   ? IconResult::kFailed
                                                              : IconResult::kNoIcon);
  }
}

}  // namespace
}  // namespace quorvel
