// Routines run at normal program end, and the fatal run-time error that ends the program at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using ExitRoutine = void (*)();

// Appends the routine to the exit list unless it is listed already; null is ignored.
void RegisterExitRoutine(ExitRoutine routine);

// Runs the listed routines in order of registration, then empties the list. A routine registered while
// they run is kept for a later call.
void RunExitRoutines();

// The text of the error box, lines ended with "\r\n": the code's line only when code is not 0, the
// message's line only when the message is not empty.
std::string FatalErrorText(int32_t code, std::string_view message);

// Shows the box text (title "错误") and returns when the user has closed it. Called on the thread that
// reports the error.
using FatalErrorPresenter = void (*)(const std::string& boxText);

// nullptr: the text goes to standard error.
void SetFatalErrorPresenter(FatalErrorPresenter presenter);

// Writes the whole text to standard error with write(2): it allocates nothing and takes no stdio lock
// that another thread may hold, so it serves where the program is about to end.
void WriteToStderr(std::string_view text);

// Presents the box text, empties the exit list without running it, retires every lock and ends the
// process with exit code -1. Safe from any thread: when several threads report at once, only the first
// presents; the others wait for the process to end. A report made while presenting (from the presenter
// itself) ends the process at once.
[[noreturn]] void ReportFatalError(int32_t code, std::string_view message);

// ReportFatalError with code 0 and the message "分配 <bytes> 字节内存失败!".
[[noreturn]] void ReportOutOfMemory(std::size_t bytes);
