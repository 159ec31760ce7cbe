// A burst of file creations across a directory tree, drained through ReadDirectoryChangesW and
// GetQueuedCompletionStatus; run by inotify_burst.sh side by side with inotifywait. Figures only.
//
//   bench_inotify_burst watch ROOT N   subtree watch on ROOT; prints "ready", then figures once N files are seen
//                                      (or after 5 s without a change)
//   bench_inotify_burst write ROOT N   creates N empty files spread over the directories below ROOT
//   bench_inotify_burst count N        counts lines on stdin (a peer's events) with the same timing
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/base/wide.h"
#include "platform/win32.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kIdleMs = 5000;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

long PeakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

void Report(const char* who, long expected, long seen, long zero_completions, Clock::time_point first,
            Clock::time_point last) {
  const double span = seen > 1 ? Seconds(first, last) : 0.0;
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                     (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::printf(
      "%s events=%ld lost=%ld zero_byte_completions=%ld seconds=%.3f events_per_second=%.0f cpu_seconds=%.3f "
      "vmhwm_kib=%ld\n",
      who, seen, expected - seen, zero_completions, span, span > 0 ? seen / span : 0.0, cpu, PeakKiB());
  std::fflush(stdout);
}

int Watch(const std::string& root, long expected) {
  HANDLE dir = CreateFileW(quorvel::platform::Utf8ToWide(root).c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (dir == INVALID_HANDLE_VALUE) return std::fprintf(stderr, "cannot open %s: %u\n", root.c_str(), GetLastError()), 1;
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  CreateIoCompletionPort(dir, port, 1, 1);
  // The watcher's own buffer size.
  alignas(DWORD) static BYTE buffer[3848];
  OVERLAPPED ov{};
  auto read = [&] {
    ov = OVERLAPPED{};
    return ReadDirectoryChangesW(dir, buffer, sizeof buffer, TRUE, FILE_NOTIFY_CHANGE_FILE_NAME, nullptr, &ov,
                                 nullptr);
  };
  if (!read()) return std::fprintf(stderr, "first read failed: %u\n", GetLastError()), 1;
  std::printf("ready\n");
  std::fflush(stdout);

  long seen = 0, zero = 0;
  Clock::time_point first{}, last{};
  while (seen < expected) {
    DWORD bytes;
    ULONG_PTR key;
    LPOVERLAPPED done;
    if (!GetQueuedCompletionStatus(port, &bytes, &key, &done, seen ? kIdleMs : 10 * kIdleMs)) break;
    last = Clock::now();
    if (bytes == 0) {
      ++zero;  // changes were lost
    } else {
      if (seen == 0) first = last;
      for (DWORD offset = 0;;) {
        const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
        if (record->Action == FILE_ACTION_ADDED) ++seen;
        if (!record->NextEntryOffset) break;
        offset += record->NextEntryOffset;
      }
    }
    if (!read()) break;
  }
  Report("quorvel", expected, seen, zero, first, last);
  CloseHandle(dir);
  CloseHandle(port);
  return 0;
}

int Write(const std::string& root, long count) {
  std::vector<std::string> dirs;
  std::vector<std::string> pending{root};
  while (!pending.empty()) {
    const std::string dir = pending.back();
    pending.pop_back();
    if (dir != root) dirs.push_back(dir);
    if (DIR* d = ::opendir(dir.c_str())) {
      while (const dirent* e = ::readdir(d)) {
        if (e->d_type == DT_DIR && std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
          pending.push_back(dir + "/" + e->d_name);
      }
      ::closedir(d);
    }
  }
  if (dirs.empty()) dirs.push_back(root);
  const auto start = Clock::now();
  for (long i = 0; i < count; ++i) {
    const std::string path = dirs[i % dirs.size()] + "/f" + std::to_string(i);
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return std::perror(path.c_str()), 1;
    ::close(fd);
  }
  const double span = Seconds(start, Clock::now());
  std::printf("writer files=%ld directories=%zu seconds=%.3f creations_per_second=%.0f\n", count, dirs.size(), span,
              count / span);
  return 0;
}

int Count(long expected) {
  long seen = 0;
  Clock::time_point first{}, last{};
  char chunk[65536];
  while (seen < expected) {
    pollfd in{0, POLLIN, 0};
    if (::poll(&in, 1, seen ? kIdleMs : 10 * kIdleMs) <= 0) break;
    const ssize_t got = ::read(0, chunk, sizeof chunk);
    if (got <= 0) break;
    last = Clock::now();
    for (ssize_t i = 0; i < got; ++i) {
      if (chunk[i] == '\n' && seen++ == 0) first = last;
    }
  }
  Report("inotifywait", expected, seen, 0, first, last);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "watch" && argc == 4) return Watch(argv[2], std::atol(argv[3]));
  if (mode == "write" && argc == 4) return Write(argv[2], std::atol(argv[3]));
  if (mode == "count" && argc == 3) return Count(std::atol(argv[2]));
  std::fprintf(stderr, "usage: %s watch ROOT N | write ROOT N | count N\n", argv[0]);
  return 2;
}
