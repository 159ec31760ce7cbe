// GDI objects: DIB sections, icons and device contexts in one table, as GDI keeps them in one handle space.
// Handle values are never reused, so a stale handle fails instead of naming a newer object. Lookups hand out
// shared references: an object deleted on one thread stays valid for a call already using it on another.
#include "platform/linux/shell/gdi_objects.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

#include "platform/linux/base/errors.h"
#include "platform/linux/base/wide.h"
#include "platform/linux/shell/icon_scale.h"
#include "platform/win32.h"

namespace quorvel::platform::detail {
namespace {

enum class GdiKind { Bitmap, Icon, MemoryDc, ScreenDc };

struct GdiObject {
  GdiKind kind;
  icons::IconImage image;  // bitmaps and icons
};

class GdiTable {
 public:
  void* Insert(std::shared_ptr<GdiObject> object) {
    std::lock_guard lock(mutex_);
    next_ += 4;
    objects_.emplace(next_, std::move(object));
    return reinterpret_cast<void*>(next_);
  }

  std::shared_ptr<GdiObject> Find(const void* handle, GdiKind kind) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == objects_.end() || it->second->kind != kind) return nullptr;
    return it->second;
  }

  bool Remove(const void* handle, GdiKind kind) {
    std::shared_ptr<GdiObject> doomed;  // freed outside the lock
    std::lock_guard lock(mutex_);
    auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == objects_.end() || it->second->kind != kind) return false;
    doomed = std::move(it->second);
    objects_.erase(it);
    return true;
  }

  std::size_t size() {
    std::lock_guard lock(mutex_);
    return objects_.size();
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::uintptr_t, std::shared_ptr<GdiObject>> objects_;
  std::uintptr_t next_ = 0x40000;  // far from small integers that a caller might pass by mistake
};

GdiTable& table() {
  static GdiTable* t = new GdiTable;  // never destroyed: handles may be deleted during exit
  return *t;
}

void* InsertImage(GdiKind kind, icons::IconImage&& image) {
  if (image.width == 0 || image.height == 0 ||
      image.pixels.size() != static_cast<std::size_t>(image.width) * image.height)
    return Fail(ERROR_INVALID_PARAMETER, nullptr);
  try {
    auto object = std::make_shared<GdiObject>(GdiObject{kind, std::move(image)});
    return table().Insert(std::move(object));
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
}

bool IsDc(HDC hdc) {
  return table().Find(hdc, GdiKind::MemoryDc) != nullptr || table().Find(hdc, GdiKind::ScreenDc) != nullptr;
}

HDC InsertDc(GdiKind kind) {
  try {
    return static_cast<HDC>(table().Insert(std::make_shared<GdiObject>(GdiObject{kind, {}})));
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, HDC{});
  }
}

}  // namespace

HBITMAP CreateDibSectionFromImage(icons::IconImage&& image) {
  return static_cast<HBITMAP>(InsertImage(GdiKind::Bitmap, std::move(image)));
}

HICON CreateIconFromImage(icons::IconImage&& image) {
  return static_cast<HICON>(InsertImage(GdiKind::Icon, std::move(image)));
}

bool CopyIconImage(HICON icon, icons::IconImage& out) {
  auto object = table().Find(icon, GdiKind::Icon);
  if (!object) return false;
  out = object->image;
  return true;
}

std::size_t LiveGdiObjects() { return table().size(); }

}  // namespace quorvel::platform::detail

using quorvel::platform::detail::Fail;
using quorvel::platform::detail::GdiKind;
using quorvel::platform::detail::table;

int GetObjectA(HANDLE h, int c, LPVOID pv) {
  QUORVEL_SEAM_FAIL("GetObjectA", 0);
  auto bitmap = table().Find(h, GdiKind::Bitmap);
  if (!bitmap) return Fail(ERROR_INVALID_HANDLE, 0);
  if (pv == nullptr) return static_cast<int>(sizeof(BITMAP));
  if (c < static_cast<int>(sizeof(BITMAP))) return Fail(ERROR_INVALID_PARAMETER, 0);
  BITMAP description{};
  description.bmType = 0;
  description.bmWidth = static_cast<LONG>(bitmap->image.width);
  description.bmHeight = static_cast<LONG>(bitmap->image.height);
  description.bmWidthBytes = static_cast<LONG>(bitmap->image.width * 4);
  description.bmPlanes = 1;
  description.bmBitsPixel = 32;
  description.bmBits = bitmap->image.pixels.data();
  std::memcpy(pv, &description, sizeof(description));
  return static_cast<int>(sizeof(BITMAP));
}

HDC GetDC(HWND hWnd) {
  QUORVEL_SEAM_FAIL("GetDC", HDC{});
  if (hWnd != nullptr) return Fail(ERROR_INVALID_PARAMETER, HDC{});  // no windows here, only the screen
  return quorvel::platform::detail::InsertDc(GdiKind::ScreenDc);
}

int ReleaseDC(HWND hWnd, HDC hDC) {
  QUORVEL_SEAM_FAIL("ReleaseDC", 0);
  if (hWnd != nullptr) return 0;
  return table().Remove(hDC, GdiKind::ScreenDc) ? 1 : 0;
}

HDC CreateCompatibleDC(HDC hdc) {
  QUORVEL_SEAM_FAIL("CreateCompatibleDC", HDC{});
  if (hdc != nullptr && !quorvel::platform::detail::IsDc(hdc)) return Fail(ERROR_INVALID_HANDLE, HDC{});
  return quorvel::platform::detail::InsertDc(GdiKind::MemoryDc);
}

BOOL DeleteDC(HDC hdc) {
  QUORVEL_SEAM_FAIL("DeleteDC", FALSE);
  return table().Remove(hdc, GdiKind::MemoryDc) ? TRUE : Fail(ERROR_INVALID_HANDLE, FALSE);
}

int GetDIBits(HDC hdc, HBITMAP hbm, UINT uStartScan, UINT cLines, LPVOID lpvBits, LPBITMAPINFO lpbmi, UINT uUsage) {
  QUORVEL_SEAM_FAIL("GetDIBits", 0);
  if (!quorvel::platform::detail::IsDc(hdc)) return Fail(ERROR_INVALID_HANDLE, 0);
  auto bitmap = table().Find(hbm, GdiKind::Bitmap);
  if (!bitmap) return Fail(ERROR_INVALID_HANDLE, 0);
  if (lpbmi == nullptr || uUsage != DIB_RGB_COLORS) return Fail(ERROR_INVALID_PARAMETER, 0);
  BITMAPINFOHEADER& header = lpbmi->bmiHeader;
  if (header.biSize < sizeof(BITMAPINFOHEADER)) return Fail(ERROR_INVALID_PARAMETER, 0);
  const quorvel::platform::icons::IconImage& image = bitmap->image;

  if (lpvBits == nullptr) {
    // The bitmap's own format, as Windows reports a DIB section's: bottom-up, 32-bit BI_RGB.
    header.biWidth = static_cast<LONG>(image.width);
    header.biHeight = static_cast<LONG>(image.height);
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    header.biSizeImage = image.width * image.height * 4;
    return static_cast<int>(image.height);
  }

  const LONG height = header.biHeight;
  if (header.biPlanes != 1 || header.biBitCount != 32 || header.biCompression != BI_RGB ||
      header.biWidth != static_cast<LONG>(image.width) || height == 0 ||
      (height < 0 ? -static_cast<LONGLONG>(height) : height) != static_cast<LONGLONG>(image.height))
    return Fail(ERROR_INVALID_PARAMETER, 0);

  if (uStartScan >= image.height) return 0;
  const UINT lines = std::min<UINT>(cLines, image.height - uStartScan);
  const std::size_t row_bytes = static_cast<std::size_t>(image.width) * 4;
  auto* out = static_cast<BYTE*>(lpvBits);
  for (UINT j = 0; j < lines; ++j) {
    // Top-down: line k is row k. Bottom-up: line k is counted from the bottom row.
    const UINT line = uStartScan + j;
    const UINT row = height < 0 ? line : image.height - 1 - line;
    std::memcpy(out + j * row_bytes, image.pixels.data() + static_cast<std::size_t>(row) * image.width, row_bytes);
  }
  return static_cast<int>(lines);
}

BOOL DeleteObject(HGDIOBJ ho) {
  QUORVEL_SEAM_FAIL("DeleteObject", FALSE);
  return table().Remove(ho, GdiKind::Bitmap) ? TRUE : Fail(ERROR_INVALID_HANDLE, FALSE);
}

BOOL DestroyIcon(HICON hIcon) {
  QUORVEL_SEAM_FAIL("DestroyIcon", FALSE);
  return table().Remove(hIcon, GdiKind::Icon) ? TRUE : Fail(ERROR_INVALID_HANDLE, FALSE);
}

UINT PrivateExtractIconsW(LPCWSTR szFileName, int nIconIndex, int cxIcon, int cyIcon, HICON* phicon, UINT* piconid,
                          UINT nIcons, UINT /*flags*/) {
  namespace icons = quorvel::platform::icons;
  QUORVEL_SEAM_FAIL("PrivateExtractIconsW", 0u);
  if (szFileName == nullptr || *szFileName == L'\0') return Fail(ERROR_INVALID_PARAMETER, 0u);
  std::string path;
  // A name no file can have: what Windows answers for a file it cannot find.
  if (!quorvel::platform::WideToFileName(szFileName, path)) return Fail(ERROR_FILE_NOT_FOUND, 0xFFFFFFFFu);
  if (phicon == nullptr) return icons::CountFileIcons(path);
  if (nIconIndex < 0) return 0;  // a resource identifier: not known here
  const std::uint32_t cx = static_cast<std::uint32_t>(cxIcon) & 0xFFFFu;
  const std::uint32_t cy = static_cast<std::uint32_t>(cyIcon) & 0xFFFFu;
  if (cx > icons::kMaxIconSide || cy > icons::kMaxIconSide) return Fail(ERROR_INVALID_PARAMETER, 0u);
  UINT extracted = 0;
  for (; extracted < nIcons; ++extracted) {
    icons::IconImage image;
    const icons::IconResult result =
        icons::LoadFileIcon(path, static_cast<std::uint32_t>(nIconIndex) + extracted, cx, cy, image);
    if (result == icons::IconResult::kNoSuchItem && extracted == 0) return Fail(ERROR_FILE_NOT_FOUND, 0xFFFFFFFFu);
    if (result != icons::IconResult::kOk) break;
    // The icon is made at the size asked, from the nearest image, as Windows makes it; 0 keeps the image's own.
    if (cx != 0 && cy != 0 && (image.width != cx || image.height != cy)) {
      try {
        image = icons::ScaleImage(image, cx, cy);
      } catch (const std::bad_alloc&) {
        break;
      }
    }
    HICON icon = quorvel::platform::detail::CreateIconFromImage(std::move(image));
    if (icon == nullptr) break;
    phicon[extracted] = icon;
    if (piconid != nullptr) piconid[extracted] = 0;
  }
  return extracted;
}
