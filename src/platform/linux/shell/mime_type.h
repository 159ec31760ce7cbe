// The icon names the desktop gives a file for its MIME type. Types come from GIO's shared-mime-info reader
// (g_content_type_guess over the name and the first bytes): it is the reader the file managers themselves use,
// with glob weights and case rules, magic priorities and nesting, aliases and subclasses, which a small reader of
// globs2 and magic would only approximate, so icons would drift from what the desktop shows.
#pragma once

#include <string>
#include <vector>

namespace quorvel::platform::icons {

// For a regular file: its type's icon, the type's generic icon, and `text-x-generic` last; full-colour names
// only (no -symbolic ones). `head` is the start of the file's content (may be empty when it cannot be read).
std::vector<std::string> FileIconNames(const std::string& path, const std::string& head);

// For a FIFO, socket or device, by its inode type ("inode/fifo", ...), with the same fallbacks.
std::vector<std::string> SpecialFileIconNames(const char* inode_type);

}  // namespace quorvel::platform::icons
