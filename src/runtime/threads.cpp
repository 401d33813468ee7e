#include "runtime/threads.h"

#include <atomic>
#include <chrono>
#include <new>
#include <system_error>

namespace {

std::atomic<int> g_failingStarts{0};

// Compared and swapped, not just decremented: two starts racing for the last failure must not both get it.
bool TakeFailingStart() {
  int left = g_failingStarts.load();
  while (left > 0 && !g_failingStarts.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

}  // namespace

bool StartThread(ThreadRoutine routine, std::optional<int32_t> argument, std::thread* handleOut) {
  // Calling a null routine would crash the new thread, and assigning over a joinable std::thread would
  // terminate the process: both are refused before anything starts.
  if (routine == nullptr) return false;
  if (handleOut != nullptr && handleOut->joinable()) return false;
  if (TakeFailingStart()) return false;
  try {
    std::thread thread(routine, argument.value_or(0));
    if (handleOut != nullptr) {
      *handleOut = std::move(thread);
    } else {
      thread.detach();
    }
    return true;
  } catch (const std::system_error&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void SleepMs(int32_t ms) {
  if (ms <= 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace threads_testing {

void FailStarts(int count) {
  g_failingStarts.store(count > 0 ? count : 0);
}

}  // namespace threads_testing
