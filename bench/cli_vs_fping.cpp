// tezmaro-cli beside fping on the same fake hosts, in a private network namespace of its own:
// the wall time of one pass over 103 silent hosts, the end of a pass over answering hosts against the
// slowest answer, the readings' error against the hosts' set delays over three rounds, and resident
// memory and CPU per 100 probes. Prints a table; asserts nothing.
// Usage: bench_cli_vs_fping [repetitions]
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "measure/catalogue.h"
#include "support/fakenet.h"

extern char** environ;

namespace {

constexpr int kRegion = 1;  // 103 addresses

struct Outcome {
  std::string output;  // standard output and error together
  int status = -1;
  double wallSeconds = 0;
  double cpuSeconds = 0;
  long maxRssKb = 0;
};

double Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

Outcome RunCommand(const std::vector<std::string>& argv) {
  char path[] = "/tmp/bench_cli_XXXXXX";
  const int fd = mkstemp(path);
  unlink(path);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd, 1);
  posix_spawn_file_actions_adddup2(&actions, fd, 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  Outcome outcome;
  pid_t pid = 0;
  const double start = Now();
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    outcome.wallSeconds = Now() - start;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    outcome.maxRssKb = usage.ru_maxrss;
  }
  posix_spawn_file_actions_destroy(&actions);
  lseek(fd, 0, SEEK_SET);
  char buffer[65536];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
    outcome.output.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return outcome;
}

std::vector<std::string> RegionAddresses() {
  std::vector<std::string> addresses;
  std::istringstream lines{std::string(RegionText(kRegion))};
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    addresses.push_back(line.substr(line.find('\t') + 1));
  }
  return addresses;
}

// Every echo request and reply on the fake hosts' device, stamped by the kernel as it crossed: what
// the round trip really was, whatever the fake hosts' own lateness on a busy machine.
class DeviceTap {
 public:
  DeviceTap() : m_fd(socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL))) {
    sockaddr_ll device{};
    device.sll_family = AF_PACKET;
    device.sll_protocol = htons(ETH_P_ALL);
    device.sll_ifindex = static_cast<int>(if_nametoindex("tzfake0"));
    const int on = 1;
    const int buffer = 1 << 24;
    setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    bind(m_fd, reinterpret_cast<const sockaddr*>(&device), sizeof device);
  }
  ~DeviceTap() { close(m_fd); }
  DeviceTap(const DeviceTap&) = delete;
  DeviceTap& operator=(const DeviceTap&) = delete;

  void Drain() { Exchanges(); }

  // Per address, the round trips (ms) of the exchanges since the last call, in request order.
  std::map<std::string, std::vector<std::optional<double>>> Exchanges() {
    struct Seen {
      uint8_t type;
      std::string peer;  // destination of a request, source of a reply
      uint32_t echo;     // identifier and sequence
      double ms;
    };
    std::vector<Seen> seen;
    for (;;) {
      uint8_t packet[2048];
      alignas(cmsghdr) uint8_t control[256];
      iovec io{packet, sizeof packet};
      msghdr message{};
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      const ssize_t length = recvmsg(m_fd, &message, MSG_DONTWAIT);
      if (length < 0) {
        break;
      }
      const size_t header = static_cast<size_t>(packet[0] & 0x0f) * 4;
      if (length < static_cast<ssize_t>(header + 8) || packet[9] != IPPROTO_ICMP) {
        continue;
      }
      const uint8_t type = packet[header];
      if (type != 0 && type != 8) {
        continue;
      }
      double ms = 0;
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec stamp{};
          std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
          ms = static_cast<double>(stamp.tv_sec) * 1e3 + static_cast<double>(stamp.tv_nsec) / 1e6;
        }
      }
      char peer[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, packet + (type == 8 ? 16 : 12), peer, sizeof peer);
      uint32_t echo = 0;
      std::memcpy(&echo, packet + header + 4, 4);
      seen.push_back({type, peer, echo, ms});
    }
    std::map<std::string, std::vector<std::optional<double>>> exchanges;
    for (size_t i = 0; i < seen.size(); ++i) {
      if (seen[i].type != 8) {
        continue;
      }
      std::optional<double> roundTrip;
      for (size_t j = i + 1; j < seen.size(); ++j) {
        if (seen[j].type == 0 && seen[j].peer == seen[i].peer && seen[j].echo == seen[i].echo) {
          roundTrip = seen[j].ms - seen[i].ms;
          break;
        }
      }
      exchanges[seen[i].peer].push_back(roundTrip);
    }
    return exchanges;
  }

 private:
  int m_fd;
};

// The readings of `tezmaro-cli --format json`, host by host in catalogue order.
std::vector<std::vector<std::optional<double>>> CliReadings(const std::string& json) {
  std::vector<std::vector<std::optional<double>>> hosts;
  for (size_t at = json.find("\"rtts_ms\": ["); at != std::string::npos; at = json.find("\"rtts_ms\": [", at + 1)) {
    const size_t open = json.find('[', at) + 1;
    std::istringstream items(json.substr(open, json.find(']', open) - open));
    std::vector<std::optional<double>> readings;
    for (std::string item; std::getline(items, item, ',');) {
      item.erase(0, item.find_first_not_of(' '));
      readings.push_back(item == "null" ? std::nullopt : std::optional<double>(std::stod(item)));
    }
    hosts.push_back(readings);
  }
  return hosts;
}

// The readings of `fping -C N -q`: "address : 20.13 20.05 -" per host, in the order given.
std::vector<std::vector<std::optional<double>>> FpingReadings(const std::string& output,
                                                              const std::vector<std::string>& addresses) {
  std::vector<std::vector<std::optional<double>>> hosts(addresses.size());
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const size_t colon = line.find(" : ");
    if (colon == std::string::npos) {
      continue;
    }
    std::string address = line.substr(0, colon);
    address.erase(address.find_last_not_of(' ') + 1);
    const auto it = std::find(addresses.begin(), addresses.end(), address);
    if (it == addresses.end()) {
      continue;
    }
    std::istringstream items(line.substr(colon + 3));
    for (std::string item; items >> item;) {
      hosts[static_cast<size_t>(it - addresses.begin())].push_back(
          item == "-" ? std::nullopt : std::optional<double>(std::stod(item)));
    }
  }
  return hosts;
}

struct Errors {
  size_t readings = 0;
  size_t missing = 0;
  double meanAbs = 0;
  double p95Abs = 0;
  double maxAbs = 0;
};

Errors Compare(const std::vector<std::vector<std::optional<double>>>& readings, const std::vector<int>& delays) {
  Errors e;
  double sum = 0;
  std::vector<double> all;
  for (size_t h = 0; h < delays.size(); ++h) {
    for (const auto& reading : h < readings.size() ? readings[h] : std::vector<std::optional<double>>()) {
      if (!reading) {
        ++e.missing;
        continue;
      }
      const double error = std::abs(*reading - delays[h]);
      sum += error;
      all.push_back(error);
      e.maxAbs = std::max(e.maxAbs, error);
      ++e.readings;
    }
  }
  e.meanAbs = e.readings ? sum / static_cast<double>(e.readings) : 0;
  std::sort(all.begin(), all.end());
  e.p95Abs = all.empty() ? 0 : all[all.size() * 95 / 100];
  return e;
}

// The same readings against the exchanges the device saw for them, request by request.
std::vector<std::vector<std::optional<double>>> DeviceReference(
    const std::map<std::string, std::vector<std::optional<double>>>& exchanges, const std::vector<std::string>& addresses) {
  std::vector<std::vector<std::optional<double>>> reference;
  for (const std::string& address : addresses) {
    const auto it = exchanges.find(address);
    reference.push_back(it == exchanges.end() ? std::vector<std::optional<double>>() : it->second);
  }
  return reference;
}

Errors CompareWith(const std::vector<std::vector<std::optional<double>>>& readings,
                   const std::vector<std::vector<std::optional<double>>>& reference) {
  Errors e;
  double sum = 0;
  std::vector<double> all;
  for (size_t h = 0; h < readings.size() && h < reference.size(); ++h) {
    for (size_t r = 0; r < readings[h].size(); ++r) {
      if (!readings[h][r] || r >= reference[h].size() || !reference[h][r]) {
        ++e.missing;
        continue;
      }
      const double error = std::abs(*readings[h][r] - *reference[h][r]);
      sum += error;
      all.push_back(error);
      e.maxAbs = std::max(e.maxAbs, error);
      ++e.readings;
    }
  }
  e.meanAbs = e.readings ? sum / static_cast<double>(e.readings) : 0;
  std::sort(all.begin(), all.end());
  e.p95Abs = all.empty() ? 0 : all[all.size() * 95 / 100];
  return e;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::string error = fakenet::EnterPrivateNamespace();
  if (!error.empty()) {
    std::fprintf(stderr, "bench_cli_vs_fping: %s\n", error.c_str());
    return 1;
  }
  fakenet::FakeNet net;
  if (!net.ok()) {
    std::fprintf(stderr, "bench_cli_vs_fping: %s\n", net.error().c_str());
    return 1;
  }
  const std::string cli = TEZMARO_CLI_PATH;
  const std::vector<std::string> addresses = RegionAddresses();
  std::vector<std::string> fping = {"fping", "-q", "-r", "0", "-t", "1000"};
  fping.insert(fping.end(), addresses.begin(), addresses.end());
  const auto withCount = [&](int count, int periodMs) {
    std::vector<std::string> args = {"fping", "-q", "-r", "0", "-t", "1000", "-C", std::to_string(count),
                                     "-p", std::to_string(periodMs)};
    args.insert(args.end(), addresses.begin(), addresses.end());
    return args;
  };

  std::printf("tezmaro-cli against fping on %zu fake hosts (region %d), %d repetitions, medians; both as root "
              "(raw ICMP sockets)\n\n",
              addresses.size(), kRegion, repetitions);

  // 1. Nobody answers: the pass lasts as long as its last wait.
  net.SetDefault({fakenet::Behaviour::Silent, 0});
  std::vector<double> cliSilent, fpingSilent;
  for (int r = 0; r < repetitions; ++r) {
    cliSilent.push_back(RunCommand({cli, std::to_string(kRegion), "--timeout", "1000"}).wallSeconds);
    fpingSilent.push_back(RunCommand(withCount(1, 1000)).wallSeconds);
  }
  std::printf("one pass, 103 silent hosts, 1000 ms time-out\n");
  std::printf("  tezmaro-cli  %.3f s\n  fping -C1    %.3f s\n  ratio        %.2f (goal <= 0.60)\n\n",
              Median(cliSilent), Median(fpingSilent), Median(cliSilent) / Median(fpingSilent));

  // 2. Everybody answers, each after its own delay: the pass ends with the slowest answer.
  std::vector<int> delays(addresses.size());
  for (size_t i = 0; i < addresses.size(); ++i) {
    delays[i] = 5 + static_cast<int>((i * 37) % 116);  // 5 to 120 ms
    net.SetHost(addresses[i], {fakenet::Behaviour::Reply, delays[i]});
  }
  const int slowest = *std::max_element(delays.begin(), delays.end());
  std::vector<double> cliAnswering, fpingAnswering;
  for (int r = 0; r < repetitions; ++r) {
    cliAnswering.push_back(RunCommand({cli, std::to_string(kRegion)}).wallSeconds);
    fpingAnswering.push_back(RunCommand(withCount(1, 1000)).wallSeconds);
  }
  std::printf("one pass, answering hosts (5 to %d ms)\n", slowest);
  std::printf("  tezmaro-cli  %.3f s  (slowest answer %d ms: %.0f ms past it, process start and exit included)\n",
              Median(cliAnswering), slowest, Median(cliAnswering) * 1000 - slowest);
  std::printf("  fping -C1    %.3f s\n\n", Median(fpingAnswering));

  // 3. and 4. Three rounds, all hosts at once: the readings against the delays and against what the
  // device saw, and the cost.
  DeviceTap tap;
  tap.Drain();
  const Outcome cliRounds = RunCommand({cli, std::to_string(kRegion), "--rounds", "3", "--interval", "0.2",
                                        "--format", "json"});
  const auto cliDevice = DeviceReference(tap.Exchanges(), addresses);
  const Outcome fpingRounds = RunCommand(withCount(3, 200));
  const auto fpingDevice = DeviceReference(tap.Exchanges(), addresses);
  const auto cliReadings = CliReadings(cliRounds.output);
  const auto fpingReadings = FpingReadings(fpingRounds.output, addresses);
  std::printf("three rounds over %zu answering hosts: |reading - reference| in ms (goal max <= 0.5)\n",
              addresses.size());
  std::printf("  %-12s %-16s %8s %8s %8s %8s %8s\n", "", "reference", "readings", "missing", "mean", "p95", "max");
  const std::pair<const char*, Errors> rows[] = {
      {"tezmaro-cli", Compare(cliReadings, delays)}, {"fping -C3", Compare(fpingReadings, delays)}};
  const std::pair<const char*, Errors> deviceRows[] = {
      {"tezmaro-cli", CompareWith(cliReadings, cliDevice)}, {"fping -C3", CompareWith(fpingReadings, fpingDevice)}};
  for (const auto& [name, e] : rows) {
    std::printf("  %-12s %-16s %8zu %8zu %8.3f %8.3f %8.3f\n", name, "set delay", e.readings, e.missing, e.meanAbs,
                e.p95Abs, e.maxAbs);
  }
  for (const auto& [name, e] : deviceRows) {
    std::printf("  %-12s %-16s %8zu %8zu %8.3f %8.3f %8.3f\n", name, "device exchange", e.readings, e.missing,
                e.meanAbs, e.p95Abs, e.maxAbs);
  }
  std::printf("  (against the set delay, the fake hosts' lateness on a busy machine counts too)\n\n");

  const double probes = 3.0 * static_cast<double>(addresses.size());
  std::printf("cost of those %.0f probes\n", probes);
  std::printf("  %-12s %12s %16s %10s\n", "", "max RSS KiB", "CPU ms/100 probes", "wall s");
  std::printf("  %-12s %12ld %16.2f %10.3f\n", "tezmaro-cli", cliRounds.maxRssKb,
              cliRounds.cpuSeconds * 1000 / probes * 100, cliRounds.wallSeconds);
  std::printf("  %-12s %12ld %16.2f %10.3f\n", "fping -C3", fpingRounds.maxRssKb,
              fpingRounds.cpuSeconds * 1000 / probes * 100, fpingRounds.wallSeconds);
  if (cliRounds.status != 0 || fpingRounds.status != 0) {
    std::printf("\n(exit statuses: tezmaro-cli %d, fping %d)\n", cliRounds.status, fpingRounds.status);
  }
  return 0;
}
