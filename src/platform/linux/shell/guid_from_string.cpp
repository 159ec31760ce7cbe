// CLSIDFromString over the braced registry form of a GUID. Windows falls back to a ProgID lookup in the registry
// for other strings; there is no registry here, so every other string is a class string it cannot parse.
#include <cstddef>
#include <cstdint>

#include "platform/linux/shell/win32_known_folders.h"

namespace {

constexpr std::size_t kGuidStringLength = 38;  // {8-4-4-4-12}

int HexValue(WCHAR c) {
  if (c >= L'0' && c <= L'9') return static_cast<int>(c - L'0');
  if (c >= L'a' && c <= L'f') return static_cast<int>(c - L'a' + 10);
  if (c >= L'A' && c <= L'F') return static_cast<int>(c - L'A' + 10);
  return -1;
}

// `digits` hex digits at `text`; false at the first character that is not one (the terminator included, so a
// short string is never read past its end).
bool ReadHex(LPCOLESTR text, int digits, std::uint64_t& value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    const int v = HexValue(text[i]);
    if (v < 0) return false;
    value = (value << 4) | static_cast<std::uint64_t>(v);
  }
  return true;
}

bool ParseBracedGuid(LPCOLESTR s, GUID& out) {
  // Positions of the punctuation; each check stops at the terminator before anything after it is read.
  std::uint64_t v = 0;
  if (s[0] != L'{') return false;
  if (!ReadHex(s + 1, 8, v) || s[9] != L'-') return false;
  out.Data1 = static_cast<DWORD>(v);
  if (!ReadHex(s + 10, 4, v) || s[14] != L'-') return false;
  out.Data2 = static_cast<WORD>(v);
  if (!ReadHex(s + 15, 4, v) || s[19] != L'-') return false;
  out.Data3 = static_cast<WORD>(v);
  if (!ReadHex(s + 20, 4, v) || s[24] != L'-') return false;
  out.Data4[0] = static_cast<BYTE>(v >> 8);
  out.Data4[1] = static_cast<BYTE>(v);
  for (int i = 0; i < 6; ++i) {
    if (!ReadHex(s + 25 + 2 * i, 2, v)) return false;
    out.Data4[2 + i] = static_cast<BYTE>(v);
  }
  return s[37] == L'}' && s[kGuidStringLength] == L'\0';
}

}  // namespace

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (pclsid == nullptr) return E_INVALIDARG;
  *pclsid = GUID{};
  if (lpsz == nullptr) return S_OK;
  GUID parsed{};
  if (!ParseBracedGuid(lpsz, parsed)) return CO_E_CLASSSTRING;
  *pclsid = parsed;
  return S_OK;
}
