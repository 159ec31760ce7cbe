// The C runtime's _wcsicmp (wcsicmp.cpp).
#pragma once

// Compares after towlower, character by character; follows the current locale as the runtime's does.
int _wcsicmp(const wchar_t* string1, const wchar_t* string2);
