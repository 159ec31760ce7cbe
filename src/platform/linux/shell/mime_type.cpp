#include "platform/linux/shell/mime_type.h"

#include <gio/gio.h>

#include <algorithm>
#include <string_view>

namespace quorvel::platform::icons {
namespace {

constexpr std::string_view kLastResort = "text-x-generic";

std::vector<std::string> NamesOf(const gchar* content_type) {
  std::vector<std::string> names;
  GIcon* icon = g_content_type_get_icon(content_type);
  if (icon != nullptr && G_IS_THEMED_ICON(icon)) {
    for (const gchar* const* n = g_themed_icon_get_names(G_THEMED_ICON(icon)); n != nullptr && *n != nullptr; ++n) {
      std::string_view name(*n);
      if (name.ends_with("-symbolic")) continue;
      if (std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
    }
  }
  if (icon != nullptr) g_object_unref(icon);
  if (std::find(names.begin(), names.end(), kLastResort) == names.end()) names.emplace_back(kLastResort);
  return names;
}

}  // namespace

std::vector<std::string> FileIconNames(const std::string& path, const std::string& head) {
  gchar* type = g_content_type_guess(path.c_str(), reinterpret_cast<const guchar*>(head.data()), head.size(),
                                     nullptr);
  std::vector<std::string> names = NamesOf(type);
  g_free(type);
  return names;
}

std::vector<std::string> SpecialFileIconNames(const char* inode_type) { return NamesOf(inode_type); }

}  // namespace quorvel::platform::icons
