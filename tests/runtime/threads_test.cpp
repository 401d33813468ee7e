#include "runtime/threads.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <fstream>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TZ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TZ_SANITIZED 1
#endif
#endif

namespace {

using namespace std::chrono_literals;

// Routines are plain function pointers, so what they saw is kept here.
std::mutex g_mutex;
std::condition_variable g_changed;
std::optional<int32_t> g_received;

void RecordArgument(int32_t value) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_received = value;
  g_changed.notify_all();
}

void DoNothing(int32_t) {}

TEST(StartThread, RunsRoutineWithArgument) {
  const struct {
    std::optional<int32_t> argument;
    int32_t expected;
    bool withHandle;
  } cases[] = {
      {std::nullopt, 0, false}, {7, 7, false}, {INT32_MIN, INT32_MIN, false},
      {std::nullopt, 0, true},  {-1, -1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "argument " << c.argument.value_or(-999) << " handle " << c.withHandle);
    {
      std::lock_guard<std::mutex> guard(g_mutex);
      g_received.reset();
    }
    std::thread handle;
    ASSERT_TRUE(StartThread(RecordArgument, c.argument, c.withHandle ? &handle : nullptr));
    EXPECT_EQ(handle.joinable(), c.withHandle);
    if (handle.joinable()) handle.join();
    std::unique_lock<std::mutex> lock(g_mutex);
    ASSERT_TRUE(g_changed.wait_for(lock, 30s, [] { return g_received.has_value(); }));
    EXPECT_EQ(*g_received, c.expected);
  }
}

TEST(StartThread, RefusesWhatWouldCrash) {
  EXPECT_FALSE(StartThread(nullptr));

  // Assigning over a joinable std::thread would terminate the process.
  std::thread held;
  ASSERT_TRUE(StartThread(DoNothing, 1, &held));
  const auto heldId = held.get_id();
  EXPECT_FALSE(StartThread(DoNothing, 2, &held));
  EXPECT_EQ(held.get_id(), heldId);
  held.join();
}

#ifndef TZ_SANITIZED
// Leaves room for a small allocation but not for a thread's stack, so that thread creation fails for real.
[[noreturn]] void StartWithoutRoomForAThread() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  statm >> pages;
  rlimit limit{};
  limit.rlim_cur = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + (1 << 20));
  limit.rlim_max = RLIM_INFINITY;
  if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
  std::_Exit(StartThread(DoNothing) ? 1 : 0);
}
#endif

TEST(StartThreadDeathTest, NoThreadMeansFalse) {
#ifdef TZ_SANITIZED
  GTEST_SKIP() << "an address-space limit cannot coexist with the sanitizer's shadow memory";
#else
  EXPECT_EXIT(StartWithoutRoomForAThread(), testing::ExitedWithCode(0), "");
#endif
}

TEST(SleepMs, Durations) {
  const struct {
    int32_t ms;
    std::chrono::milliseconds atLeast;
    std::chrono::milliseconds below;  // generous: only tells "at once" from a real sleep or a hang
  } cases[] = {{-3, 0ms, 1000ms}, {0, 0ms, 1000ms}, {INT32_MIN, 0ms, 1000ms}, {30, 30ms, 30s}};
  for (const auto& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    SleepMs(c.ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, c.atLeast) << c.ms;
    EXPECT_LT(elapsed, c.below) << c.ms;
  }
}

}  // namespace
