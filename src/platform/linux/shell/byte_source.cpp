#include "platform/linux/shell/byte_source.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel::platform::icons {

bool ByteSource::U16(std::uint64_t offset, std::uint16_t& value) const {
  std::uint8_t b[2];
  if (!Read(offset, sizeof b, b)) return false;
  value = static_cast<std::uint16_t>(b[0] | (b[1] << 8));
  return true;
}

bool ByteSource::U32(std::uint64_t offset, std::uint32_t& value) const {
  std::uint8_t b[4];
  if (!Read(offset, sizeof b, b)) return false;
  value = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
          (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
  return true;
}

bool ByteSource::Bytes(std::uint64_t offset, std::uint64_t count, std::uint64_t limit,
                       std::vector<std::uint8_t>& out) const {
  if (count > limit || !Contains(offset, count)) return false;
  out.resize(static_cast<std::size_t>(count));
  return count == 0 || Read(offset, out.size(), out.data());
}

bool MemorySource::Read(std::uint64_t offset, std::size_t count, void* dst) const {
  if (!Contains(offset, count)) return false;
  if (count != 0) std::memcpy(dst, bytes_.data() + offset, count);
  return true;
}

FileSource::~FileSource() {
  if (fd_ >= 0) ::close(fd_);
}

FileSource::OpenResult FileSource::Open(const std::string& path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer before fstat can refuse it.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    return (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG || errno == ELOOP) ? OpenResult::kMissing
                                                                                             : OpenResult::kUnreadable;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return OpenResult::kUnreadable;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return OpenResult::kNotRegular;
  }
  fd_ = fd;
  size_ = static_cast<std::uint64_t>(st.st_size);
  return OpenResult::kOk;
}

bool FileSource::Read(std::uint64_t offset, std::size_t count, void* dst) const {
  if (fd_ < 0 || !Contains(offset, count)) return false;
  auto* p = static_cast<std::uint8_t*>(dst);
  while (count > 0) {
    ssize_t n = ::pread(fd_, p, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // shrunk under us, or an I/O error
    p += n;
    offset += static_cast<std::uint64_t>(n);
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace quorvel::platform::icons
