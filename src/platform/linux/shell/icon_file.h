// Icons stored in a file, as PrivateExtractIconsW sees them: the icon groups of a PE image, or the one icon of
// an .ico file. The kind is told by the bytes ("MZ", or an ICONDIR header), not by the file name.
#pragma once

#include <cstdint>

#include "platform/linux/shell/byte_source.h"
#include "platform/linux/shell/icon_source.h"

namespace quorvel::platform::icons {

// The image of group `index` chosen for cx x cy. kNoIcon when the file holds fewer groups (an .ico file holds
// one), kFailed when it is neither a PE image nor an .ico file, or is malformed.
IconResult ReadFileIcon(const ByteSource& source, std::uint32_t index, std::uint32_t cx, std::uint32_t cy,
                        IconImage& out);

// The number of icon groups; 0 when none or when the bytes are neither a PE image nor an .ico file.
std::uint32_t CountIconGroups(const ByteSource& source);

}  // namespace quorvel::platform::icons
