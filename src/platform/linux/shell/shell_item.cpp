// Shell items over paths, and their image factory: the item's icon from the icon source, as a DIB section.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <new>
#include <string>
#include <utility>

#include "platform/linux/base/com_apartment.h"
#include "platform/linux/shell/gdi_objects.h"
#include "platform/linux/shell/icon_scale.h"
#include "platform/linux/shell/icon_source.h"
#include "platform/linux/seam/seam_results.h"
#include "platform/linux/base/wide.h"
#include "platform/win32.h"

namespace quorvel::platform::detail {
namespace {

// Shrinks `image` to fit cx x cy, keeping its aspect ratio.
void ShrinkToFit(icons::IconImage& image, std::uint32_t cx, std::uint32_t cy) {
  if (image.width <= cx && image.height <= cy) return;
  const double scale = std::min(static_cast<double>(cx) / image.width, static_cast<double>(cy) / image.height);
  const auto width = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::lround(image.width * scale)));
  const auto height = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::lround(image.height * scale)));
  image = icons::ScaleImage(image, width, height);
}

class ShellItem final : public IShellItem, public IShellItemImageFactory {
 public:
  explicit ShellItem(std::string path) : path_(std::move(path)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    QUORVEL_SEAM_FAIL_HRESULT("IShellItem::QueryInterface");
    return Query(riid, ppv);
  }
  HRESULT Query(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IShellItem)) {
      *ppv = static_cast<IShellItem*>(this);
    } else if (riid == __uuidof(IShellItemImageFactory)) {
      *ppv = static_cast<IShellItemImageFactory*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.Release();
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE BindToHandler(IBindCtx*, REFGUID, REFIID, void** ppv) override {
    if (ppv != nullptr) *ppv = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetParent(IShellItem** ppsi) override {
    if (ppsi != nullptr) *ppsi = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDisplayName(SIGDN, LPWSTR* ppszName) override {
    if (ppszName != nullptr) *ppszName = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetAttributes(SFGAOF, SFGAOF*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Compare(IShellItem*, SICHINTF, int*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetImage(SIZE size, SIIGBF flags, HBITMAP* phbm) override {
    QUORVEL_SEAM_FAIL_HRESULT("IShellItemImageFactory::GetImage");
    if (phbm == nullptr) return E_POINTER;
    *phbm = nullptr;
    if (size.cx <= 0 || size.cy <= 0) return E_INVALIDARG;
    if ((flags & SIIGBF_ICONONLY) && (flags & SIIGBF_THUMBNAILONLY)) return E_INVALIDARG;
    if (flags & SIIGBF_THUMBNAILONLY) return E_FAIL;  // no thumbnails are made here
    const auto cx = static_cast<std::uint32_t>(size.cx);
    const auto cy = static_cast<std::uint32_t>(size.cy);
    icons::IconImage image;
    switch (icons::LoadShellIcon(path_, cx, cy, image)) {
      case icons::IconResult::kOk: break;
      case icons::IconResult::kNoSuchItem: return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
      case icons::IconResult::kNoIcon:
      case icons::IconResult::kFailed: return E_FAIL;
    }
    try {
      if (!(flags & SIIGBF_BIGGERSIZEOK)) ShrinkToFit(image, cx, cy);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    HBITMAP bitmap = CreateDibSectionFromImage(std::move(image));
    if (bitmap == nullptr) return E_OUTOFMEMORY;
    *phbm = bitmap;
    return S_OK;
  }

 private:
  ~ShellItem() = default;

  ComRefCount refs_;
  const std::string path_;
};

}  // namespace
}  // namespace quorvel::platform::detail

HRESULT SHCreateItemFromParsingName(LPCWSTR pszPath, IBindCtx* /*pbc*/, REFIID riid, void** ppv) {
  using namespace quorvel::platform;
  QUORVEL_SEAM_FAIL_HRESULT("SHCreateItemFromParsingName");
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!detail::ComInitializedOnThisThread()) return CO_E_NOTINITIALIZED;
  if (pszPath == nullptr || *pszPath == L'\0') return E_INVALIDARG;
  std::string path;
  if (!WideToFileName(pszPath, path)) return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    return HRESULT_FROM_WIN32(detail::Win32FromErrno(error));
  }
  auto* item = new (std::nothrow) detail::ShellItem(std::move(path));
  if (item == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = item->Query(riid, ppv);
  item->Release();
  return hr;
}
