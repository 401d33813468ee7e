#include "runtime/lifecycle.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "runtime/locks.h"

namespace {

std::mutex g_exitMutex;
std::vector<ExitRoutine> g_exitRoutines;

std::atomic<FatalErrorPresenter> g_presenter{nullptr};
// The thread that is reporting the fatal error, or none.
std::atomic<std::thread::id> g_reporter{};

constexpr std::string_view kHeading = "运行时出错!\r\n\r\n";
constexpr std::string_view kCodeLabel = "错误代码：";
constexpr std::string_view kMessageLabel = "错误信息：";

// The box text without allocating, for when FatalErrorText itself runs out of memory.
void WriteBoxTextPiecewise(int32_t code, std::string_view message) {
  WriteToStderr(kHeading);
  if (code != 0) {
    char digits[16];
    const int length = std::snprintf(digits, sizeof digits, "%d", static_cast<int>(code));
    WriteToStderr(kCodeLabel);
    WriteToStderr(std::string_view(digits, static_cast<std::size_t>(std::max(length, 0))));
    WriteToStderr("\r\n\r\n");
  }
  if (!message.empty()) {
    WriteToStderr(kMessageLabel);
    WriteToStderr(message);
    WriteToStderr("\r\n");
  }
}

[[noreturn]] void EndAfterFatalError() {
  {
    std::lock_guard<std::mutex> guard(g_exitMutex);
    g_exitRoutines.clear();
  }
  DestroyAllLocks();
  std::_Exit(-1);
}

}  // namespace

void RegisterExitRoutine(ExitRoutine routine) {
  if (routine == nullptr) return;
  std::size_t failedBytes = 0;
  {
    std::lock_guard<std::mutex> guard(g_exitMutex);
    if (std::find(g_exitRoutines.begin(), g_exitRoutines.end(), routine) != g_exitRoutines.end()) return;
    try {
      g_exitRoutines.push_back(routine);
    } catch (const std::bad_alloc&) {
      failedBytes = std::max<std::size_t>(1, g_exitRoutines.capacity() * 2) * sizeof(ExitRoutine);
    }
  }
  // Reported outside the guard: the fatal path empties the list under the same mutex.
  if (failedBytes != 0) ReportOutOfMemory(failedBytes);
}

void RunExitRoutines() {
  std::vector<ExitRoutine> routines;
  {
    std::lock_guard<std::mutex> guard(g_exitMutex);
    routines.swap(g_exitRoutines);
  }
  // Run without the guard so that a routine may register another or report a fatal error.
  for (ExitRoutine routine : routines) routine();
}

std::string FatalErrorText(int32_t code, std::string_view message) {
  std::string text(kHeading);
  if (code != 0) {
    text += kCodeLabel;
    text += std::to_string(code);
    text += "\r\n\r\n";
  }
  if (!message.empty()) {
    text += kMessageLabel;
    text += message;
    text += "\r\n";
  }
  return text;
}

void SetFatalErrorPresenter(FatalErrorPresenter presenter) {
  g_presenter.store(presenter);
}

void ReportFatalError(int32_t code, std::string_view message) {
  const auto self = std::this_thread::get_id();
  std::thread::id none{};
  if (!g_reporter.compare_exchange_strong(none, self)) {
    // This thread is already reporting (its presenter failed again): showing a second box could recurse
    // without end, so the process ends now.
    if (none == self) EndAfterFatalError();
    // Another thread shows the box; the process ends when it is closed.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }

  const FatalErrorPresenter presenter = g_presenter.load();
  try {
    const std::string text = FatalErrorText(code, message);
    if (presenter != nullptr) {
      presenter(text);
    } else {
      WriteToStderr(text);
    }
  } catch (const std::bad_alloc&) {
    WriteBoxTextPiecewise(code, message);
  } catch (...) {
    // A presenter that throws has still had its chance; the process ends all the same.
  }
  EndAfterFatalError();
}

void ReportOutOfMemory(std::size_t bytes) {
  // Built in a fixed buffer: the heap is what just failed.
  char message[64];
  const int length = std::snprintf(message, sizeof message, "分配 %zu 字节内存失败!", bytes);
  ReportFatalError(0, std::string_view(message, static_cast<std::size_t>(std::max(length, 0))));
}

void WriteToStderr(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}
