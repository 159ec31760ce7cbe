// Shell items with their icon images (shell_item.cpp); the COM apartments they need are base/'s (win32_com.h).
//
// A shell item is a path that exists. Its image factory gives the item's icon, never a thumbnail: the icon of a
// PE file's first icon group, of an .ico file, or the desktop icon theme's icon for the item's type. The icon
// image chosen is the smallest at least as large as asked, else the largest. With SIIGBF_BIGGERSIZEOK it is
// returned as it is; without it an image larger than asked is shrunk to fit, keeping its aspect ratio. The
// result is a 32-bit top-down DIB section with straight alpha. Of IShellItem itself only QueryInterface works;
// its other methods return E_NOTIMPL, as nothing here needs them.
#pragma once

#include "platform/linux/base/win32_com.h"

struct IBindCtx;  // never made here: callers pass null

using SFGAOF = ULONG;
using SICHINTF = DWORD;
enum SIGDN : int {
  SIGDN_NORMALDISPLAY = 0,
  SIGDN_FILESYSPATH = static_cast<int>(0x80058000u),
};

enum _SIIGBF {
  SIIGBF_RESIZETOFIT = 0x0,
  SIIGBF_BIGGERSIZEOK = 0x1,
  SIIGBF_MEMORYONLY = 0x2,
  SIIGBF_ICONONLY = 0x4,
  SIIGBF_THUMBNAILONLY = 0x8,
  SIIGBF_INCACHEONLY = 0x10,
  SIIGBF_CROPTOSQUARE = 0x20,
  SIIGBF_WIDETHUMBNAILS = 0x40,
  SIIGBF_ICONBACKGROUND = 0x80,
  SIIGBF_SCALEUP = 0x100,
};
using SIIGBF = int;

struct IShellItem : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE BindToHandler(IBindCtx* pbc, REFGUID bhid, REFIID riid, void** ppv) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetParent(IShellItem** ppsi) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDisplayName(SIGDN sigdnName, LPWSTR* ppszName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAttributes(SFGAOF sfgaoMask, SFGAOF* psfgaoAttribs) = 0;
  virtual HRESULT STDMETHODCALLTYPE Compare(IShellItem* psi, SICHINTF hint, int* piOrder) = 0;

 protected:
  ~IShellItem() = default;
};

struct IShellItemImageFactory : IUnknown {
  // SIIGBF_THUMBNAILONLY fails (no thumbnails are made); the other flags beyond those above change nothing.
  virtual HRESULT STDMETHODCALLTYPE GetImage(SIZE size, SIIGBF flags, HBITMAP* phbm) = 0;

 protected:
  ~IShellItemImageFactory() = default;
};

QUORVEL_DECLARE_IID(IShellItem, 0x43826d1e, 0xe718, 0x42ee, 0xbc, 0x55, 0xa1, 0xe2, 0x61, 0xc3, 0x7b, 0xfe);
QUORVEL_DECLARE_IID(IShellItemImageFactory, 0xbcc18b79, 0xba16, 0x442f, 0x80, 0xc4, 0x8a, 0x59, 0xc3, 0x0c, 0x46,
                    0x3b);

// Needs COM on the calling thread (CO_E_NOTINITIALIZED otherwise). A path that names nothing fails with
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND); an empty one with E_INVALIDARG; one no file can have (a surrogate that
// stands for no byte) with HRESULT_FROM_WIN32(ERROR_INVALID_NAME).
HRESULT SHCreateItemFromParsingName(LPCWSTR pszPath, IBindCtx* pbc, REFIID riid, void** ppv);
