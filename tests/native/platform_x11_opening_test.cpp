// The X server dies while threads are opening the connection to it (inside XOpenDisplay, past its setup): every
// call fails within the deadline and the process goes on; Xlib says nothing on stderr about the module's
// connections. Threads that want a server another thread is connecting to wait for that one connection.
#include "x11_test_support.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "game_screenshoter/find_game_window.h"
#include "platform/linux/display/x11_display.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kBound = quorvel::platform::x11::kServerDeadline * 2 + std::chrono::seconds(3);
const std::wstring kInstall = std::filesystem::path(x11_test::FixtureProgram()).parent_path().wstring();

// Descriptor 2 goes to a file while it lives; Text() is what was written there.
class StderrCapture {
 public:
  StderrCapture() {
    char name[] = "/tmp/quorvel-stderr-XXXXXX";
    file_ = mkstemp(name);
    path_ = name;
    saved_ = dup(2);
    dup2(file_, 2);
  }
  ~StderrCapture() {
    dup2(saved_, 2);
    close(saved_);
    close(file_);
    unlink(path_.c_str());
  }
  std::string Text() const {
    std::ifstream in(path_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

 private:
  int file_ = -1;
  int saved_ = -1;
  std::string path_;
};

// Each thread makes one search; the longest.
Clock::duration SearchOnThreads(int count, const std::function<void()>& meanwhile) {
  std::atomic<bool> go{false};
  std::atomic<Clock::rep> longest{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&] {
      while (!go) {
      }
      const auto start = Clock::now();
      FindGameWindow(kInstall, 0);
      const auto took = (Clock::now() - start).count();
      auto seen = longest.load();
      while (took > seen && !longest.compare_exchange_weak(seen, took)) {
      }
    });
  }
  go = true;
  meanwhile();
  for (auto& t : threads) t.join();
  return Clock::duration(longest.load());
}

TEST(Opening, AServerKilledWhileThreadsConnectEndsNeitherTheProcessNorACallsBound) {
  signal(SIGPIPE, SIG_IGN);
  const StderrCapture stderr_capture;
  const x11_test::Layout small{320, 240, {}, false, 0};
  // Kills spread over the first 4 ms of the calls: some land inside XOpenDisplay past its setup, which ended the
  // process before (in the first few rounds, every run).
  for (int round = 0; round < 5; ++round) {
    for (int delay_us = 0; delay_us <= 4000; delay_us += 500) {
      SCOPED_TRACE(testing::Message() << "round " << round << ", killed after " << delay_us << " us");
      x11_test::Server server(small);
      ASSERT_FALSE(server.display().empty());
      setenv("DISPLAY", server.display().c_str(), 1);
      const auto longest = SearchOnThreads(8, [&] {
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
        server.Kill();
      });
      EXPECT_LT(longest, kBound);
    }
  }
  const std::string said = stderr_capture.Text();
  EXPECT_EQ(said.find("X connection"), std::string::npos) << said;
  EXPECT_EQ(said.find("XIO"), std::string::npos) << said;
}

TEST(Opening, ThreadsWantingOneServerOpenOneConnectionToItAtATime) {
  // A socket that takes connections and never answers: each connection the calls try is one accepted here.
  const int number = x11_test::OwnDisplayNumber();
  const int listener = x11_test::SilentDisplay(number);
  ASSERT_GE(listener, 0);
  setenv("DISPLAY", (":" + std::to_string(number)).c_str(), 1);
  std::vector<int> accepted;
  const auto longest = SearchOnThreads(8, [&] {
    // Within the first connection's deadline: later calls may try again once it has given up.
    const auto until = Clock::now() + quorvel::platform::x11::kServerDeadline - std::chrono::milliseconds(500);
    while (Clock::now() < until) {
      pollfd p{listener, POLLIN, 0};
      if (poll(&p, 1, 50) == 1) accepted.push_back(accept(listener, nullptr, nullptr));
    }
  });
  EXPECT_EQ(accepted.size(), 1u) << "every thread tried the silent server on its own";
  EXPECT_LT(longest, kBound);
  for (int fd : accepted) close(fd);
  close(listener);
}

}  // namespace
