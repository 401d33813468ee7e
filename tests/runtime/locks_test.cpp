#include "runtime/locks.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A thread that takes a lock and gives it back, reporting whether it got in and whether the kernel has
// put it to sleep: a sleeping waiter is the proof that EnterLock blocks, without guessing at timing.
class Waiter {
 public:
  explicit Waiter(LockHandle handle) {
    m_thread = std::thread([this, handle] {
      m_tid.store(static_cast<pid_t>(::syscall(SYS_gettid)));
      EnterLock(handle);
      m_acquired.store(true);
      LeaveLock(handle);
    });
  }
  ~Waiter() {
    if (m_thread.joinable()) m_thread.join();
  }

  bool Acquired() const { return m_acquired.load(); }

  // True once the thread sleeps before getting the lock; false if it got the lock instead.
  bool BlocksBeforeAcquiring() const {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (m_acquired.load()) return false;
      const pid_t tid = m_tid.load();
      if (tid != 0 && Sleeping(tid) && !m_acquired.load()) return true;
      std::this_thread::yield();
    }
    return false;
  }

  bool AcquiresSoon() const {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!m_acquired.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return m_acquired.load();
  }

 private:
  static bool Sleeping(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
  }

  std::atomic<pid_t> m_tid{0};
  std::atomic<bool> m_acquired{false};
  std::thread m_thread;
};

TEST(Locks, CreateGivesDistinctNonZeroHandles) {
  std::set<LockHandle> handles;
  for (int i = 0; i < 5; ++i) {
    const LockHandle handle = CreateLock();
    EXPECT_NE(handle, 0u);
    handles.insert(handle);
  }
  EXPECT_EQ(handles.size(), 5u);
}

TEST(Locks, HandlesNamingNoLockAreIgnored) {
  const LockHandle made = CreateLock();
  ASSERT_NE(made, 0u);
  for (const LockHandle handle : {LockHandle{0}, made + 1, made + 100000, LockHandle{0xFFFFFFFF}}) {
    // Taking a handle that names no lock must neither block nor take anything from another thread.
    EnterLock(handle);
    Waiter waiter(handle);
    EXPECT_TRUE(waiter.AcquiresSoon()) << handle;
    LeaveLock(handle);
  }
}

TEST(Locks, HeldLockBlocksOthersUntilLeft) {
  const struct {
    const char* name;
    int takings;        // how often the holder enters; it stays held until left as often
    bool foreignLeave;  // a thread that does not hold the lock tries to leave it
  } cases[] = {
      {"entered once", 1, false},
      {"entered twice by its holder", 2, false},
      {"left by a thread that does not hold it", 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const LockHandle lock = CreateLock();
    ASSERT_NE(lock, 0u);
    for (int i = 0; i < c.takings; ++i) EnterLock(lock);
    if (c.foreignLeave) std::thread([lock] { LeaveLock(lock); }).join();

    Waiter waiter(lock);
    for (int i = 1; i < c.takings; ++i) LeaveLock(lock);
    EXPECT_TRUE(waiter.BlocksBeforeAcquiring());
    LeaveLock(lock);
    EXPECT_TRUE(waiter.AcquiresSoon());
  }
}

TEST(Locks, DestroyAllRetiresHandlesButNotHeldStorage) {
  const LockHandle held = CreateLock();
  ASSERT_NE(held, 0u);
  EnterLock(held);
  DestroyAllLocks();

  // The retired handle names no lock: nobody waits on it any more.
  Waiter onRetired(held);
  EXPECT_TRUE(onRetired.AcquiresSoon());

  // A lock made afterwards is a fresh, free one, not the still-held storage.
  const LockHandle fresh = CreateLock();
  ASSERT_NE(fresh, 0u);
  EXPECT_NE(fresh, held);
  Waiter onFresh(fresh);
  EXPECT_TRUE(onFresh.AcquiresSoon());
}

TEST(Locks, LookupsDuringCreation) {
  // Meant for the thread sanitizer: lookups of handles that are being created meet no data race.
  std::atomic<LockHandle> newest{CreateLock()};
  std::atomic<bool> done{false};
  std::thread user([&] {
    while (!done.load()) {
      const LockHandle handle = newest.load();
      EnterLock(handle);
      LeaveLock(handle);
      EnterLock(handle + 1);  // possibly being created right now
      LeaveLock(handle + 1);
    }
  });
  for (int i = 0; i < 20; ++i) newest.store(CreateLock());
  done.store(true);
  user.join();
  EXPECT_NE(newest.load(), 0u);
}

TEST(LocksDeathTest, FullRegistryGivesZero) {
  // In a fresh process, so that the slots used up here are not missing from the other tests.
  EXPECT_EXIT(
      {
        std::set<LockHandle> made;
        LockHandle handle = 0;
        while ((handle = CreateLock()) != 0 && made.size() < 1'000'000) {
          if (!made.insert(handle).second) std::_Exit(1);
        }
        if (made.empty() || CreateLock() != 0) std::_Exit(2);
        // Every lock made still works, and the first handle past them names nothing.
        for (const LockHandle h : made) {
          EnterLock(h);
          LeaveLock(h);
        }
        EnterLock(*made.rbegin() + 1);
        LeaveLock(*made.rbegin() + 1);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
