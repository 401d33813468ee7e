// The program from start-up to shutdown, driven through its window as a user would. Workers measure
// through a stand-in probe that sends nothing and can hold them mid-probe.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "app/startup.h"
#include "measure/refresh.h"
#include "runtime/lifecycle.h"
#include "runtime/threads.h"
#include "support/fakenet.h"
#include "ui/intervalbox.h"
#include "ui/mainwindow.h"
#include "ui/serverlist.h"

namespace {

constexpr char kChildWithoutWindow[] = "--child-window-fails";
constexpr char kChildClosingDuringRefresh[] = "--child-close-during-refresh";
constexpr int32_t kStandInAnswer = 7;
constexpr int32_t kLaterAnswer = 42;
constexpr int kUsRegion = 1;
constexpr int kUsRows = 103;
constexpr int kSaRegion = 5;  // 9 rows

std::mutex g_gateMutex;
std::condition_variable g_gateChanged;
bool g_gateOpen = true;
std::atomic<int> g_probeCalls{0};
std::atomic<int> g_probesReturned{0};
std::atomic<int32_t> g_lastTimeoutMs{0};

void SetGate(bool open) {
  {
    std::lock_guard<std::mutex> lock(g_gateMutex);
    g_gateOpen = open;
  }
  g_gateChanged.notify_all();
}

int32_t GatedProbe(std::string_view, std::optional<int32_t> timeoutMs) {
  g_lastTimeoutMs = timeoutMs.value_or(-1);
  ++g_probeCalls;
  {
    std::unique_lock<std::mutex> lock(g_gateMutex);
    g_gateChanged.wait(lock, [] { return g_gateOpen; });
  }
  ++g_probesReturned;
  return kStandInAnswer;
}

// A probe whose answer differs from the usual stand-in's, so that rows measured again can be told apart
// from rows that kept their previous text.
std::atomic<int> g_laterProbeCalls{0};

int32_t LaterProbe(std::string_view, std::optional<int32_t>) {
  ++g_laterProbeCalls;
  return kLaterAnswer;
}

bool Idle() {
  return ActiveWorkers.load() == 0 && refresh_testing::StartingWorkers() == 0 &&
         refresh_testing::HeldDispatchers() == 0;
}

QStringList Column(int32_t column) {
  QStringList texts;
  for (int32_t row = 0, rows = GetRowCount(); row < rows; ++row)
    texts << QString::fromStdString(GetCellText(row, column));
  return texts;
}

bool EveryLatencyReads(const QString& text) {
  const QStringList latencies = Column(2);
  return std::all_of(latencies.begin(), latencies.end(), [&](const QString& cell) { return cell == text; });
}

// A completed choice in the selector's open list, also of the item already shown.
void ChooseRegion(MainWindow* window, int index) {
  auto* selector = window->findChild<QComboBox*>(QStringLiteral("组合框1"));
  selector->showPopup();
  QAbstractItemView* list = selector->view();
  list->setCurrentIndex(list->model()->index(index, 0));
  QTest::keyClick(list, Qt::Key_Return);
}

void SelectAllAndType(QWidget* box, const QString& keys) {
  QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
  if (keys.isEmpty()) {
    QTest::keyClick(box, Qt::Key_Backspace);
  } else {
    QTest::keyClicks(box, keys);
  }
}

// The entry's fatal path, with no box to show the text in.
int ChildWithoutWindow(int argc, char** argv) {
  QApplication app(argc, argv);
  startup_testing::SetWindowCreationFails(true);
  StartMainWindow();
  return 0;
}

// Releases the held probes at shutdown and waits until they have all returned, so that every worker is
// on its way to the list while the process ends.
void ReleaseHeldProbes() {
  SetGate(true);
  while (g_probesReturned.load() < g_probeCalls.load()) std::this_thread::yield();
}

// Closes the window once every start-up worker is held in its probe.
void CloseWhenWorkersAreHeld() {
  auto* poll = new QTimer(QCoreApplication::instance());
  QObject::connect(poll, &QTimer::timeout, [poll] {
    if (g_probeCalls.load() < 16) return;
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (auto* window = qobject_cast<MainWindow*>(top)) window->close();
    }
    poll->stop();
  });
  poll->start(5);
}

int ChildClosingDuringRefresh(int argc, char** argv) {
  SetProbeRoutine(GatedProbe);
  SetGate(false);
  RegisterExitRoutine(ReleaseHeldProbes);
  qAddPreRoutine(CloseWhenWorkersAreHeld);
  return RunTezmaro(argc, argv);
}

QProcessEnvironment OffscreenEnvironment() {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  return environment;
}

}  // namespace

class AppTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

  void startState();
  void choosingARegionReloadsIt_data();
  void choosingARegionReloadsIt();
  void autoRefreshFollowsTheBox_data();
  void autoRefreshFollowsTheBox();
  void boxIsReadAtTheMomentOfChecking();
  void spinnerUpWhileCheckedDoublesThePeriod();
  void buttonAndTimerStartRefreshes();
  void rowWithoutHostIsNotProbed();
  void workerThatCannotStartLeavesItsRowAlone();
  void refreshThatCannotStartDoesNothing_data();
  void refreshThatCannotStartDoesNothing();
  void windowThatCannotBeMadeIsFatal();
  void fatalErrorBoxFromAWorker();
  void closingDuringRefreshExitsWithZero();

 private:
  QCheckBox* AutoRefresh() const { return m_window->findChild<QCheckBox*>(QStringLiteral("选择框1")); }
  IntervalBox* Interval() const { return m_window->findChild<IntervalBox*>(QStringLiteral("编辑框1")); }
  QWidget* RefreshButton() const { return m_window->findChild<QWidget*>(QStringLiteral("超级按钮1")); }
  QTimer* Timer() const { return m_window->findChild<QTimer*>(QStringLiteral("时钟1")); }
  // Unchecks the box and waits for the refreshes of the ticks that came meanwhile, so that none of
  // them reaches into the next test.
  void StopAutoRefresh(const QSignalSpy& ticks, int probesBefore);

  MainWindow* m_window = nullptr;
  std::unique_ptr<QSignalSpy> m_chosen;
  uint64_t m_startGeneration = 0;
};

void AppTest::initTestCase() {
  SetProbeRoutine(GatedProbe);
}

void AppTest::init() {
  SetGate(true);
  const int before = g_probeCalls.load();
  m_window = StartMainWindow();
  m_startGeneration = RowsGeneration();
  m_chosen = std::make_unique<QSignalSpy>(m_window, &MainWindow::regionChosen);
  QTRY_COMPARE(g_probeCalls.load() - before, 16);
  QTRY_VERIFY(EveryLatencyReads(QString::number(kStandInAnswer)));
  QTRY_VERIFY(Idle());
}

void AppTest::cleanup() {
  threads_testing::FailStarts(0);
  SetProbeRoutine(GatedProbe);
  SetGate(true);
  QTRY_VERIFY(Idle());
  m_chosen.reset();
  delete m_window;
  m_window = nullptr;
}

void AppTest::StopAutoRefresh(const QSignalSpy& ticks, int probesBefore) {
  if (AutoRefresh()->isChecked()) QTest::keyClick(AutoRefresh(), Qt::Key_Space);
  QCOMPARE(m_window->TimerPeriod(), 0);
  QTRY_COMPARE(g_probeCalls.load() - probesBefore, 16 * static_cast<int>(ticks.count()));
  QTRY_VERIFY(Idle());
}

void AppTest::startState() {
  auto* selector = m_window->findChild<QComboBox*>(QStringLiteral("组合框1"));
  QCOMPARE(selector->currentText(), QStringLiteral("服务器"));
  // The start-up load is not a choice of the user: no event, and no second load.
  QCOMPARE(m_chosen->count(), 0);
  QCOMPARE(RowsGeneration(), m_startGeneration);

  auto* list = m_window->findChild<QTableWidget*>(QStringLiteral("超级列表框1"));
  const QStringList captions = {QStringLiteral("服务器区域"), QStringLiteral("IP"), QStringLiteral("延迟")};
  const QList<int> widths = {102, 116, 58};
  QCOMPARE(list->columnCount(), 3);
  for (int column = 0; column < 3; ++column) {
    QCOMPARE(list->horizontalHeaderItem(column)->text(), captions[column]);
    QCOMPARE(list->columnWidth(column), widths[column]);
  }

  QCOMPARE(GetRowCount(), 16);
  QCOMPARE(GetCellText(0, 0), std::string("美国东部（弗吉尼亚）"));
  QCOMPARE(GetCellText(0, 1), std::string("dynamodb.us-east-1.amazonaws.com"));
  QCOMPARE(GetCellText(15, 1), std::string("dynamodb.us-gov-west-1.amazonaws.com"));
  // init() saw every row measured without any click, each probe waiting 1000 ms at most.
  QCOMPARE(g_lastTimeoutMs.load(), 1000);
  QCOMPARE(MaxWorkers, 30);

  const QStringList sourceTip =
      m_window->findChild<QWidget*>(QStringLiteral("透明标签2"))->toolTip().split(u'\n');
  QCOMPARE(sourceTip.size(), 5);
  QVERIFY(sourceTip[1].startsWith(QStringLiteral(" 并不是")));
  QVERIFY(sourceTip[3].isEmpty());
  const QStringList makerTip =
      m_window->findChild<QWidget*>(QStringLiteral("透明标签5"))->toolTip().split(u'\n');
  QCOMPARE(makerTip.size(), 3);
  QCOMPARE(makerTip[2], QStringLiteral(" （点击ID进入我的Steam个人资料）"));
}

void AppTest::choosingARegionReloadsIt_data() {
  QTest::addColumn<int>("region");
  QTest::addColumn<int>("rows");
  QTest::newRow("服务器, the region already shown") << 0 << 16;
  QTest::newRow("US 北美") << 1 << 103;
  QTest::newRow("EU 欧洲, one address twice") << 2 << 51;
  QTest::newRow("AS 亚太") << 3 << 56;
  QTest::newRow("OC 澳洲 empties the list") << 4 << 0;
  QTest::newRow("SA 南美") << 5 << 9;
}

void AppTest::choosingARegionReloadsIt() {
  QFETCH(int, region);
  QFETCH(int, rows);
  const int before = g_probeCalls.load();
  // Held probes write nothing, so the cells show what the load left in them.
  SetGate(false);
  ChooseRegion(m_window, region);
  QTRY_COMPARE(m_chosen->count(), 1);
  QVERIFY(RowsGeneration() != m_startGeneration);
  QCOMPARE(GetRowCount(), rows);
  for (const QString& host : Column(1)) QVERIFY(!host.isEmpty());
  QVERIFY(EveryLatencyReads(QString()));

  SetGate(true);
  QTRY_VERIFY_WITH_TIMEOUT(EveryLatencyReads(QString::number(kStandInAnswer)), 10000);
  QTRY_VERIFY(Idle());
  // Every row measured once by the refresh of the load.
  QCOMPARE(g_probeCalls.load() - before, rows);
}

void AppTest::autoRefreshFollowsTheBox_data() {
  QTest::addColumn<bool>("replace");
  QTest::addColumn<QString>("keys");
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("period");
  QTest::newRow("0 put before 1 keeps the timer's phase") << false << "0" << "01" << 1000;
  QTest::newRow("another number restarts it") << true << "3" << "3" << 3000;
  QTest::newRow("a cleared box stops it") << true << "" << "" << 0;
  QTest::newRow("a lone minus stops it") << true << "-" << "-" << 0;
  QTest::newRow("a negative number stops it") << true << "-5" << "-5" << 0;
}

void AppTest::autoRefreshFollowsTheBox() {
  QFETCH(bool, replace);
  QFETCH(QString, keys);
  QFETCH(QString, text);
  QFETCH(int, period);
  const int before = g_probeCalls.load();
  QSignalSpy ticks(m_window, &MainWindow::timerTicked);

  QTest::keyClick(AutoRefresh(), Qt::Key_Space);
  QVERIFY(AutoRefresh()->isChecked());
  QCOMPARE(AutoRefresh()->text(), QStringLiteral("自动刷新："));
  QVERIFY(RefreshButton()->isHidden());
  QCOMPARE(m_window->TimerPeriod(), 1000);
  QVERIFY(Timer()->isActive());
  QTRY_VERIFY(Timer()->remainingTime() < 900);

  if (replace) {
    SelectAllAndType(Interval(), keys);
  } else {
    QTest::keyClick(Interval(), Qt::Key_Home);
    QTest::keyClicks(Interval(), keys);
  }
  QCOMPARE(Interval()->text(), text);
  QCOMPARE(m_window->TimerPeriod(), period);
  QCOMPARE(Timer()->isActive(), period > 0);
  if (period == 1000) QVERIFY(Timer()->remainingTime() < 900);
  if (period > 1000) QVERIFY(Timer()->remainingTime() > 1000);
  // Only the box changed: auto-refresh itself stays on.
  QVERIFY(AutoRefresh()->isChecked());
  QVERIFY(RefreshButton()->isHidden());

  QTest::keyClick(AutoRefresh(), Qt::Key_Space);
  QCOMPARE(AutoRefresh()->text(), QStringLiteral("自动刷新"));
  QVERIFY(!RefreshButton()->isHidden());
  QVERIFY(!Timer()->isActive());
  StopAutoRefresh(ticks, before);
}

void AppTest::boxIsReadAtTheMomentOfChecking() {
  SelectAllAndType(Interval(), QStringLiteral("5"));
  QCOMPARE(m_window->TimerPeriod(), 0);
  QVERIFY(!Timer()->isActive());

  QTest::keyClick(AutoRefresh(), Qt::Key_Space);
  QCOMPARE(m_window->TimerPeriod(), 5000);
  QTest::keyClick(AutoRefresh(), Qt::Key_Space);
  QCOMPARE(m_window->TimerPeriod(), 0);
}

void AppTest::spinnerUpWhileCheckedDoublesThePeriod() {
  const int before = g_probeCalls.load();
  QSignalSpy ticks(m_window, &MainWindow::timerTicked);
  QTest::keyClick(AutoRefresh(), Qt::Key_Space);
  QTest::mouseClick(Interval()->Spinner()->UpButton(), Qt::LeftButton);
  QCOMPARE(Interval()->text(), QStringLiteral("2"));
  QCOMPARE(m_window->TimerPeriod(), 2000);
  StopAutoRefresh(ticks, before);
}

void AppTest::buttonAndTimerStartRefreshes() {
  const int before = g_probeCalls.load();
  QTest::mouseClick(RefreshButton(), Qt::LeftButton);
  QTRY_COMPARE(g_probeCalls.load() - before, 16);
  QTRY_VERIFY(Idle());

  QSignalSpy ticks(m_window, &MainWindow::timerTicked);
  QElapsedTimer sinceChecked;
  sinceChecked.start();
  QTest::keyClick(AutoRefresh(), Qt::Key_Space);
  QTRY_COMPARE_WITH_TIMEOUT(g_probeCalls.load() - before, 32, 5000);
  // The first tick comes one period after the check, not at once.
  QVERIFY(sinceChecked.elapsed() >= 900);
  StopAutoRefresh(ticks, before + 16);
}

void AppTest::rowWithoutHostIsNotProbed() {
  const int before = g_probeCalls.load();
  const int32_t row = InsertRow(-1, "无地址");
  std::atomic<int> done{0};
  std::thread hostless([&] { ProbeRow(row); ++done; });
  std::thread vanished([&] { ProbeRow(row + 100); ++done; });
  QTRY_COMPARE(done.load(), 2);
  hostless.join();
  vanished.join();
  QCOMPARE(GetCellText(row, 2), std::string("无响应"));
  QCOMPARE(GetRowCount(), row + 1);
  QCOMPARE(g_probeCalls.load(), before);
}

void AppTest::workerThatCannotStartLeavesItsRowAlone() {
  // More failures than worker places: a failed start that went on holding its place would stall the
  // dispatcher for good.
  const int failing = MaxWorkers + 10;
  ChooseRegion(m_window, kUsRegion);
  QTRY_VERIFY(GetRowCount() == kUsRows && EveryLatencyReads(QString::number(kStandInAnswer)));
  QTRY_VERIFY(Idle());

  SetProbeRoutine(LaterProbe);
  const int before = g_laterProbeCalls.load();
  // Run here rather than through StartThread, so that every start that fails is a worker's.
  threads_testing::FailStarts(failing);
  // Shared, not on this stack: a dispatcher that stalls is left behind when the test gives up on it.
  auto dispatched = std::make_shared<std::atomic<bool>>(false);
  std::thread([dispatched] {
    RefreshAll(0);
    *dispatched = true;
  }).detach();
  QTRY_VERIFY_WITH_TIMEOUT(dispatched->load(), 10000);
  QTRY_VERIFY(Idle());

  QStringList expected;
  for (int row = 0; row < kUsRows; ++row) expected << QString::number(row < failing ? kStandInAnswer : kLaterAnswer);
  QCOMPARE(Column(2), expected);
  QCOMPARE(g_laterProbeCalls.load() - before, kUsRows - failing);
}

void AppTest::refreshThatCannotStartDoesNothing_data() {
  QTest::addColumn<int>("region");
  QTest::addColumn<int>("rows");
  QTest::addColumn<QString>("latency");
  QTest::newRow("manual refresh: the last results stay") << -1 << 16 << QString::number(kStandInAnswer);
  QTest::newRow("region choice: the new rows stay unmeasured") << kSaRegion << 9 << QString();
}

void AppTest::refreshThatCannotStartDoesNothing() {
  QFETCH(int, region);
  QFETCH(int, rows);
  QFETCH(QString, latency);
  SetProbeRoutine(LaterProbe);
  const int before = g_laterProbeCalls.load();

  threads_testing::FailStarts(1);
  if (region < 0) {
    QTest::mouseClick(RefreshButton(), Qt::LeftButton);
  } else {
    ChooseRegion(m_window, region);
    QTRY_COMPARE(m_chosen->count(), 1);
  }
  QCOMPARE(GetRowCount(), rows);
  QVERIFY(EveryLatencyReads(latency));
  QCOMPARE(refresh_testing::HeldDispatchers(), 0);

  // Nothing was left half-started: the next refresh measures every row exactly once.
  QTest::mouseClick(RefreshButton(), Qt::LeftButton);
  QTRY_VERIFY(EveryLatencyReads(QString::number(kLaterAnswer)));
  QTRY_VERIFY(Idle());
  QCOMPARE(g_laterProbeCalls.load() - before, rows);
}

void AppTest::windowThatCannotBeMadeIsFatal() {
  QProcess child;
  child.setProcessEnvironment(OffscreenEnvironment());
  child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kChildWithoutWindow)});
  QVERIFY(child.waitForFinished(10000));
  QCOMPARE(child.exitStatus(), QProcess::NormalExit);
  QCOMPARE(child.exitCode(), 255);
  // Qt may have warned on the way; the error text comes last.
  const QByteArray errors = child.readAllStandardError();
  QVERIFY2(errors.endsWith("运行时出错!\r\n\r\n错误信息：载入启动窗口失败\r\n"), errors.constData());
}

void AppTest::fatalErrorBoxFromAWorker() {
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  // The box runs its own loop on the interface thread, so it is looked for from inside that loop.
  QTimer closer;
  connect(&closer, &QTimer::timeout, this, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    buttons = box->standardButtons();
    closer.stop();
    box->button(QMessageBox::Ok)->click();
  });
  closer.start(5);

  std::atomic<bool> returned{false};
  std::thread worker([&] {
    PresentFatalError("运行时出错!\r\n\r\n错误信息：某事\r\n");
    returned = true;
  });
  QTRY_VERIFY(returned.load());
  worker.join();
  QCOMPARE(title, QStringLiteral("错误"));
  QCOMPARE(icon, QMessageBox::Critical);
  QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  QCOMPARE(text, QStringLiteral("运行时出错!\n\n错误信息：某事\n"));
}

void AppTest::closingDuringRefreshExitsWithZero() {
  QProcess child;
  child.setProcessEnvironment(OffscreenEnvironment());
  child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kChildClosingDuringRefresh)});
  QVERIFY(child.waitForFinished(10000));
  QCOMPARE(child.exitStatus(), QProcess::NormalExit);
  QCOMPARE(child.exitCode(), 0);
}

int main(int argc, char** argv) {
  // The stand-in probe sends nothing; the private namespace would catch anything that slipped past it.
  fakenet::EnterPrivateNamespace();
  const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
  if (mode == kChildWithoutWindow) return ChildWithoutWindow(argc, argv);
  if (mode == kChildClosingDuringRefresh) return ChildClosingDuringRefresh(argc, argv);

  QApplication app(argc, argv);
  AppTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "app_test.moc"
