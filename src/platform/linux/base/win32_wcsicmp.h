// The C runtime's _wcsicmp and _wcsnicmp (wcsicmp.cpp, wcsnicmp.cpp).
#pragma once

#include <cstddef>

// Compares character by character after the module's fixed case folding (platform/case_fold.h): the same answer
// in every locale, as Windows compares names.
int _wcsicmp(const wchar_t* string1, const wchar_t* string2);

// At most `count` characters, folded the same way.
int _wcsnicmp(const wchar_t* string1, const wchar_t* string2, std::size_t count);
