// Wide <-> UTF-8 conversion for the host. File names on Linux are bytes: bytes that are not UTF-8 become lone
// surrogates U+DC80..U+DCFF (as Python's os.fsdecode does) and go back to the same bytes, so every name
// round-trips, while text that is not Unicode still fails Python's strict decoding.
#pragma once

#include <string>
#include <string_view>

namespace quorvel::platform {

std::wstring Utf8ToWide(std::string_view bytes);

// Lone surrogates U+DC80..U+DCFF become the byte they escape; any other code point that UTF-8 cannot carry
// (other surrogates, values past U+10FFFF) becomes U+FFFD.
std::string WideToUtf8(std::wstring_view text);

// The bytes of a file name, as os.fsencode gives them: false when `text` holds a code point that stands for no
// byte sequence (a surrogate outside U+DC80..U+DCFF, a value past U+10FFFF) or a NUL, since no file has that
// name and a replaced or cut one would name another.
bool WideToFileName(std::wstring_view text, std::string& out);

}  // namespace quorvel::platform
