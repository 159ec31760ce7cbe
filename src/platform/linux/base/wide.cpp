#include "platform/linux/base/wide.h"

namespace quorvel::platform {

namespace {

constexpr char32_t kEscapeBase = 0xDC00;
constexpr char32_t kReplacement = 0xFFFD;

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0 when it is not one (truncated, overlong,
// a surrogate, past U+10FFFF). Follows the table of well-formed byte sequences in the Unicode standard.
std::size_t SequenceLength(std::string_view s, char32_t& out) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    out = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    out = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // U+D800..U+DFFF are not characters
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    out = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return 0;
    out = (out << 6) | (b & 0x3F);
  }
  return len;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::wstring Utf8ToWide(std::string_view bytes) {
  static_assert(sizeof(wchar_t) == 4, "the Linux layer assumes a 32-bit wchar_t");
  std::wstring out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    char32_t c = 0;
    std::size_t len = SequenceLength(bytes, c);
    if (len == 0) {
      // Only the first byte is escaped: the next one may start a valid sequence, as in Python's decoder.
      c = kEscapeBase + static_cast<unsigned char>(bytes[0]);
      len = 1;
    }
    out += static_cast<wchar_t>(c);
    bytes.remove_prefix(len);
  }
  return out;
}

std::string WideToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t w : text) {
    const auto c = static_cast<char32_t>(w);
    if (c >= 0xDC80 && c <= 0xDCFF) {
      out += static_cast<char>(c - kEscapeBase);
    } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

bool WideToFileName(std::wstring_view text, std::string& out) {
  for (wchar_t w : text) {
    const auto c = static_cast<char32_t>(w);
    if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF && !(c >= 0xDC80 && c <= 0xDCFF))) return false;
  }
  out = WideToUtf8(text);
  return true;
}

}  // namespace quorvel::platform
