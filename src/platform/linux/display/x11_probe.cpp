#include "platform/linux/display/x11_probe.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace quorvel::platform::x11 {

namespace {

using Clock = std::chrono::steady_clock;

int Remaining(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Connects without blocking past the deadline, sends a setup and waits for the first byte or the end of the stream.
// A setup with protocol version 0 is refused at once by every server without it counting as a client (a server
// whose last client leaves resets), and proxies that check authorisation answer by closing.
ProbeResult Ask(const sockaddr* address, socklen_t length, int family, Clock::time_point deadline) {
  Fd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return ProbeResult::kGone;
  if (::connect(fd.get(), address, length) != 0) {
    if (errno == EAGAIN) return ProbeResult::kSilent;  // a Unix socket's backlog is full: nobody accepts
    if (errno != EINPROGRESS) return ProbeResult::kGone;
    pollfd p{fd.get(), POLLOUT, 0};
    int ready;
    while ((ready = ::poll(&p, 1, Remaining(deadline))) < 0 && errno == EINTR) {
    }
    if (ready == 0) return ProbeResult::kSilent;
    int error = 0;
    socklen_t size = sizeof error;
    if (ready < 0 || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      return ProbeResult::kGone;
    }
  }
  // Byte order 'l', protocol 0.0, no authorisation.
  static const unsigned char kSetup[12] = {0x6c, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  if (::send(fd.get(), kSetup, sizeof kSetup, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof kSetup)) {
    return ProbeResult::kGone;
  }
  pollfd p{fd.get(), POLLIN, 0};
  int ready;
  while ((ready = ::poll(&p, 1, Remaining(deadline))) < 0 && errno == EINTR) {
  }
  return ready > 0 ? ProbeResult::kAnswered : ready == 0 ? ProbeResult::kSilent : ProbeResult::kGone;
}

ProbeResult AskUnix(const std::string& path, bool abstract, Clock::time_point deadline) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t offset = abstract ? 1 : 0;
  if (path.size() + offset >= sizeof address.sun_path) return ProbeResult::kGone;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
  return Ask(reinterpret_cast<const sockaddr*>(&address), length, AF_UNIX, deadline);
}

ProbeResult AskTcp(const std::string& host, int display, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(6000 + display);
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return ProbeResult::kGone;
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, ::freeaddrinfo);
  ProbeResult result = ProbeResult::kGone;
  for (const addrinfo* a = found; a != nullptr && result != ProbeResult::kAnswered; a = a->ai_next) {
    const ProbeResult r = Ask(a->ai_addr, a->ai_addrlen, a->ai_family, deadline);
    if (r != ProbeResult::kGone) result = r;
  }
  return result;
}

}  // namespace

ProbeResult ProbeServer(const std::string& name, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  char* parsed_host = nullptr;
  int display = 0, screen = 0;
  if (!xcb_parse_display(name.c_str(), &parsed_host, &display, &screen)) return ProbeResult::kGone;
  std::string host = parsed_host != nullptr ? parsed_host : "";
  std::free(parsed_host);
  // An IPv6 address may come in brackets ("[::1]:0"), which XCB takes off before it resolves the name.
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (!host.empty() && host[0] == '/') return AskUnix(host, false, deadline);  // the socket's own path
  if (host.empty() || host == "unix") {
    // XCB's order on Linux: the abstract socket, then the file; for ":N" alone, TCP on this machine last.
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(display);
    ProbeResult result = AskUnix(path, true, deadline);
    if (result == ProbeResult::kGone) result = AskUnix(path, false, deadline);
    if (result == ProbeResult::kGone && host.empty()) result = AskTcp("localhost", display, deadline);
    return result;
  }
  return AskTcp(host, display, deadline);
}

}  // namespace quorvel::platform::x11
