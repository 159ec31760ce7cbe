// The icon the shell shows for a path, as a Linux desktop would show it (the policy behind LoadShellIcon):
// - a directory: the theme's `folder`;
// - a regular file named .exe or .dll: its first icon group; when it has none, or is no readable PE image (the
//   shell shows the same for a broken program), the theme's `application-x-executable`;
// - a regular file named .ico: its own image; when it cannot be read, the icon of its type, like any other file;
// - any other file: the theme's icon for its MIME type (mime_type.h), `text-x-generic` last;
// - a path that names nothing: kNoSuchItem.
// The theme gives way to a built-in icon only where no theme is installed, so every existing item has an icon.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "platform/linux/shell/byte_source.h"
#include "platform/linux/shell/icon_file.h"
#include "platform/linux/shell/icon_source.h"
#include "platform/linux/shell/icon_theme.h"
#include "platform/linux/shell/mime_type.h"

namespace quorvel::platform::icons {
namespace {

// As much of the content as shared-mime-info's magic rules look at for the usual types.
constexpr std::size_t kSniffBytes = 4096;

std::string LowerExtension(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext;
}

const char* InodeType(mode_t mode) {
  if (S_ISFIFO(mode)) return "inode/fifo";
  if (S_ISSOCK(mode)) return "inode/socket";
  if (S_ISCHR(mode)) return "inode/chardevice";
  if (S_ISBLK(mode)) return "inode/blockdevice";
  return nullptr;
}

}  // namespace

IconResult LoadShellIcon(const std::string& path, std::uint32_t width, std::uint32_t height, IconImage& out) {
  struct stat st {};
  if (path.empty() || path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) {
    return IconResult::kNoSuchItem;
  }
  if (S_ISDIR(st.st_mode)) {
    LoadThemeIcon({"folder"}, width, height, out);
    return IconResult::kOk;
  }
  if (const char* inode_type = InodeType(st.st_mode)) {
    LoadThemeIcon(SpecialFileIconNames(inode_type), width, height, out);
    return IconResult::kOk;
  }

  FileSource file;
  const bool readable = file.Open(path) == FileSource::OpenResult::kOk;
  const std::string ext = LowerExtension(path);
  if (ext == "exe" || ext == "dll") {
    if (!readable || ReadFileIcon(file, 0, width, height, out) != IconResult::kOk) {
      LoadThemeIcon({"application-x-executable"}, width, height, out);
    }
    return IconResult::kOk;
  }
  if (ext == "ico" && readable && ReadFileIcon(file, 0, width, height, out) == IconResult::kOk) {
    return IconResult::kOk;
  }
  std::string head;
  if (readable) {
    head.resize(static_cast<std::size_t>(std::min<std::uint64_t>(file.Size(), kSniffBytes)));
    if (!file.Read(0, head.size(), head.data())) head.clear();
  }
  LoadThemeIcon(FileIconNames(path, head), width, height, out);
  return IconResult::kOk;
}

}  // namespace quorvel::platform::icons
