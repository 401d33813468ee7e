// The measuring path with the real probe against fake hosts, all inside this process's own network
// namespace: the loader, the dispatcher with its worker limit, and results across region switches.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTableWidget>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "app/startup.h"
#include "measure/catalogue.h"
#include "measure/loader.h"
#include "measure/probe.h"
#include "measure/refresh.h"
#include "runtime/text.h"
#include "runtime/threads.h"
#include "support/fakenet.h"
#include "ui/mainwindow.h"
#include "ui/serverlist.h"

namespace {

constexpr int kUsRegion = 1;       // 103 addresses
constexpr int kEuRegion = 2;       // 51 rows
constexpr int kSaRegion = 5;       // 9 addresses
constexpr int kUsRows = 103;

std::vector<std::string> RegionHosts(int region) {
  std::vector<std::string> hosts;
  for (const std::string& line : SplitText(RegionText(region), "\r\n")) hosts.push_back(SplitText(line, "\t").at(1));
  return hosts;
}

QStringList Latencies() {
  QStringList texts;
  for (int32_t row = 0, rows = GetRowCount(); row < rows; ++row)
    texts << QString::fromStdString(GetCellText(row, 2));
  return texts;
}

bool EveryLatencyReads(const QString& text) {
  const QStringList latencies = Latencies();
  return !latencies.isEmpty() &&
         std::all_of(latencies.begin(), latencies.end(), [&](const QString& cell) { return cell == text; });
}

bool EveryLatencyFilled() {
  const QStringList latencies = Latencies();
  return !latencies.isEmpty() &&
         std::none_of(latencies.begin(), latencies.end(), [](const QString& cell) { return cell.isEmpty(); });
}

bool Idle() {
  return ActiveWorkers.load() == 0 && refresh_testing::StartingWorkers() == 0 &&
         refresh_testing::HeldDispatchers() == 0;
}

// The most workers counted at once while it runs.
class WorkerSampler {
 public:
  WorkerSampler()
      : m_thread([this] {
          while (!m_stop.load()) {
            m_peak = std::max(m_peak.load(), ActiveWorkers.load());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
        }) {}
  ~WorkerSampler() { Stop(); }
  int32_t Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    return m_peak.load();
  }

 private:
  std::atomic<bool> m_stop{false};
  std::atomic<int32_t> m_peak{0};
  std::thread m_thread;
};

}  // namespace

class MeasuringTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

  void rowsShowTheirHostsDelays();
  void workersStayNearTheLimit();
  void overlappingRefreshesBothFinish();
  void regionSwitchLeavesNoStaleValue();
  void pileUpOfRefreshesStaysBounded();
  void closingDuringRefreshIsSafe();

 private:
  void LoadRegion(int region);

  std::unique_ptr<fakenet::FakeNet> m_net;
  MainWindow* m_window = nullptr;
};

void MeasuringTest::initTestCase() {
  if (!fakenet::InPrivateNamespace()) QSKIP(qPrintable(QString::fromStdString(fakenet::NamespaceError())));
  QVERIFY(fakenet::SetPingGroupRange(0, 2147483647));
  probe_testing::ResetProbeState();
}

void MeasuringTest::init() {
  delete m_window;
  m_window = nullptr;
  m_net.reset();
  m_net = std::make_unique<fakenet::FakeNet>();
  QVERIFY2(m_net->ok(), m_net->error().c_str());
  // The start-up region is of names: each gets an address of its own that answers at once.
  m_net->SetAnswerEveryName(true);
  m_net->SetDefault({fakenet::Behaviour::Reply, 1});
  m_window = StartMainWindow();
  QTRY_VERIFY_WITH_TIMEOUT(EveryLatencyFilled(), 5000);
  QTRY_VERIFY(Idle());
}

void MeasuringTest::cleanup() {
  // Torn down whatever happened, so that the next test gets a fresh window and fake network.
  const bool idle = QTest::qWaitFor(Idle, 10000);
  delete m_window;
  m_window = nullptr;
  m_net.reset();
  QVERIFY2(idle, "workers or dispatchers still running");
}

void MeasuringTest::LoadRegion(int region) {
  m_window->findChild<QComboBox*>(QStringLiteral("组合框1"))->setCurrentIndex(region);
  LoadServerList();
}

void MeasuringTest::rowsShowTheirHostsDelays() {
  // Delays far enough apart that a number in the wrong row could not pass; -1 for a silent host. The
  // exact millisecond is the probe's own business: here a reading may be late by a scheduling hiccup.
  const std::vector<int> delays = {0, 20, 45, 80, 120, -1, 160, 640, 300};
  const std::vector<std::string> hosts = RegionHosts(kSaRegion);
  QCOMPARE(hosts.size(), delays.size());
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    m_net->SetHost(hosts[i], delays[i] < 0 ? fakenet::HostConfig{fakenet::Behaviour::Silent, 0}
                                           : fakenet::HostConfig{fakenet::Behaviour::Reply, delays[i]});
  }
  QElapsedTimer sinceLoad;
  sinceLoad.start();
  LoadRegion(kSaRegion);
  const int32_t silentRow = 5;
  QTRY_VERIFY_WITH_TIMEOUT(!GetCellText(silentRow, 2).empty(), 5000);
  // A silent host is given up on after the time-out, not before.
  QVERIFY(sinceLoad.elapsed() >= 900);
  QTRY_VERIFY_WITH_TIMEOUT(EveryLatencyFilled(), 5000);

  const QStringList latencies = Latencies();
  for (int row = 0; row < latencies.size(); ++row) {
    const int delay = delays[std::size_t(row)];
    if (delay < 0) {
      QCOMPARE(latencies[row], QStringLiteral("无响应"));
      continue;
    }
    bool number = false;
    const int ms = latencies[row].toInt(&number);
    QVERIFY2(number && ms >= delay && ms < delay + 10,
             qPrintable(QString("row %1: %2 for %3 ms").arg(row).arg(latencies[row]).arg(delay)));
  }
}

void MeasuringTest::workersStayNearTheLimit() {
  m_net->SetDefault({fakenet::Behaviour::Silent, 0});
  const int requestsBefore = m_net->TotalEchoRequests();
  WorkerSampler sampler;
  QElapsedTimer sinceLoad;
  sinceLoad.start();
  LoadRegion(kUsRegion);
  QTRY_VERIFY_WITH_TIMEOUT(GetRowCount() == kUsRows && EveryLatencyReads(QStringLiteral("无响应")), 30000);
  const qint64 elapsed = sinceLoad.elapsed();
  const int32_t peak = sampler.Stop();
  // Full, and never beyond: a worker that has not yet counted itself still holds its place.
  QCOMPARE(peak, MaxWorkers);
  // In parallel: about four time-outs, where one after the other would take 103.
  QVERIFY2(elapsed < 20000, qPrintable(QString("%1 ms").arg(elapsed)));
  QTRY_VERIFY(Idle());
  QCOMPARE(m_net->TotalEchoRequests() - requestsBefore, kUsRows);
}

void MeasuringTest::overlappingRefreshesBothFinish() {
  const std::vector<std::string> hosts = RegionHosts(kSaRegion);
  for (const std::string& host : hosts) m_net->SetHost(host, {fakenet::Behaviour::Reply, 20});
  LoadRegion(kSaRegion);
  QVERIFY(StartThread(RefreshAll));
  const auto bothProbedEach = [&] {
    return std::all_of(hosts.begin(), hosts.end(), [&](const std::string& host) { return m_net->EchoRequestsTo(host) == 2; });
  };
  QTRY_VERIFY_WITH_TIMEOUT(bothProbedEach(), 5000);
  QTRY_VERIFY(Idle());
  QVERIFY(EveryLatencyReads(QStringLiteral("20")));
}

void MeasuringTest::regionSwitchLeavesNoStaleValue() {
  // The old region's hosts answer late and with a number no host of the new one gives.
  constexpr int kOldDelay = 800;
  constexpr int kNewDelay = 5;
  const std::vector<std::string> oldHosts = RegionHosts(kUsRegion);
  for (const std::string& host : RegionHosts(kEuRegion)) {
    QVERIFY(std::find(oldHosts.begin(), oldHosts.end(), host) == oldHosts.end());
    m_net->SetHost(host, {fakenet::Behaviour::Reply, kNewDelay});
  }
  m_net->SetDefault({fakenet::Behaviour::Reply, kOldDelay});

  QStringList stale;
  bool switched = false;
  QObject watching;
  auto* model = m_window->findChild<QTableWidget*>(QStringLiteral("超级列表框1"))->model();
  connect(model, &QAbstractItemModel::dataChanged, &watching, [&](const QModelIndex& from, const QModelIndex& to) {
    if (!switched || from.column() > 2 || to.column() < 2) return;
    for (int row = from.row(); row <= to.row(); ++row) {
      const QString text = model->index(row, 2).data().toString();
      if (text.toInt() >= kOldDelay / 2) stale << QString("row %1: %2").arg(row).arg(text);
    }
  });

  const int requestsBefore = m_net->TotalEchoRequests();
  LoadRegion(kUsRegion);
  // Old workers are waiting for their answers when the rows are replaced.
  QTRY_VERIFY(m_net->TotalEchoRequests() - requestsBefore >= 20);
  switched = true;
  LoadRegion(kEuRegion);

  QTRY_VERIFY_WITH_TIMEOUT(GetRowCount() == 51 && EveryLatencyFilled() && Idle(), 10000);
  QVERIFY2(stale.isEmpty(), qPrintable(stale.join(", ")));
  QVERIFY(EveryLatencyReads(QString::number(kNewDelay)));
}

void MeasuringTest::pileUpOfRefreshesStaysBounded() {
  constexpr int kRequests = 20;
  m_net->SetDefault({fakenet::Behaviour::Silent, 0});
  const int requestsBefore = m_net->TotalEchoRequests();
  LoadRegion(kUsRegion);
  // The load's refresh is in the middle of dispatching: it cannot end before the first workers do.
  QTRY_VERIFY(ActiveWorkers.load() >= MaxWorkers);
  refresh_testing::ResetPeakHeldDispatchers();
  for (int i = 0; i < kRequests; ++i) QVERIFY(StartThread(RefreshAll));

  // One of the requests waits and then measures every row once more; the others join it.
  QTRY_COMPARE_WITH_TIMEOUT(m_net->TotalEchoRequests() - requestsBefore, 2 * kUsRows, 30000);
  QTRY_VERIFY_WITH_TIMEOUT(Idle(), 10000);
  QCOMPARE(m_net->TotalEchoRequests() - requestsBefore, 2 * kUsRows);
  QCOMPARE(refresh_testing::PeakHeldDispatchers(), 2);
  QVERIFY(EveryLatencyReads(QStringLiteral("无响应")));
}

void MeasuringTest::closingDuringRefreshIsSafe() {
  m_net->SetDefault({fakenet::Behaviour::Silent, 0});
  const int requestsBefore = m_net->TotalEchoRequests();
  LoadRegion(kUsRegion);
  QTRY_VERIFY(ActiveWorkers.load() >= MaxWorkers);
  m_window->close();
  delete m_window;
  m_window = nullptr;

  // The workers run out against a list that is gone, and the dispatcher starts no more of them.
  QTRY_VERIFY_WITH_TIMEOUT(Idle(), 10000);
  QCoreApplication::processEvents();
  QCOMPARE(GetRowCount(), 0);
  QVERIFY(m_net->TotalEchoRequests() - requestsBefore < kUsRows);
}

int main(int argc, char** argv) {
  // Only while this is the process's one thread; the tests skip with the reason when it fails.
  fakenet::EnterPrivateNamespace();
  QApplication app(argc, argv);
  MeasuringTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "measuring_test.moc"
