// Global memory blocks and the COM stream over one. A stream grows its block in whole pages (as the system's
// stream grows its block ahead of the data), so GlobalSize of a stream's block is usually more than the stream
// holds: only the stream's size says where the data ends.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/linux/seam/seam_results.h"
#include "platform/linux/shell/hglobal_blocks.h"
#include "platform/win32.h"

namespace quorvel::platform::detail {
namespace {

constexpr std::size_t kPage = 4096;
constexpr ULONGLONG kMaxStreamSize = 0x7FFFFFFFu;  // larger streams fail with STG_E_MEDIUMFULL

struct GlobalBlock {
  std::vector<BYTE> bytes;
  UINT locks = 0;
};

class BlockTable {
 public:
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, std::unique_ptr<GlobalBlock>> blocks;
  std::uintptr_t next = 0x80000;

  // With the mutex held.
  GlobalBlock* Find(HGLOBAL handle) {
    auto it = blocks.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == blocks.end() ? nullptr : it->second.get();
  }
};

BlockTable& blocks() {
  static BlockTable* t = new BlockTable;
  return *t;
}

// Resizes a block to hold at least `size` bytes (rounded up to whole pages when growing); with the mutex held.
// A locked block is never moved: growing it fails.
bool GrowBlock(GlobalBlock& block, std::size_t size) {
  if (size <= block.bytes.size()) return true;
  if (block.locks > 0) return false;
  const std::size_t rounded = (size + kPage - 1) / kPage * kPage;
  try {
    block.bytes.resize(rounded, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

class HGlobalStream final : public IStream {
 public:
  HGlobalStream(HGLOBAL block, bool delete_on_release, ULONGLONG size)
      : block_(block), delete_on_release_(delete_on_release), size_(size) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(ISequentialStream) || riid == __uuidof(IStream)) {
      *ppv = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.Release();
    if (left == 0) {
      if (delete_on_release_) ::GlobalFree(block_);
      delete this;
    }
    return left;
  }

  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pv == nullptr) return STG_E_INVALIDPOINTER;
    std::lock_guard lock(blocks().mutex);
    GlobalBlock* block = blocks().Find(block_);
    if (block == nullptr) return E_HANDLE;
    const ULONGLONG available = position_ < size_ ? size_ - position_ : 0;
    const ULONG count = static_cast<ULONG>(std::min<ULONGLONG>(cb, available));
    if (count > 0) std::memcpy(pv, block->bytes.data() + position_, count);
    position_ += count;
    if (pcbRead != nullptr) *pcbRead = count;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten != nullptr) *pcbWritten = 0;
    if (pv == nullptr) return STG_E_INVALIDPOINTER;
    if (cb == 0) return S_OK;
    const ULONGLONG end = position_ + cb;
    if (end > kMaxStreamSize) return STG_E_MEDIUMFULL;
    std::lock_guard lock(blocks().mutex);
    GlobalBlock* block = blocks().Find(block_);
    if (block == nullptr) return E_HANDLE;
    if (!GrowBlock(*block, static_cast<std::size_t>(end))) return STG_E_MEDIUMFULL;
    std::memcpy(block->bytes.data() + position_, pv, cb);
    position_ = end;
    size_ = std::max(size_, end);
    if (pcbWritten != nullptr) *pcbWritten = cb;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_position) override {
    LONGLONG base = 0;
    switch (origin) {
      case STREAM_SEEK_SET: base = 0; break;
      case STREAM_SEEK_CUR: base = static_cast<LONGLONG>(position_); break;
      case STREAM_SEEK_END: base = static_cast<LONGLONG>(size_); break;
      default: return STG_E_INVALIDFUNCTION;
    }
    if ((move.QuadPart < 0 && base + move.QuadPart < 0) ||
        (move.QuadPart > 0 && move.QuadPart > static_cast<LONGLONG>(kMaxStreamSize) - base))
      return STG_E_INVALIDFUNCTION;
    position_ = static_cast<ULONGLONG>(base + move.QuadPart);
    if (new_position != nullptr) new_position->QuadPart = position_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER new_size) override {
    if (new_size.QuadPart > kMaxStreamSize) return STG_E_MEDIUMFULL;
    std::lock_guard lock(blocks().mutex);
    GlobalBlock* block = blocks().Find(block_);
    if (block == nullptr) return E_HANDLE;
    if (!GrowBlock(*block, static_cast<std::size_t>(new_size.QuadPart))) return STG_E_MEDIUMFULL;
    size_ = new_size.QuadPart;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }  // memory: nothing to commit
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;  // as the system's memory stream: no region locks
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }

  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override {
    if (stat == nullptr) return STG_E_INVALIDPOINTER;
    if (flags != STATFLAG_DEFAULT && flags != STATFLAG_NONAME) return STG_E_INVALIDFLAG;
    *stat = STATSTG{};
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = size_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

  HGLOBAL block() const { return block_; }

 private:
  ~HGlobalStream() = default;

  ComRefCount refs_;
  const HGLOBAL block_;
  const bool delete_on_release_;
  ULONGLONG size_;
  ULONGLONG position_ = 0;
};

HGLOBAL StreamBlock(IStream* stream) {
  auto* own = dynamic_cast<HGlobalStream*>(stream);  // any other stream has no block
  return own ? own->block() : nullptr;
}

}  // namespace

std::size_t LiveGlobalBlocks() {
  std::lock_guard lock(blocks().mutex);
  return blocks().blocks.size();
}

}  // namespace quorvel::platform::detail

using quorvel::platform::detail::blocks;
using quorvel::platform::detail::Fail;

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  QUORVEL_SEAM_FAIL("GlobalAlloc", HGLOBAL{});
  if ((uFlags & ~(GMEM_MOVEABLE | GMEM_ZEROINIT)) != 0 || (uFlags & GMEM_MOVEABLE) == 0)
    return Fail(ERROR_INVALID_PARAMETER, HGLOBAL{});
  if (dwBytes > quorvel::platform::detail::kMaxStreamSize) return Fail(ERROR_NOT_ENOUGH_MEMORY, HGLOBAL{});
  try {
    auto block = std::make_unique<quorvel::platform::detail::GlobalBlock>();
    block->bytes.resize(dwBytes, 0);
    std::lock_guard lock(blocks().mutex);
    blocks().next += 8;
    blocks().blocks.emplace(blocks().next, std::move(block));
    return reinterpret_cast<HGLOBAL>(blocks().next);
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, HGLOBAL{});
  }
}

HGLOBAL GlobalFree(HGLOBAL hMem) {
  QUORVEL_SEAM_FAIL("GlobalFree", hMem);
  std::unique_ptr<quorvel::platform::detail::GlobalBlock> doomed;
  std::lock_guard lock(blocks().mutex);
  auto it = blocks().blocks.find(reinterpret_cast<std::uintptr_t>(hMem));
  if (it == blocks().blocks.end()) return Fail(ERROR_INVALID_HANDLE, hMem);
  doomed = std::move(it->second);
  blocks().blocks.erase(it);
  return nullptr;
}

LPVOID GlobalLock(HGLOBAL hMem) {
  QUORVEL_SEAM_FAIL("GlobalLock", LPVOID{});
  std::lock_guard lock(blocks().mutex);
  auto* block = blocks().Find(hMem);
  if (block == nullptr) return Fail(ERROR_INVALID_HANDLE, LPVOID{});
  if (block->bytes.empty()) return Fail(ERROR_DISCARDED, LPVOID{});
  ++block->locks;
  return block->bytes.data();
}

BOOL GlobalUnlock(HGLOBAL hMem) {
  QUORVEL_SEAM_FAIL("GlobalUnlock", FALSE);
  std::lock_guard lock(blocks().mutex);
  auto* block = blocks().Find(hMem);
  if (block == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (block->locks == 0) return Fail(ERROR_NOT_LOCKED, FALSE);
  --block->locks;
  return block->locks > 0 ? TRUE : Fail(ERROR_SUCCESS, FALSE);
}

SIZE_T GlobalSize(HGLOBAL hMem) {
  QUORVEL_SEAM_FAIL("GlobalSize", SIZE_T{0});
  std::lock_guard lock(blocks().mutex);
  auto* block = blocks().Find(hMem);
  return block == nullptr ? Fail(ERROR_INVALID_HANDLE, SIZE_T{0}) : block->bytes.size();
}

HRESULT CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm) {
  QUORVEL_SEAM_FAIL_HRESULT("CreateStreamOnHGlobal");
  if (ppstm == nullptr) return E_INVALIDARG;
  *ppstm = nullptr;
  ULONGLONG size = 0;
  bool made_block = false;
  if (hGlobal == nullptr) {
    hGlobal = ::GlobalAlloc(GMEM_MOVEABLE, 0);
    if (hGlobal == nullptr) return E_OUTOFMEMORY;
    made_block = true;
  } else {
    std::lock_guard lock(blocks().mutex);
    auto* block = blocks().Find(hGlobal);
    if (block == nullptr) return E_INVALIDARG;
    size = block->bytes.size();  // a given block's content is the whole block
  }
  auto* stream = new (std::nothrow) quorvel::platform::detail::HGlobalStream(hGlobal, fDeleteOnRelease != FALSE, size);
  if (stream == nullptr) {
    if (made_block) ::GlobalFree(hGlobal);
    return E_OUTOFMEMORY;
  }
  *ppstm = stream;
  return S_OK;
}

HRESULT GetHGlobalFromStream(LPSTREAM pstm, HGLOBAL* phglobal) {
  QUORVEL_SEAM_FAIL_HRESULT("GetHGlobalFromStream");
  if (phglobal == nullptr) return E_INVALIDARG;
  *phglobal = nullptr;
  HGLOBAL block = pstm ? quorvel::platform::detail::StreamBlock(pstm) : nullptr;
  if (block == nullptr) return E_INVALIDARG;
  *phglobal = block;
  return S_OK;
}
