#include "app/startup.h"

#include <cstdlib>
#include <new>
#include <string_view>

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>

#include "app/handlers.h"
#include "measure/loader.h"
#include "measure/probe.h"
#include "measure/refresh.h"
#include "runtime/lifecycle.h"
#include "runtime/locks.h"
#include "ui/mainwindow.h"
#include "ui/serverlist.h"
#include "ui/tooltip.h"

namespace {

constexpr std::string_view kSourceTip =
    "AWS（Amazon Web Services） - 该公司提供PUBG服务器。\r\n"
    " 并不是所有的都在游戏中使用，但是有完整的服务器 - IP列表。\r\n"
    "（也许这个信息对你有用）\r\n"
    "\r\n"
    "下次更新打算增加延迟最高值最低值还有平均值、游戏内显示当前延迟、云更新列表";

constexpr std::string_view kMakerTip =
    "有大佬给我送礼物（PUBG）吗？\r\n"
    " 我给你做个能在游戏里显示延迟的插件！\r\n"
    " （点击ID进入我的Steam个人资料）";

struct ColumnLayout {
  std::string_view caption;
  double factor;
};
constexpr ColumnLayout kColumns[] = {{"服务器区域", 3.5}, {"IP", 4.0}, {"延迟", 2.0}};

// The window whose selector the loader reads; a window deleted by its owner leaves the loader on the
// first region instead of a dangling pointer.
QPointer<MainWindow> g_window;
bool g_windowCreationFails = false;

int CurrentRegionOfWindow() {
  return g_window ? g_window->CurrentRegion() : 0;
}

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void ShowFatalErrorBox(const std::string& boxText) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("错误"),
                  FromUtf8(boxText).replace(QStringLiteral("\r\n"), QStringLiteral("\n")), QMessageBox::Ok);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

}  // namespace

void PresentFatalError(const std::string& boxText) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
    WriteToStderr(boxText);
    return;
  }
  if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
    ShowFatalErrorBox(boxText);
  } else {
    RunOnInterfaceThread([&boxText] { ShowFatalErrorBox(boxText); });
  }
}

void InitSettings() {
  PingTimeoutMs = 1000;
  MaxWorkers = 30;
}

void InitColumns() {
  for (const ColumnLayout& column : kColumns) {
    // Read before each column: a column could change the room the next one gets.
    const auto width = static_cast<int32_t>(ListClientWidth() / 10.0 * column.factor);
    InsertColumn(-1, column.caption, width);
  }
}

void OnWindowCreated() {
  if (g_window) {
    AttachTooltip(g_window->findChild<QWidget*>(QStringLiteral("透明标签2")), FromUtf8(kSourceTip), false, false);
    AttachTooltip(g_window->findChild<QWidget*>(QStringLiteral("透明标签5")), FromUtf8(kMakerTip), false, false);
  }
  InitSettings();
  InitColumns();
  LoadServerList();
}

MainWindow* StartMainWindow() {
  ReleaseServerLines();
  RegisterExitRoutine(ReleaseServerLines);
  // Made once per process: the lock outlives every worker, and a test that starts several windows must
  // not use up the lock registry.
  if (RowLock == 0) RowLock = CreateLock();

  MainWindow* window = nullptr;
  if (!g_windowCreationFails) {
    try {
      window = new MainWindow;
    } catch (const std::bad_alloc&) {
      window = nullptr;
    }
  }
  if (window == nullptr) ReportFatalError(0, "载入启动窗口失败");

  g_window = window;
  SetRegionSource(CurrentRegionOfWindow);
  ConnectHandlers(window);
  OnWindowCreated();
  return window;
}

int RunTezmaro(int argc, char** argv) {
  QApplication app(argc, argv);
  SetFatalErrorPresenter(PresentFatalError);

  // Never deleted: workers still running at the end may be handing work to its list.
  MainWindow* window = StartMainWindow();
  window->show();
  window->activateWindow();
  if (auto* first = window->findChild<QWidget*>(QStringLiteral("选择框1"))) first->setFocus();
  QApplication::exec();

  RunExitRoutines();
  DestroyAllLocks();
  ReleaseProbeState();
  // Ends dispatchers and workers where they stand; no destructor may run under them.
  std::_Exit(0);
}

namespace startup_testing {

void SetWindowCreationFails(bool fails) {
  g_windowCreationFails = fails;
}

}  // namespace startup_testing
