// The file and directory tests behind a watch's file-only option, on real objects in a fresh directory.
#include "fs_watcher/file_attributes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/linux/seam/seam.h"
#include "platform/linux/base/wide.h"

namespace {

namespace fs = std::filesystem;
using quorvel::platform::Utf8ToWide;

class FileAttributes : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quorvel-attributes-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    std::ofstream(root_ / "file.txt") << "x";
    std::ofstream(root_ / "\xC3\xA4pfel.txt") << "x";  // äpfel.txt
    fs::create_directory(root_ / "dir");
    fs::create_symlink(root_ / "file.txt", root_ / "link-to-file");
    fs::create_directory_symlink(root_ / "dir", root_ / "link-to-dir");
    fs::create_symlink(root_ / "missing", root_ / "dangling");
  }
  void TearDown() override {
    quorvel::platform::seam::Reset();
    fs::remove_all(root_);
  }

  std::string Narrow(const std::string& name) const { return (root_ / name).string(); }
  std::wstring Wide(const std::string& name) const { return Utf8ToWide(Narrow(name)); }

  // The wide and the narrow functions agree on what `name` is.
  void ExpectKinds(const std::string& name, bool file, bool directory) const {
    SCOPED_TRACE(name);
    EXPECT_EQ(IsFileW(Wide(name).c_str()), file);
    EXPECT_EQ(IsDirectoryW(Wide(name).c_str()), directory);
    EXPECT_EQ(IsFileA(Narrow(name).c_str()), file);
    EXPECT_EQ(IsDirectoryA(Narrow(name).c_str()), directory);
  }

  fs::path root_;
};

TEST_F(FileAttributes, FilesDirectoriesAndMissingPaths) {
  ExpectKinds("file.txt", true, false);
  ExpectKinds("\xC3\xA4pfel.txt", true, false);
  ExpectKinds("dir", false, true);
  ExpectKinds("", false, true);  // the directory itself, with a trailing separator
  ExpectKinds("missing", false, false);
  ExpectKinds("file.txt/below", false, false);
  EXPECT_FALSE(IsFileW(L""));
  EXPECT_FALSE(IsDirectoryW(L""));
  EXPECT_FALSE(IsFileA(""));
  EXPECT_FALSE(IsDirectoryA(""));
}

TEST_F(FileAttributes, ReadOnlyFileIsStillAFile) {
  ASSERT_EQ(::chmod(Narrow("file.txt").c_str(), 0444), 0);
  ExpectKinds("file.txt", true, false);
}

TEST_F(FileAttributes, SymbolicLinksAnswerForWhatTheyNameAndADanglingLinkIsAFile) {
  ExpectKinds("link-to-file", true, false);
  ExpectKinds("link-to-dir", false, true);
  // As on Windows, the attributes of a link that leads nowhere are the link's own: no directory bit.
  ExpectKinds("dangling", true, false);
}

TEST_F(FileAttributes, AFailingAttributeQueryAnswersFalse) {
  quorvel::platform::seam::FailNext("GetFileAttributesW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(IsFileW(Wide("file.txt").c_str()));
  EXPECT_TRUE(IsFileW(Wide("file.txt").c_str()));
  quorvel::platform::seam::FailNext("GetFileAttributesW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(IsDirectoryW(Wide("dir").c_str()));
  EXPECT_TRUE(IsDirectoryW(Wide("dir").c_str()));
}

}  // namespace
