// The shell's functions beside a thread that keeps changing the C environment, as os.environ may: each call runs
// on a copy taken under the lock that orders the writers (the GIL for the module, a mutex here), so it neither
// reads memory setenv has freed nor sees a later change. A bounded race in a child, so a crash fails the test.
#include <gtest/gtest.h>
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

int RaceChild() {
  std::mutex writers;
  std::atomic<bool> stop{false}, wrong{false};
  ::setenv("QV_RACE_MARK", "start", 1);
  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // new names make glibc reallocate the array of entries; removals shift it
    for (unsigned i = 0; !stop; ++i) {
      std::lock_guard lock(writers);
      ::setenv(("QV_RACE_" + std::to_string(i % 4096)).c_str(), std::string(i % 300, 'v').c_str(), 1);
      if (i % 3 == 0) ::unsetenv(("QV_RACE_" + std::to_string(i * 7 % 4096)).c_str());
      ::setenv("QV_RACE_MARK", std::to_string(i).c_str(), 1);
    }
  });
  for (int kind : {0, 0, 1, 2}) {
    threads.emplace_back([&, kind] {
      while (!stop) {
        EnvironmentCopy copy;
        {
          std::lock_guard lock(writers);
          copy = EnvironmentCopy::Take();
        }
        const EnvironmentCopy::Use use(copy);
        const std::wstring mark = quorvel::platform::Utf8ToWide(copy.Find("QV_RACE_MARK").value_or("")) + L"|";
        if (kind == 0 && expand_env_path(L"%QV_RACE_MARK%|%HOME%/%PATH%").rfind(mark, 0) != 0) wrong = true;
        if (kind == 1 && GetKnownFolderPath(FOLDERID_Profile).empty()) wrong = true;
        if (kind == 2) ExtractPngFromExecutableIcon(L"/tmp", 16, 16);  // the icon theme's folders
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  stop = true;
  for (auto& t : threads) t.join();
  return wrong ? 3 : 0;
}

TEST(EnvironmentRace, CallsOnACopyNeitherCrashNorSeeLaterChanges) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(RaceChild());
  int status = 0;
  pid_t done = 0;
  for (int waited = 0; (done = ::waitpid(child, &status, WNOHANG)) == 0 && waited < 1800; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // up to 90 s
  }
  if (done == 0) ::kill(child, SIGKILL);
  ASSERT_NE(done, 0) << "the race did not end";
  ASSERT_FALSE(WIFSIGNALED(status)) << "the child died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a call read the environment instead of its copy";
}

}  // namespace
