// The program's entry, its one-time set-up and its end.
#pragma once

#include <string>

class MainWindow;

// The whole program: start-up, the window's event loop, then shutdown. Never returns; the process ends
// with exit code 0 once the window is closed. Command-line arguments are ignored (Qt's own aside).
int RunTezmaro(int argc, char** argv);

// Needs a QApplication. Creates the global state that the measuring path needs, the main window with
// its handlers connected, and runs OnWindowCreated; the window is not shown yet and belongs to the
// caller. A window that cannot be made ends the program through the fatal error "载入启动窗口失败".
MainWindow* StartMainWindow();

// Once the window stands: tooltips, settings, columns, then the first region with its first refresh.
void OnWindowCreated();
void InitSettings();
void InitColumns();

// The fatal-error box: critical icon, title "错误", one OK button, the text's CR LF pairs as line
// breaks. Callable from any thread; without a QApplication the text goes to standard error.
void PresentFatalError(const std::string& boxText);

namespace startup_testing {
// Makes StartMainWindow fail to create the window, as when its resources cannot be had.
void SetWindowCreationFails(bool fails);
}  // namespace startup_testing
