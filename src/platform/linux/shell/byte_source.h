// Bounded random access to the bytes of an icon source: a file read with pread, or bytes already in memory (the
// fuzzer's entry). Readers ask for exact ranges; a range not wholly inside the source is refused, never clipped,
// so no reader can see past the end or trust a size it did not check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorvel::platform::icons {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Exactly `count` bytes from `offset`; false (nothing promised about `dst`) when the range is not inside.
  virtual bool Read(std::uint64_t offset, std::size_t count, void* dst) const = 0;

  bool Contains(std::uint64_t offset, std::uint64_t count) const {
    return offset <= Size() && count <= Size() - offset;
  }
  // Little-endian fields; false when out of range.
  bool U16(std::uint64_t offset, std::uint16_t& value) const;
  bool U32(std::uint64_t offset, std::uint32_t& value) const;
  // `count` bytes into `out`, refused above `limit` so a hostile size never becomes a huge allocation.
  bool Bytes(std::uint64_t offset, std::uint64_t count, std::uint64_t limit, std::vector<std::uint8_t>& out) const;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool Read(std::uint64_t offset, std::size_t count, void* dst) const override;

 private:
  std::span<const std::uint8_t> bytes_;
};

// A regular file, opened read-only; a FIFO, device or directory is refused (reading one could block or never end).
class FileSource final : public ByteSource {
 public:
  enum class OpenResult { kOk, kMissing, kNotRegular, kUnreadable };

  FileSource() = default;
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  OpenResult Open(const std::string& path);
  std::uint64_t Size() const override { return size_; }
  bool Read(std::uint64_t offset, std::size_t count, void* dst) const override;

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

}  // namespace quorvel::platform::icons
