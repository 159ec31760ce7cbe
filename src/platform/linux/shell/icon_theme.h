// Icons of the installed freedesktop icon theme, PNG only (there is no SVG renderer here): Adwaita, then
// hicolor (the theme every other inherits), under $XDG_DATA_HOME/icons, ~/.icons and each of
// $XDG_DATA_DIRS/icons, in the fixed-size folders <theme>/<N>x<N>/<context>/<name>.png, Adwaita's `legacy`
// context included. Names are tried in order, each in every theme, before the next name; among the sizes of
// the first theme holding a name, the smallest at least as large as asked, else the largest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/shell/icon_source.h"

namespace quorvel::platform::icons {

// The theme file for the first of `names` found, or false.
bool FindThemeIcon(const std::vector<std::string>& names, std::uint32_t cx, std::uint32_t cy, std::string& path);

// The theme's icon for the first of `names` found (and decodable); the built-in icon when there is none,
// which happens only when no theme holding these names is installed.
void LoadThemeIcon(const std::vector<std::string>& names, std::uint32_t cx, std::uint32_t cy, IconImage& out);

// A 32 x 32 blank page, for machines without any icon theme.
IconImage BuiltinIcon();

}  // namespace quorvel::platform::icons
