// Whether a path names an existing file or directory, by its attributes as the system reports them. Any failure
// of the attribute query (missing path, no access, name too long) answers false.
#pragma once

bool IsFileW(const wchar_t* path);       // exists and has no directory attribute
bool IsDirectoryW(const wchar_t* path);  // exists and has the directory attribute
bool IsFileA(const char* path);
bool IsDirectoryA(const char* path);
