#include "runtime/threads.h"

#include <chrono>
#include <new>
#include <system_error>

bool StartThread(ThreadRoutine routine, std::optional<int32_t> argument, std::thread* handleOut) {
  // Calling a null routine would crash the new thread, and assigning over a joinable std::thread would
  // terminate the process: both are refused before anything starts.
  if (routine == nullptr) return false;
  if (handleOut != nullptr && handleOut->joinable()) return false;
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
