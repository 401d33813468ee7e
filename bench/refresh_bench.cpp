// Figures of a refresh of the window's largest region, "US 北美" with 103 rows: its wall and CPU time
// with silent hosts and with hosts that answer after known delays, how long an event posted to the
// interface thread waits meanwhile, and the resident memory and threads of the process.
// The real window (StartMainWindow, shown) on the offscreen platform. The fake hosts are served by a
// child process in this process's private network namespace, so that the CPU time measured here is the
// program's own and not the responder's.
// Prints; asserts nothing. Usage: bench_refresh [runs]   (runs of each kind, default 5; twice as many
// refreshes of each kind are made, half of them with the posted-event sampler running)
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "app/startup.h"
#include "measure/loader.h"
#include "measure/refresh.h"
#include "runtime/threads.h"
#include "support/fakenet.h"
#include "ui/mainwindow.h"
#include "ui/serverlist.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUsRegion = 1;
constexpr int kUsRows = 103;
constexpr int kSpreadLoMs = 5;
constexpr int kSpreadHiMs = 120;
constexpr auto kPostEvery = std::chrono::milliseconds(2);
constexpr int kGiveUpMs = 60000;

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

double CpuMs(const timeval& time) {
  return static_cast<double>(time.tv_sec) * 1000.0 + static_cast<double>(time.tv_usec) / 1000.0;
}

struct CpuTime {
  double userMs = 0;
  double sysMs = 0;
  // Every sleep or blocking wait of any thread that ended in a wake-up: where system time comes from.
  long wakeUps = 0;
};

CpuTime ProcessCpu() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {CpuMs(usage.ru_utime), CpuMs(usage.ru_stime), usage.ru_nvcsw};
}

// A field of /proc/self/status in its own unit (kB for memory), -1 when missing.
long StatusField(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
  }
  return -1;
}

// The names of this process's threads, to show what is left once a refresh has ended.
std::string ThreadNames() {
  std::string names;
  QDir tasks(QStringLiteral("/proc/self/task"));
  for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    std::ifstream comm("/proc/self/task/" + task.toStdString() + "/comm");
    std::string name;
    std::getline(comm, name);
    names += (names.empty() ? "" : ", ") + name;
  }
  return names;
}

std::string LoadAverage() {
  std::ifstream loadavg("/proc/loadavg");
  std::string one, five, fifteen;
  loadavg >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(rank, values.size() - 1)];
}

double Median(const std::vector<double>& values) {
  return Percentile(values, 0.5);
}

double Max(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

double Min(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

// When the last of the rows could have its answer if every probe took exactly its host's delay: the
// dispatcher starts the rows in order, each as soon as fewer than `places` probes are running.
double IdealMs(const std::vector<int>& delaysMs, int places) {
  std::priority_queue<double, std::vector<double>, std::greater<>> ends;
  double last = 0;
  for (int delay : delaysMs) {
    double start = 0;
    if (static_cast<int>(ends.size()) >= places) {
      start = ends.top();
      ends.pop();
    }
    ends.push(start + delay);
    last = std::max(last, start + delay);
  }
  return last;
}

// The fake hosts, answered by a child process. It is forked while this process still has one thread,
// and it shares the private network namespace, so the program's probes reach it.
class FakeHostProcess {
 public:
  FakeHostProcess() = default;
  FakeHostProcess(const FakeHostProcess&) = delete;
  FakeHostProcess& operator=(const FakeHostProcess&) = delete;
  ~FakeHostProcess() {
    if (m_pid <= 0) return;
    close(m_toChild);
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
  }

  // "" when the hosts answer, else why not.
  std::string Start() {
    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return std::strerror(errno);
    std::fflush(nullptr);
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid < 0) return std::strerror(errno);
    if (m_pid == 0) {
      close(toChild[1]);
      close(fromChild[0]);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(1);
      Serve(toChild[0], fromChild[1]);
    }
    close(toChild[0]);
    close(fromChild[1]);
    m_toChild = toChild[1];
    m_fromChild = fdopen(fromChild[0], "r");
    const std::string ready = ReadLine();
    return ready == "ok" ? std::string() : "fake hosts: " + ready;
  }

  void Silent() { Ask("silent"); }
  void Spread(int loMs, int hiMs) { Ask("spread " + std::to_string(loMs) + " " + std::to_string(hiMs)); }
  int EchoRequests() { return std::atoi(Ask("count").c_str()); }

 private:
  [[noreturn]] static void Serve(int in, int out) {
    FILE* commands = fdopen(in, "r");
    const auto answer = [out](const std::string& text) {
      const std::string line = text + "\n";
      [[maybe_unused]] const ssize_t written = write(out, line.data(), line.size());
    };
    {
      fakenet::FakeNet net;
      if (!net.ok()) {
        answer(net.error());
        _exit(1);
      }
      net.SetAnswerEveryName(true);
      net.SetDefaultSpread(kSpreadLoMs, kSpreadHiMs);
      answer("ok");
      char line[128];
      while (std::fgets(line, sizeof line, commands) != nullptr) {
        int lo = 0;
        int hi = 0;
        if (std::sscanf(line, "spread %d %d", &lo, &hi) == 2) {
          net.SetDefaultSpread(lo, hi);
          answer("ok");
        } else if (std::strncmp(line, "silent", 6) == 0) {
          net.SetDefault({fakenet::Behaviour::Silent, 0});
          answer("ok");
        } else if (std::strncmp(line, "count", 5) == 0) {
          answer(std::to_string(net.TotalEchoRequests()));
        } else {
          answer("unknown command");
        }
      }
    }
    _exit(0);
  }

  std::string Ask(const std::string& command) {
    const std::string line = command + "\n";
    if (write(m_toChild, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
    return ReadLine();
  }

  std::string ReadLine() {
    char line[512];
    if (m_fromChild == nullptr || std::fgets(line, sizeof line, m_fromChild) == nullptr) return "no answer";
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }

  pid_t m_pid = 0;
  int m_toChild = -1;
  FILE* m_fromChild = nullptr;
};

double ThreadCpuMs() {
  timespec time{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
  return static_cast<double>(time.tv_sec) * 1000.0 + static_cast<double>(time.tv_nsec) / 1e6;
}

// What the posted calls saw. Touched only on the interface thread.
struct EventWaits {
  std::vector<double> waitsMs;
  // For the long waits: how long since the call before it ran, and how much of that time the interface
  // thread spent on a core. Busy means work of the program; idle means the thread was not given a core.
  int longWaits = 0;
  double longSpanMs = 0;
  double longBusyMs = 0;
  Clock::time_point lastRun;
  double lastCpuMs = -1;

  void Note(Clock::time_point posted) {
    const auto now = Clock::now();
    const double cpuMs = ThreadCpuMs();
    const double waitMs = MsBetween(posted, now);
    waitsMs.push_back(waitMs);
    if (waitMs >= 16 && lastCpuMs >= 0) {
      ++longWaits;
      longSpanMs += MsBetween(lastRun, now);
      longBusyMs += cpuMs - lastCpuMs;
    }
    lastRun = now;
    lastCpuMs = cpuMs;
  }
};

// Posts a timestamped call to the interface thread every kPostEvery while it lives; each call notes how
// long it waited there. What they note is shared, since calls still queued when the sampler ends run
// later.
class EventWaitSampler {
 public:
  // On the interface thread, the only one that touches the waits.
  explicit EventWaitSampler(std::shared_ptr<EventWaits> waits) {
    // A span reaching back into an earlier sampler's time would be no wait of this one.
    waits->lastCpuMs = -1;
    m_thread = std::thread([this, waits] {
      QObject* app = QCoreApplication::instance();
      auto next = Clock::now();
      while (!m_stop.load()) {
        const auto posted = Clock::now();
        QMetaObject::invokeMethod(app, [waits, posted] { waits->Note(posted); }, Qt::QueuedConnection);
        next += kPostEvery;
        std::this_thread::sleep_until(next);
      }
    });
  }
  EventWaitSampler(const EventWaitSampler&) = delete;
  EventWaitSampler& operator=(const EventWaitSampler&) = delete;
  ~EventWaitSampler() {
    m_stop = true;
    m_thread.join();
  }

 private:
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

bool Idle() {
  return ActiveWorkers.load() == 0 && refresh_testing::StartingWorkers() == 0 &&
         refresh_testing::HeldDispatchers() == 0;
}

// Runs the interface thread's event loop, as the program would, until done() or the time is up.
bool RunUntil(const std::function<bool()>& done, int timeoutMs = kGiveUpMs) {
  if (done()) return true;
  QEventLoop loop;
  QTimer poll;
  const auto giveUp = Clock::now() + std::chrono::milliseconds(timeoutMs);
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done() || Clock::now() > giveUp) loop.quit();
  });
  poll.start(1);
  loop.exec();
  return done();
}

bool EveryLatencyFilled(int rows) {
  if (GetRowCount() != rows) return false;
  for (int32_t row = 0; row < rows; ++row) {
    if (GetCellText(row, 2).empty()) return false;
  }
  return true;
}

struct RefreshRun {
  double lastResultMs = 0;  // from the start of the refresh to the last latency written
  double idleMs = 0;        // to the moment no dispatcher or worker was left
  CpuTime cpu;
  int results = 0;
  int echoRequests = 0;
  bool complete = false;
};

// One refresh as the button starts it. The latency cells are emptied first, so that every result is a
// change of the list's model and its moment can be taken from there.
RefreshRun MeasureRefresh(QAbstractItemModel* model, int rows, FakeHostProcess& hosts) {
  for (int32_t row = 0; row < rows; ++row) SetCellText(row, 2, "");
  RefreshRun run;
  const int echoesBefore = hosts.EchoRequests();
  QEventLoop loop;
  Clock::time_point lastResult;
  const QMetaObject::Connection counting = QObject::connect(
      model, &QAbstractItemModel::dataChanged, &loop, [&](const QModelIndex& from, const QModelIndex& to) {
        if (from.column() > 2 || to.column() < 2) return;
        run.results += to.row() - from.row() + 1;
        lastResult = Clock::now();
        if (run.results >= rows) loop.quit();
      });
  QTimer::singleShot(kGiveUpMs, &loop, &QEventLoop::quit);

  const CpuTime cpuBefore = ProcessCpu();
  const auto start = Clock::now();
  StartThread(RefreshAll);
  loop.exec();
  QObject::disconnect(counting);
  // The last worker counts itself out just after its write.
  const auto giveUp = Clock::now() + std::chrono::seconds(5);
  while (!Idle() && Clock::now() < giveUp) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  const auto idle = Clock::now();
  const CpuTime cpuAfter = ProcessCpu();

  run.complete = run.results >= rows && Idle();
  run.lastResultMs = MsBetween(start, lastResult);
  run.idleMs = MsBetween(start, idle);
  run.cpu = {cpuAfter.userMs - cpuBefore.userMs, cpuAfter.sysMs - cpuBefore.sysMs, cpuAfter.wakeUps - cpuBefore.wakeUps};
  run.echoRequests = hosts.EchoRequests() - echoesBefore;
  return run;
}

struct Kind {
  std::string name;
  std::vector<int> delaysMs;  // per row; the time-out for a silent host
  std::vector<RefreshRun> plain;
  std::vector<RefreshRun> sampled;
  std::shared_ptr<EventWaits> waits = std::make_shared<EventWaits>();
};

std::vector<double> Figures(const std::vector<RefreshRun>& runs, const std::function<double(const RefreshRun&)>& of) {
  std::vector<double> values;
  for (const RefreshRun& run : runs) values.push_back(of(run));
  return values;
}

std::string Spread(const std::vector<double>& values) {
  char text[96];
  std::snprintf(text, sizeof text, "%6.0f (%.0f..%.0f)", Median(values), Min(values), Max(values));
  return text;
}

void PrintWaits(const char* what, const EventWaits& waits) {
  const std::vector<double>& waitsMs = waits.waitsMs;
  std::printf("| %-38s | %7zu | %6.2f | %6.2f | %7.2f | %8d | %7.1f of %-7.1f |\n", what, waitsMs.size(),
              Percentile(waitsMs, 0.5), Percentile(waitsMs, 0.99), Max(waitsMs), waits.longWaits, waits.longBusyMs,
              waits.longSpanMs);
}

}  // namespace

int main(int argc, char** argv) {
  // First, while this process has one thread: nothing it sends may leave the machine.
  const std::string namespaceError = fakenet::EnterPrivateNamespace();
  if (!namespaceError.empty()) {
    std::fprintf(stderr, "bench_refresh: %s\n", namespaceError.c_str());
    return 1;
  }
  const int runs = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 100) : 5;
  FakeHostProcess hosts;
  if (const std::string error = hosts.Start(); !error.empty()) {
    std::fprintf(stderr, "bench_refresh: %s\n", error.c_str());
    return 1;
  }
  if (!fakenet::SetPingGroupRange(0, 2147483647)) {
    std::fprintf(stderr, "bench_refresh: cannot allow datagram ICMP sockets in the namespace\n");
    return 1;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const std::string loadBefore = LoadAverage();
  QApplication app(argc, argv);

  const auto launched = Clock::now();
  MainWindow* window = StartMainWindow();
  window->show();
  const bool started = RunUntil([] { return EveryLatencyFilled(16) && Idle(); });
  const double startMs = MsBetween(launched, Clock::now());
  auto idleWaits = std::make_shared<EventWaits>();
  {
    EventWaitSampler sampler(idleWaits);
    RunUntil([] { return false; }, 2000);
  }
  // Read once the workers' threads, counted out already, have also ended.
  const long rssStartKb = StatusField("VmRSS");
  const std::string threadsStart = ThreadNames();

  window->findChild<QComboBox*>(QStringLiteral("组合框1"))->setCurrentIndex(kUsRegion);
  hosts.Silent();
  LoadServerList();
  const bool loaded = RunUntil([] { return EveryLatencyFilled(kUsRows) && Idle(); });
  if (!started || !loaded) {
    std::fprintf(stderr, "bench_refresh: the window did not measure its rows (start %d, load %d)\n", started, loaded);
    return 1;
  }
  auto* model = window->findChild<QTableWidget*>(QStringLiteral("超级列表框1"))->model();

  std::vector<std::string> addresses;
  for (int32_t row = 0; row < kUsRows; ++row) addresses.push_back(GetCellText(row, 1));
  Kind silent;
  silent.name = "silent hosts";
  silent.delaysMs.assign(kUsRows, PingTimeoutMs);
  Kind answering;
  answering.name = "answering after " + std::to_string(kSpreadLoMs) + ".." + std::to_string(kSpreadHiMs) + " ms";
  for (const std::string& address : addresses)
    answering.delaysMs.push_back(fakenet::SpreadDelayMs(address, kSpreadLoMs, kSpreadHiMs));

  int refreshes = 0;
  int readingTheirDelay = 0;
  int readingOneMore = 0;
  for (Kind* kind : {&silent, &answering}) {
    if (kind == &silent) {
      hosts.Silent();
    } else {
      hosts.Spread(kSpreadLoMs, kSpreadHiMs);
    }
    // Taking turns, so that a busy moment of the machine does not fall on one half alone.
    for (int run = 0; run < runs; ++run) {
      kind->plain.push_back(MeasureRefresh(model, kUsRows, hosts));
      {
        EventWaitSampler sampler(kind->waits);
        kind->sampled.push_back(MeasureRefresh(model, kUsRows, hosts));
      }
      refreshes += 2;
    }
    if (kind == &answering) {
      for (int32_t row = 0; row < kUsRows; ++row) {
        const int delay = answering.delaysMs[std::size_t(row)];
        const std::string reading = GetCellText(row, 2);
        if (reading == std::to_string(delay)) ++readingTheirDelay;
        if (reading == std::to_string(delay + 1)) ++readingOneMore;
      }
    }
  }
  RunUntil([] { return false; }, 200);
  const long rssEndKb = StatusField("VmRSS");
  const std::string threadsEnd = ThreadNames();

  std::printf("bench_refresh: the window's refresh of \"US 北美\" (%d rows, %d probes at most at once, time-out %d ms)\n",
              kUsRows, MaxWorkers, PingTimeoutMs);
  std::printf("%u cores, load average %s before, %s after; %d runs of each kind (median, min..max)\n\n",
              std::thread::hardware_concurrency(), loadBefore.c_str(), LoadAverage().c_str(), 2 * runs);
  std::printf("| %-26s | ideal ms | %-20s | %-20s | %-20s | user | sys  | wake-ups | requests | complete |\n", "hosts",
              "last result ms", "all ended ms", "CPU ms (user+sys)");
  std::printf("|----------------------------|----------|----------------------|----------------------|----------------------|------|------|----------|----------|----------|\n");
  for (const Kind* kind : {&silent, &answering}) {
    std::vector<RefreshRun> all = kind->plain;
    all.insert(all.end(), kind->sampled.begin(), kind->sampled.end());
    const auto requests = Figures(all, [](const RefreshRun& r) { return double(r.echoRequests); });
    const int complete = static_cast<int>(std::count_if(all.begin(), all.end(), [](const RefreshRun& r) { return r.complete; }));
    // CPU from the runs without the sampler only: its posting thread would be counted too.
    std::printf("| %-26s | %8.0f | %-20s | %-20s | %-20s | %4.0f | %4.0f | %8.0f | %3.0f..%-3.0f | %4d/%-3zu |\n", kind->name.c_str(),
                IdealMs(kind->delaysMs, MaxWorkers),
                Spread(Figures(all, [](const RefreshRun& r) { return r.lastResultMs; })).c_str(),
                Spread(Figures(all, [](const RefreshRun& r) { return r.idleMs; })).c_str(),
                Spread(Figures(kind->plain, [](const RefreshRun& r) { return r.cpu.userMs + r.cpu.sysMs; })).c_str(),
                Median(Figures(kind->plain, [](const RefreshRun& r) { return r.cpu.userMs; })),
                Median(Figures(kind->plain, [](const RefreshRun& r) { return r.cpu.sysMs; })),
                Median(Figures(kind->plain, [](const RefreshRun& r) { return double(r.cpu.wakeUps); })), Min(requests), Max(requests),
                complete, all.size());
  }
  std::printf("\nideal: when the last answer could come if every probe took exactly its host's delay, %d at a time in row order.\n"
              "CPU, user, sys and wake-ups (voluntary context switches of all threads) are medians of the runs without the sampler.\n",
              MaxWorkers);
  std::printf("Slowest single host of the answering kind: %d ms. After its last run %d of %d rows read exactly their host's delay,\n"
              "%d read 1 ms more (a fake host answering late on the busy cores).\n\n",
              *std::max_element(answering.delaysMs.begin(), answering.delaysMs.end()), readingTheirDelay, kUsRows,
              readingOneMore);

  std::printf("How long a call posted to the interface thread every %lld ms waited there, in ms:\n\n",
              static_cast<long long>(kPostEvery.count()));
  std::printf("| %-38s | samples |    p50 |    p99 |     max | >= 16 ms | busy ms of span ms |\n", "while");
  std::printf("|----------------------------------------|---------|--------|--------|---------|----------|--------------------|\n");
  PrintWaits("idle, after start", *idleWaits);
  PrintWaits(("refresh, " + silent.name).c_str(), *silent.waits);
  PrintWaits(("refresh, " + answering.name).c_str(), *answering.waits);
  std::printf("\n>= 16 ms: waits that long; busy: of the time from the call before each of them to it, how long the\n"
              "interface thread was on a core (close to all: the program's own work; far less: no core was free).\n");

  std::printf("\nStart: StartMainWindow to 16 rows of names measured: %.0f ms\n", startMs);
  std::printf("VmRSS after start %.1f MB; after loading \"US 北美\" and %d refreshes of its rows %.1f MB.\nThreads then: %s; and %s\n",
              static_cast<double>(rssStartKb) / 1024.0, refreshes, static_cast<double>(rssEndKb) / 1024.0,
              threadsStart.c_str(), threadsEnd.c_str());

  // Every worker has ended, so the window can go before the application object.
  delete window;
  return 0;
}
