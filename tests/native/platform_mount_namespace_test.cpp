// A process that moves to another mount namespace after its watches began, without fork, so that the sanitizers
// see the reader read mount tables beside new watches: as root only (a thread of a process that already runs
// others cannot make a user namespace), this test's thread moves to a namespace of its own.
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "platform_test_support.h"

namespace platform_test {
namespace {

using MountNamespace = PlatformTest;

TEST_F(MountNamespace, AfterAMoveALazyUnmountThereEndsItsWatchAndOtherMountChangesEndNone) {
  Watch first(tmp_.path());  // the engine starts in the first namespace
  ASSERT_TRUE(first.Arm());
  if (::unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "no mount namespace of its own: " << std::strerror(errno);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
  const std::string lazy = tmp_ / "lazy", churn = tmp_ / "churn";
  MakeDir(lazy);
  MakeDir(churn);
  ASSERT_EQ(::mount("quorvel-test", lazy.c_str(), "tmpfs", 0, nullptr), 0) << std::strerror(errno);
  MakeDir(lazy + "/watched");
  {
    Watch moved(lazy + "/watched");
    ASSERT_TRUE(moved.Arm());
    // Unrelated mounts come and go while the reader reads the tables and another watch begins.
    for (int i = 0; i < 50; ++i) {
      ASSERT_EQ(::mount("quorvel-churn", churn.c_str(), "tmpfs", 0, nullptr), 0) << std::strerror(errno);
      ASSERT_EQ(::umount2(churn.c_str(), 0), 0) << std::strerror(errno);
      if (i == 25) {
        Watch beside(lazy);
        EXPECT_TRUE(beside.Arm());
      }
    }
    WriteFile(lazy + "/watched/after");
    moved.CollectUntilName(L"after");  // fails the test when it never comes
    // Lazily, as `umount -l` does: the open handle keeps the file system alive, and the kernel reports nothing.
    ASSERT_EQ(::umount2(lazy.c_str(), MNT_DETACH), 0) << std::strerror(errno);
    DWORD error = ERROR_SUCCESS;
    if (!moved.Read()) {
      error = GetLastError();
    } else {
      const Completion c = Dequeue(moved.port());
      EXPECT_FALSE(c.ok);
      error = c.error;
    }
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "the lazy unmount went unseen";
  }
  WriteFile(tmp_ / "still");
  first.CollectUntilName(L"still");  // the first namespace's watch goes on
}

}  // namespace
}  // namespace platform_test
