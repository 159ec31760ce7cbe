// GDI: bitmaps, icons and device contexts (gdi_objects.cpp). Every bitmap is a 32-bit DIB section (BGRA bytes,
// top row first); icons are 32-bit images with straight alpha. Device contexts are memory contexts; the screen's
// context (GetDC of no window) is one too, as nothing here draws. Icons come from the icon source (icon_source.h).
#pragma once

#include "platform/linux/base/win32_types.h"

struct BITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  LPVOID bmBits;
};
static_assert(sizeof(BITMAP) == 32);

struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;  // negative: rows top-down
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

struct RGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
};

struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
};
using LPBITMAPINFO = BITMAPINFO*;
static_assert(sizeof(BITMAPINFO) == 44);

#define BI_RGB 0u
#define DIB_RGB_COLORS 0u
#define LR_LOADFROMFILE 0x00000010u

// With a null `pv`, the size a description needs; otherwise a BITMAP for a bitmap (0 when `c` is too small).
int GetObjectA(HANDLE h, int c, LPVOID pv);
HDC GetDC(HWND hWnd);  // only the screen's (hWnd null)
int ReleaseDC(HWND hWnd, HDC hDC);
HDC CreateCompatibleDC(HDC hdc);
BOOL DeleteDC(HDC hdc);
// 32-bit BI_RGB only, with the bitmap's width. Copies lines [uStartScan, uStartScan + cLines) clipped to the
// bitmap, counted from the bottom for a bottom-up DIB (biHeight > 0) and from the top for a top-down one, and
// returns the number copied (0 on failure). With a null lpvBits it fills the header and returns the height.
int GetDIBits(HDC hdc, HBITMAP hbm, UINT uStartScan, UINT cLines, LPVOID lpvBits, LPBITMAPINFO lpbmi, UINT uUsage);
BOOL DeleteObject(HGDIOBJ ho);
BOOL DestroyIcon(HICON hIcon);
// Icons of a PE or .ico file: with a null phicon the number of icon groups in the file; otherwise up to nIcons
// icons from group nIconIndex on, each made from the group's nearest image scaled to exactly LOWORD(cxIcon) x
// LOWORD(cyIcon) (with a side of 0 the image keeps its own size; a side above 1024 extracts nothing), and the number
// extracted (0 when none; 0xFFFFFFFF when the file cannot be read or no file can have the name). Resource
// identifiers are not known here: piconid gets 0.
UINT PrivateExtractIconsW(LPCWSTR szFileName, int nIconIndex, int cxIcon, int cyIcon, HICON* phicon, UINT* piconid,
                          UINT nIcons, UINT flags);
