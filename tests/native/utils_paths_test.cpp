// Known folders and environment expansion as each system answers them. This file is also built for Windows and
// run under Wine (scripts/check-windows.sh): the identifier strings, the refusals, the buffer edges and the long
// expansions meet a real CLSIDFromString, SHGetKnownFolderPath and ExpandEnvironmentStringsW there.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cwchar>
#include <string>

#ifdef _WIN32
#include "windows_test_support.h"  // setenv
#endif
#include "utils/env_path.h"
#include "utils/known_folders.h"

namespace {

// Every identifier of the mapping table, written as Windows' documentation gives it.
const struct {
  const wchar_t* text;
  const KNOWNFOLDERID* id;
} kIdentifiers[] = {
    {L"{5E6C858F-0E22-4760-9AFE-EA3317B67173}", &FOLDERID_Profile},
    {L"{B4BFCC3A-DB2C-424C-B029-7FE99A87C641}", &FOLDERID_Desktop},
    {L"{FDD39AD0-238F-46AF-ADB4-6C85480369C7}", &FOLDERID_Documents},
    {L"{374DE290-123F-4565-9164-39C4925E467B}", &FOLDERID_Downloads},
    {L"{4BD8D571-6D19-48D3-BE97-422220080E43}", &FOLDERID_Music},
    {L"{33E28130-4E1E-4676-835A-98395C3BC3BB}", &FOLDERID_Pictures},
    {L"{18989B1D-99B5-455B-841C-AB7C74E4DDFC}", &FOLDERID_Videos},
    {L"{A63293E8-664E-48DB-A079-DF759E0509F7}", &FOLDERID_Templates},
    {L"{DFDF76A2-C82A-4D63-906A-5644AC457385}", &FOLDERID_Public},
    {L"{3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}", &FOLDERID_RoamingAppData},
    {L"{F1B32785-6FBA-4FCF-9D55-7B8E7F157091}", &FOLDERID_LocalAppData},
    {L"{A520A1A4-1780-4FF6-BD18-167343C5AF16}", &FOLDERID_LocalAppDataLow},
    {L"{4C5C32FF-BB9D-43B0-B5B4-2D72E54EAAA4}", &FOLDERID_SavedGames},
};

std::wstring Lowercase(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c + 32 : c; });
  return text;
}

// Where two long strings part, rather than both of them.
std::string FirstDifference(const std::wstring& actual, const std::wstring& expected) {
  const auto [a, e] = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
  return "length " + std::to_string(actual.size()) + ", expected " + std::to_string(expected.size()) +
         ", first difference at " + std::to_string(a - actual.begin());
}

TEST(KnownFolderIdentifiers, EachNamesItsFolderAsTheShellReportsIt) {
  for (const auto& row : kIdentifiers) {
    const std::wstring text = row.text;
    for (const std::wstring& form : {text, Lowercase(text)}) {
      CLSID id{};
      EXPECT_EQ(CLSIDFromString(form.c_str(), &id), S_OK) << "row " << &row - kIdentifiers;
      EXPECT_TRUE(id == *row.id) << "the header's constant differs from the identifier at row " << &row - kIdentifiers;
    }
    PWSTR path = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(*row.id, KF_FLAG_DEFAULT, nullptr, &path);
    const std::wstring shell = SUCCEEDED(hr) && path != nullptr ? path : L"";
    CoTaskMemFree(path);
    EXPECT_EQ(get_known_path(text), shell) << "row " << &row - kIdentifiers;
    EXPECT_EQ(get_known_path(Lowercase(text)), shell) << "row " << &row - kIdentifiers;
  }
  EXPECT_NE(get_known_path(kIdentifiers[0].text), L"") << "every user has a profile folder";
}

TEST(KnownFolderIdentifiers, StringsThatAreNoIdentifierOfAFolderGiveTheEmptyString) {
  const std::wstring profile = kIdentifiers[0].text;
  const std::wstring cases[] = {
      L"",
      L"Documents",
      L"FDD39AD0-238F-46AF-ADB4-6C85480369C7",     // no braces
      L"{FDD39AD0-238F-46AF-ADB4-6C85480369C7} ",  // something after
      L" {FDD39AD0-238F-46AF-ADB4-6C85480369C7}",  // something before
      L"{FDD39AD0-238F-46AF-ADB4-6C85480369C}",    // a digit short
      L"{FDD39AD0238F-46AF-ADB4-6C85480369C7}",    // a hyphen short
      L"{FDD39AD0-238F-46AF-ADB4-6C85480369CG}",   // not hexadecimal
      std::wstring(1, L'\0') + profile,            // read up to the first NUL
      L"{00000000-0000-0000-0000-000000000000}",   // a GUID, but of no folder
      L"{8E1C8B6A-4B7C-4D4A-9E62-0F3B55B0D2A1}",
  };
  for (const std::wstring& text : cases) EXPECT_EQ(get_known_path(text), L"") << text.size();
}

TEST(ExpandEnvPath, APathWithoutReferencesComesBackWholeAtEveryBufferEdge) {
  EXPECT_EQ(expand_env_path(nullptr), L"");
  EXPECT_EQ(expand_env_path(L""), L"");
  std::wstring pattern;
  while (pattern.size() < 5000) pattern += L"C:\\Games\\\u00e9t\u00e9 50% ";
  // 259 fills the first buffer to its last character; 260 needs the second size; likewise 519 and 520.
  for (std::size_t length : {1u, 259u, 260u, 519u, 520u, 5000u}) {
    const std::wstring path = pattern.substr(0, length);
    EXPECT_EQ(expand_env_path(path.c_str()), path) << length;
  }
}

// The system's expansion stops at 32,767 characters, terminator included; there the result is the empty string
// rather than a cut one. Linux has no such limit.
TEST(ExpandEnvPath, ExpansionsOfAnyLengthComeBackWholeOrNotAtAll) {
  constexpr std::size_t kSystemLimit = 32767;
  ASSERT_EQ(::setenv("QV_DIR", "/srv/g\xc3\xa4mes", 1), 0);
  ASSERT_EQ(::setenv("QV_FITS", std::string(kSystemLimit - 2, 'f').c_str(), 1), 0);  // with ".": the most that fits
  ASSERT_EQ(::setenv("QV_EDGE", std::string(kSystemLimit - 1, 'e').c_str(), 1), 0);
  ASSERT_EQ(::setenv("QV_HALF", std::string(20000, 'h').c_str(), 1), 0);
  ASSERT_EQ(::setenv("QV_LONG", std::string(100000, 'x').c_str(), 1), 0);
  ASSERT_EQ(::unsetenv("QV_UNSET"), 0);
  std::wstring long_value(100000, L'x');
#ifdef _WIN32
  // Wine keeps at most 32,766 characters of a value: what the environment holds is what a whole expansion gives.
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    if (std::wcsncmp(entry, L"QV_LONG=", 8) == 0) long_value = entry + 8;
  }
  FreeEnvironmentStringsW(block);
#endif
  const struct {
    std::wstring in, out;
  } cases[] = {
      {L"%QV_UNSET%/%QV_DIR%", L"%QV_UNSET%//srv/g\u00e4mes"},
      {L"%QV_FITS%.", std::wstring(kSystemLimit - 2, L'f') + L"."},
      {L"%QV_EDGE%.", std::wstring(kSystemLimit - 1, L'e') + L"."},
      {L"%QV_HALF%%QV_HALF%", std::wstring(40000, L'h')},
      {L"%QV_LONG%", long_value},
      {std::wstring(40000, L'p'), std::wstring(40000, L'p')},
  };
  for (const auto& c : cases) {
    const std::wstring result = expand_env_path(c.in.c_str());
#ifdef _WIN32
    if (c.out.size() >= kSystemLimit) {
      EXPECT_TRUE(result.empty() || result == c.out) << FirstDifference(result, c.out);
      continue;
    }
#endif
    EXPECT_TRUE(result == c.out) << FirstDifference(result, c.out);
  }
}

}  // namespace
