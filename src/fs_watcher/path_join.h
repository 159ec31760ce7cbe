// Joining a watched directory's path with the relative name of a change: exactly one separator at the seam,
// nothing else normalised. The separator is the platform's (platform/path.h).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// `base`, then `part`, with one separator between them unless one side already supplies it (a separator on both
// sides loses one). An empty base gives `part` unchanged. Throws std::out_of_range for an empty `part` after a
// non-empty base.
std::wstring JoinPath(const std::wstring& base, std::wstring part);

// Appends `part` to `dest` under the same one-separator rule; throws std::out_of_range for an empty `part` after
// a non-empty `dest`, leaving `dest` unchanged.
void AppendPathPart(std::wstring& dest, const std::wstring& part);
void AppendPathPart(std::wstring& dest, std::wstring_view part);

// The room a part takes in a joined path: its length plus one for a separator.
std::size_t PathPartLength(const std::wstring& part);
std::size_t PathPartLength(std::wstring_view part);
