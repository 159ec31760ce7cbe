// The XDG user directories as user-dirs.dirs (written by xdg-user-dirs-update) defines them.
//
// Our own parser rather than GLib's g_get_user_special_dir: the format is a handful of shell assignments, the
// parser is small and exact, and GLib would add a library and its own caching (it reads the file once per
// process, so a changed HOME or file would go unseen).
//
// Accepted, as the file's writer produces it and a shell reads it: optional blanks, XDG_<NAME>_DIR="VALUE",
// then only blanks or a comment. Inside the quotes a backslash escapes $ ` " and \ (before anything else it
// stays, as in a shell). VALUE is "$HOME", "$HOME/..." or an absolute path. Lines starting with # and lines of
// any other shape (a NUL anywhere included) are skipped, and so is a VALUE that would expand anything else in a shell ($ or ` beyond the
// leading $HOME). The last valid assignment of a name wins.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvel::platform::xdg {

// The path of XDG_<name>_DIR in `content` (a user-dirs.dirs file), with $HOME replaced by `home`.
std::optional<std::string> FindUserDir(std::string_view content, std::string_view name, std::string_view home);

}  // namespace quorvel::platform::xdg
