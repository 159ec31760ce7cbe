// The shell's functions beside a thread that keeps changing the C environment (as os.environ does from any Python
// thread): each call runs on a copy taken under the lock that orders the writers (the GIL, for the module; a
// mutex here), so it neither reads memory setenv has freed nor sees anything but its copy. A bounded race in a
// child process, so a crash fails this test instead of ending the run.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/environment.h"
#include "platform/linux/base/wide.h"
#include "utils/env_path.h"
#include "utils/known_folders.h"
#include "utils/shell_icon_png.h"

namespace {

using quorvel::platform::EnvironmentCopy;
using quorvel::platform::Utf8ToWide;

// Exit codes of the child.
constexpr int kClean = 0;
constexpr int kSawTheEnvironment = 3;

int RaceChild(std::chrono::milliseconds length) {
  std::mutex writers;  // what the GIL is to os.environ
  std::atomic<bool> stop{false};
  std::atomic<bool> wrong{false};
  ::setenv("QV_RACE_MARK", "0", 1);
  ::setenv("QV_ICON_DIR", "/tmp", 1);

  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    // New names make glibc reallocate the array of entries; removals shift it.
    for (unsigned i = 0; !stop.load(std::memory_order_relaxed); ++i) {
      std::lock_guard lock(writers);
      ::setenv(("QV_RACE_" + std::to_string(i % 4096)).c_str(), std::string(i % 300, 'v').c_str(), 1);
      if (i % 3 == 0) ::unsetenv(("QV_RACE_" + std::to_string((i * 7) % 4096)).c_str());
      ::setenv("QV_RACE_MARK", std::to_string(i).c_str(), 1);
    }
  });
  const auto reader = [&](int kind) {
    while (!stop.load(std::memory_order_relaxed)) {
      EnvironmentCopy copy;
      {
        std::lock_guard lock(writers);
        copy = EnvironmentCopy::Take();
      }
      const EnvironmentCopy::Use use(copy);
      if (kind == 0) {
        const std::wstring mark = Utf8ToWide(copy.Find("QV_RACE_MARK").value_or("?"));
        if (expand_env_path(L"%QV_RACE_MARK%|%HOME%/%PATH%/%X%").rfind(mark + L"|", 0) != 0) wrong = true;
      } else if (kind == 1) {
        if (GetKnownFolderPath(FOLDERID_Profile).empty()) wrong = true;
      } else {
        ExtractPngFromExecutableIcon(L"/tmp", 16, 16);  // the icon theme's folders come from the environment
      }
    }
  };
  for (int kind : {0, 0, 1, 2}) threads.emplace_back(reader, kind);
  std::this_thread::sleep_for(length);
  stop = true;
  for (auto& t : threads) t.join();
  return wrong ? kSawTheEnvironment : kClean;
}

TEST(EnvironmentRace, CallsOnACopyNeitherCrashNorSeeLaterChanges) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(RaceChild(std::chrono::seconds(3)));

  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  pid_t done = 0;
  while ((done = ::waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (done == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    FAIL() << "the race did not end";
  }
  ASSERT_FALSE(WIFSIGNALED(status)) << "the child died of signal " << WTERMSIG(status);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kClean) << "a call read the environment instead of its copy";
}

}  // namespace
