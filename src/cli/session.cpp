#include "cli/session.h"

#include <algorithm>
#include <atomic>
#include <pthread.h>

#include "cli/report.h"
#include "measure/catalogue.h"

void StopSignal::Raise() {
  {
    std::lock_guard lock(m_mutex);
    m_raised = true;
  }
  m_changed.notify_all();
}

bool StopSignal::Raised() const {
  std::lock_guard lock(m_mutex);
  return m_raised;
}

bool StopSignal::WaitUntil(std::chrono::steady_clock::time_point deadline) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_until(lock, deadline, [this] { return m_raised; });
}

// Room for the resolver, which keeps its buffers on the stack, with a wide margin.
constexpr size_t kWorkerStackBytes = 256u << 10;

bool MeasureRound(const std::vector<Target>& targets, std::vector<std::optional<uint32_t>>& addresses,
                  std::vector<std::optional<int64_t>>& readings, int workers, const ResolveFn& resolve,
                  const ProbeFn& probe, const StopSignal& stop, const std::function<void(size_t)>& progress) {
  addresses.resize(targets.size());
  readings.assign(targets.size(), std::nullopt);
  std::atomic<size_t> next{0};
  std::atomic<bool> complete{true};
  size_t done = 0;
  std::mutex progressMutex;

  const auto work = [&] {
    for (;;) {
      const size_t i = next.fetch_add(1);
      if (i >= targets.size()) {
        return;
      }
      if (stop.Raised()) {
        complete = false;
        return;
      }
      if (!addresses[i]) {
        addresses[i] = resolve(targets[i].host);
      }
      if (addresses[i]) {
        readings[i] = probe(*addresses[i]);
      }
      std::lock_guard lock(progressMutex);
      ++done;
      if (progress) {
        progress(done);
      }
    }
  };

  const size_t wanted = std::min(targets.size(), static_cast<size_t>(std::max(workers, 1)));
  // A worker needs little stack: the default 8 MiB per thread costs more to map and unmap for a
  // hundred short-lived threads than their probes cost.
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
  const auto run = [](void* job) -> void* {
    (*static_cast<decltype(work)*>(job))();
    return nullptr;
  };
  std::vector<pthread_t> threads;
  threads.reserve(wanted);
  for (size_t t = 0; t < wanted; ++t) {
    pthread_t thread{};
    if (pthread_create(&thread, &attributes, run, const_cast<void*>(static_cast<const void*>(&work))) != 0) {
      break;  // fewer threads only make the round slower
    }
    threads.push_back(thread);
  }
  pthread_attr_destroy(&attributes);
  if (threads.empty()) {
    work();
  }
  for (pthread_t thread : threads) {
    pthread_join(thread, nullptr);
  }
  return complete && next.load() >= targets.size();
}

namespace {

std::string RefusedAdvice(const std::string& programPath) {
  return "tezmaro-cli: this user may not send ICMP echo requests. Allow it for every group with\n"
         "  sudo sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"\n"
         "or give the program the capability with\n"
         "  sudo setcap cap_net_raw+ep " +
         programPath +
         "\n"
         "or measure a TCP connect instead with --tcp PORT.\n";
}

// A terminal keeps the table in place: home, each line cleared past its end, the rest below cleared.
std::string InPlace(const std::string& text) {
  std::string drawn = "\033[H";
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    drawn += text.substr(start, end - start) + "\033[K\n";
    start = end + 1;
  }
  return drawn + "\033[J";
}

}  // namespace

int RunCli(const std::vector<std::string>& args, CliContext& context) {
  std::ostream& out = *context.out;
  std::ostream& err = *context.err;
  const ParsedArguments parsed = ParseArguments(args);
  if (!parsed.options) {
    err << "tezmaro-cli: " << parsed.error << "\n";
    return kExitUsage;
  }
  const CliOptions& options = *parsed.options;
  const auto finish = [&](int status) {
    out.flush();
    if (!out) {
      err << "tezmaro-cli: cannot write the output\n";
      return kExitOutputFailed;
    }
    return status;
  };
  if (options.help) {
    out << kUsageText;
    return finish(kExitAnswered);
  }
  if (options.version) {
    out << "tezmaro-cli " TEZMARO_VERSION "\n";
    return finish(kExitAnswered);
  }
  if (options.list) {
    out << FormatRegionList();
    return finish(kExitAnswered);
  }

  HostList list;
  if (options.hostsFile) {
    list = ReadHostsFile(*options.hostsFile, *context.in);
  } else {
    list.targets = CatalogueTargets(options.region);
  }
  if (!list.error.empty()) {
    err << "tezmaro-cli: " << list.error << "\n";
    return kExitUsage;
  }
  if (list.targets.empty()) {
    err << "tezmaro-cli: no hosts to measure\n";
    return kExitNoAnswer;
  }

  const std::vector<Target>& targets = list.targets;
  std::vector<HostResult> hosts;
  hosts.reserve(targets.size());
  for (const Target& target : targets) {
    hosts.push_back({target, std::nullopt, HostStats(!options.watch)});
  }
  const int workers = options.workers > 0 ? options.workers : std::min<int>(static_cast<int>(targets.size()), kMaxWorkers);
  const ProbeFn probe = [&](uint32_t address) { return context.probe(address, options); };
  const bool showProgress = context.errIsTerminal && !options.watch;
  RunSummary run{options.method, options.port, options.timeoutMs, 0};
  std::vector<std::optional<uint32_t>> addresses(targets.size());
  std::vector<std::optional<int64_t>> readings;

  for (int64_t round = 1; options.rounds == 0 || round <= options.rounds; ++round) {
    const auto started = std::chrono::steady_clock::now();
    const auto progress = [&](size_t done) {
      if (showProgress) {
        err << "\rround " << round << "/" << options.rounds << ": " << done << "/" << targets.size() << " hosts"
            << std::flush;
      }
    };
    const bool complete =
        MeasureRound(targets, addresses, readings, workers, context.resolve, probe, *context.stop, progress);
    if (showProgress) {
      err << "\r\033[K" << std::flush;
    }
    if (!complete) {
      break;  // a round cut short would count its unprobed hosts as lost
    }
    if (options.method == Method::Icmp && context.icmpRefused && context.icmpRefused()) {
      err << RefusedAdvice(context.programPath);
      return kExitNoIcmp;
    }
    for (size_t i = 0; i < hosts.size(); ++i) {
      hosts[i].address = addresses[i];
      hosts[i].stats.Add(readings[i]);
    }
    run.rounds = round;
    if (options.watch) {
      std::string screen = "tezmaro-cli: round " + std::to_string(round) +
                           (options.rounds > 0 ? " of " + std::to_string(options.rounds) : "") +
                           (options.method == Method::Tcp ? ", TCP port " + std::to_string(options.port) : ", ICMP") +
                           ", times in ms; Ctrl+C ends\n\n" +
                           FormatTable(hosts, OutputOrder(hosts, options.sort), true);
      out << (context.outIsTerminal ? (round == 1 ? "\033[2J" : "") + InPlace(screen) : screen + "\n") << std::flush;
    }
    if (options.rounds != 0 && round == options.rounds) {
      break;
    }
    if (context.stop->WaitUntil(started + std::chrono::microseconds(options.intervalUs))) {
      break;
    }
  }
  if (run.rounds == 0) {
    return kExitInterrupted;
  }

  if (!options.watch) {
    const std::vector<size_t> order = OutputOrder(hosts, options.sort);
    switch (options.format) {
      case Format::Table:
        out << FormatTable(hosts, order, false);
        break;
      case Format::Csv:
        out << FormatCsv(hosts, order);
        break;
      case Format::Json:
        out << FormatJson(run, hosts, order);
        break;
    }
  }
  const bool anyAnswered =
      std::any_of(hosts.begin(), hosts.end(), [](const HostResult& h) { return h.stats.Received() > 0; });
  return finish(anyAnswered ? kExitAnswered : kExitNoAnswer);
}
