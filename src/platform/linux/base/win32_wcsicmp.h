// The C runtime's _wcsicmp (wcsicmp.cpp).
#pragma once

// Compares character by character after the module's fixed case folding (platform/case_fold.h): the same answer
// in every locale, as Windows compares names.
int _wcsicmp(const wchar_t* string1, const wchar_t* string2);
