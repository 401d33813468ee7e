#pragma once

#include <cstdint>
#include <optional>
#include <thread>

using ThreadRoutine = void (*)(int32_t);

// Runs routine(argument, 0 when left out) on a new thread. Without handleOut the thread is detached;
// with it, the joinable thread is moved there and belongs to the caller. False, with nothing started,
// when no thread could be made, when routine is null or when handleOut still holds a joinable thread.
bool StartThread(ThreadRoutine routine, std::optional<int32_t> argument = std::nullopt,
                 std::thread* handleOut = nullptr);

// Sleeps at least ms milliseconds; zero or a negative value only yields the processor.
void SleepMs(int32_t ms);

namespace threads_testing {
// The next count calls of StartThread that would start a thread fail as when the system has none left:
// false, nothing started. Calls refused for their arguments do not use one up. A count of 0 or less ends
// the failing. Callable from any thread.
void FailStarts(int count);
}  // namespace threads_testing
