// How close the probe's readings come to round-trip times that are known exactly: fake hosts answer
// after set delays, and the probe is read against them beside iputils ping and fping on the same hosts.
// Each reading is also set against the time its exchange took on the fake hosts' device, by the
// kernel's stamps, which leaves out the fake hosts' own lateness when the cores are busy.
// Prints a table; asserts nothing. Usage: bench_probe_accuracy [rounds]
#include "measure/probe.h"
#include "support/fakenet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr int kHosts = 103;
constexpr int kAtOnce = 30;
constexpr int kMaxDelayMs = 120;
constexpr int32_t kTimeoutMs = 1000;

struct Host {
  std::string address;
  int delayMs;
};

struct Reading {
  size_t host = 0;
  std::optional<double> ms;        // nothing when no answer came
  std::optional<double> deviceMs;  // the exchange on the device, when it was seen whole
};

// One method's readings over all hosts and rounds.
struct Run {
  std::string method;
  std::vector<Reading> readings;
  double cpuSeconds = 0;
};

// Every echo request and reply that crosses the fake hosts' device, with the kernel's stamp.
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
    m_ok = m_fd >= 0 && device.sll_ifindex != 0 &&
           bind(m_fd, reinterpret_cast<const sockaddr*>(&device), sizeof device) == 0;
    if (m_ok) {
      m_reader = std::thread([this] { ReadUntilStopped(); });
    }
  }
  ~DeviceTap() {
    m_stop = true;
    if (m_reader.joinable()) {
      m_reader.join();
    }
    close(m_fd);
  }
  DeviceTap(const DeviceTap&) = delete;
  DeviceTap& operator=(const DeviceTap&) = delete;

  bool ok() const { return m_ok; }

  // Per address, the round-trip times on the device of the exchanges since the last call, in the
  // order of their requests; nothing for a request that saw no reply.
  std::map<uint32_t, std::vector<std::optional<double>>> TakeExchanges() {
    // The last replies may still be on their way to the reader: wait until it has found the device quiet.
    const int idle = m_idlePolls.load();
    while (m_ok && m_idlePolls.load() < idle + 2) {
      std::this_thread::yield();
    }
    std::vector<Seen> seen;
    {
      std::lock_guard lock(m_mutex);
      seen.swap(m_seen);
    }
    std::map<uint32_t, std::vector<std::optional<double>>> exchanges;
    for (size_t i = 0; i < seen.size(); ++i) {
      if (seen[i].type != 8) {
        continue;
      }
      std::optional<double> roundTrip;
      for (size_t j = i + 1; j < seen.size(); ++j) {
        if (seen[j].type == 0 && seen[j].source == seen[i].destination && seen[j].echo == seen[i].echo) {
          roundTrip = static_cast<double>(seen[j].stampNs - seen[i].stampNs) / 1e6;
          break;
        }
      }
      exchanges[seen[i].destination].push_back(roundTrip);
    }
    return exchanges;
  }

 private:
  struct Seen {
    int64_t stampNs;
    uint8_t type;
    uint32_t source;
    uint32_t destination;
    uint32_t echo;  // identifier and sequence
  };

  void ReadUntilStopped() {
    while (!m_stop) {
      pollfd watch{m_fd, POLLIN, 0};
      if (poll(&watch, 1, 20) != 1) {
        ++m_idlePolls;
        continue;
      }
      uint8_t packet[256];
      alignas(cmsghdr) uint8_t control[256];
      iovec io{packet, sizeof packet};
      msghdr message{};
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      const ssize_t length = recvmsg(m_fd, &message, 0);
      if (length < 28 || packet[0] >> 4 != 4 || packet[9] != IPPROTO_ICMP) {
        continue;
      }
      const size_t header = static_cast<size_t>(packet[0] & 0x0f) * 4;
      if (static_cast<size_t>(length) < header + 8 || (packet[header] != 0 && packet[header] != 8)) {
        continue;
      }
      Seen seen{0, packet[header], 0, 0, 0};
      std::memcpy(&seen.source, packet + 12, 4);
      std::memcpy(&seen.destination, packet + 16, 4);
      std::memcpy(&seen.echo, packet + header + 4, 4);
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec stamp{};
          std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
          seen.stampNs = static_cast<int64_t>(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec;
        }
      }
      std::lock_guard lock(m_mutex);
      m_seen.push_back(seen);
    }
  }

  int m_fd;
  bool m_ok = false;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_idlePolls{0};
  std::mutex m_mutex;
  std::vector<Seen> m_seen;
  std::thread m_reader;
};

// Gives each reading of one round the device's time for the same exchange: a round probes each host once.
void MatchDevice(Run& run, const std::vector<Host>& hosts, DeviceTap& tap) {
  std::map<uint32_t, std::vector<std::optional<double>>> exchanges = tap.TakeExchanges();
  for (Reading& reading : run.readings) {
    in_addr address{};
    inet_aton(hosts[reading.host].address.c_str(), &address);
    const std::vector<std::optional<double>>& times = exchanges[address.s_addr];
    if (times.size() == 1) {
      reading.deviceMs = times.front();
    }
  }
}

double CpuSecondsOfThisThread() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// The in-process probe, kAtOnce calls at a time like the window's workers, each thread counting its own
// CPU time so that the fake hosts' work is not charged to the probe.
Run MeasureInProcess(const std::string& method, const std::vector<Host>& hosts, bool wholeMs) {
  Run run{method, {}, 0};
  run.readings.resize(hosts.size());
  std::atomic<size_t> next{0};
  std::atomic<int64_t> cpuNs{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kAtOnce; ++w) {
    workers.emplace_back([&] {
      const double start = CpuSecondsOfThisThread();
      for (size_t i = next++; i < run.readings.size(); i = next++) {
        const Host& host = hosts[i];
        std::optional<double> reading;
        if (wholeMs) {
          const int32_t ms = PingHost(host.address, kTimeoutMs);
          if (ms >= 0) {
            reading = ms;
          }
        } else if (const std::optional<uint32_t> address = ResolveHost(host.address)) {
          if (const std::optional<int64_t> us = EchoRoundTripUs(*address, kTimeoutMs)) {
            reading = static_cast<double>(*us) / 1000.0;
          }
        }
        run.readings[i] = {i, reading, std::nullopt};
      }
      cpuNs += static_cast<int64_t>((CpuSecondsOfThisThread() - start) * 1e9);
    });
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
  run.cpuSeconds = static_cast<double>(cpuNs.load()) / 1e9;
  return run;
}

struct Child {
  pid_t pid = -1;
  int output = -1;
  std::string text;
};

// Starts a command with its standard output and error both into one pipe.
Child Spawn(const std::vector<std::string>& argv) {
  Child child;
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) {
    return child;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, channel[1], 1);
  posix_spawn_file_actions_adddup2(&actions, channel[1], 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  if (posix_spawnp(&child.pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
    child.pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(channel[1]);
  child.output = channel[0];
  return child;
}

// Reads every child's output to its end and reaps it, adding up the CPU time the children used.
double Finish(std::vector<Child>& children) {
  double cpu = 0;
  for (Child& child : children) {
    char buffer[4096];
    ssize_t length = 0;
    while ((length = read(child.output, buffer, sizeof buffer)) > 0) {
      child.text.append(buffer, static_cast<size_t>(length));
    }
    close(child.output);
    int status = 0;
    rusage usage{};
    if (child.pid > 0 && wait4(child.pid, &status, 0, &usage) == child.pid) {
      cpu += Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    }
  }
  return cpu;
}

// One `ping -c1 -W1` process per host, kAtOnce of them at a time.
Run MeasurePing(const std::vector<Host>& hosts) {
  Run run{"ping -c1 -W1", {}, 0};
  for (size_t first = 0; first < hosts.size(); first += kAtOnce) {
    const size_t end = std::min(hosts.size(), first + kAtOnce);
    std::vector<Child> children;
    for (size_t i = first; i < end; ++i) {
      children.push_back(Spawn({"ping", "-n", "-c1", "-W1", hosts[i].address}));
    }
    run.cpuSeconds += Finish(children);
    for (size_t i = first; i < end; ++i) {
      std::optional<double> reading;
      const size_t at = children[i - first].text.find("time=");
      if (at != std::string::npos) {
        reading = std::strtod(children[i - first].text.c_str() + at + 5, nullptr);
      }
      run.readings.push_back({i, reading, std::nullopt});
    }
  }
  return run;
}

// One `fping -C1 -q` per group of kAtOnce hosts; it probes a group from one process.
Run MeasureFping(const std::vector<Host>& hosts) {
  Run run{"fping -C1 -q", {}, 0};
  for (size_t first = 0; first < hosts.size(); first += kAtOnce) {
    const size_t end = std::min(hosts.size(), first + kAtOnce);
    std::vector<std::string> argv = {"fping", "-C1", "-q", "-t1000"};
    for (size_t i = first; i < end; ++i) {
      argv.push_back(hosts[i].address);
    }
    std::vector<Child> children = {Spawn(argv)};
    run.cpuSeconds += Finish(children);
    // Lines "address : 37.2", or "address : -" when no reply came.
    std::map<std::string, std::optional<double>> byAddress;
    const std::string& text = children[0].text;
    for (size_t line = 0; line < text.size();) {
      const size_t stop = std::min(text.find('\n', line), text.size());
      const std::string row = text.substr(line, stop - line);
      const size_t colon = row.find(" : ");
      if (colon != std::string::npos) {
        const std::string value = row.substr(colon + 3);
        // fping pads the addresses to one width.
        const std::string address = row.substr(0, row.find(' '));
        byAddress[address] =
            value == "-" ? std::nullopt : std::optional<double>(std::strtod(value.c_str(), nullptr));
      }
      line = stop + 1;
    }
    for (size_t i = first; i < end; ++i) {
      const auto found = byAddress.find(hosts[i].address);
      run.readings.push_back({i, found == byAddress.end() ? std::nullopt : found->second, std::nullopt});
    }
  }
  return run;
}

double Percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) {
    return NAN;
  }
  const auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

struct Summary {
  double mean = NAN;
  double p50 = NAN;
  double p99 = NAN;
  double max = NAN;
};

Summary Summarise(std::vector<double> values) {
  Summary summary;
  if (values.empty()) {
    return summary;
  }
  std::sort(values.begin(), values.end());
  double sum = 0;
  for (const double value : values) {
    sum += value;
  }
  summary.mean = sum / static_cast<double>(values.size());
  summary.p50 = Percentile(values, 0.5);
  summary.p99 = Percentile(values, 0.99);
  summary.max = values.back();
  return summary;
}

void PrintHeader() {
  std::printf("| %-26s | %5s | %4s | %-27s | %-27s | %5s | %6s | %7s |\n", "method", "reads", "lost",
              "error vs delay: mean p50 p99 max", "error vs device: mean p50 p99 max", "!=D", "!=dev", "CPU/100");
  std::printf("|%s|-------|------|%s|%s|-------|--------|---------|\n", std::string(28, '-').c_str(),
              std::string(34, '-').c_str(), std::string(35, '-').c_str());
}

void PrintRow(const Run& run, const std::vector<Host>& hosts) {
  std::vector<double> againstDelay;
  std::vector<double> againstDevice;
  int lost = 0;
  int offDelay = 0;
  int offDevice = 0;
  for (const Reading& reading : run.readings) {
    if (!reading.ms) {
      ++lost;
      continue;
    }
    const int delay = hosts[reading.host].delayMs;
    againstDelay.push_back(*reading.ms - delay);
    offDelay += std::floor(*reading.ms) != delay ? 1 : 0;
    if (reading.deviceMs) {
      againstDevice.push_back(*reading.ms - *reading.deviceMs);
      offDevice += std::floor(*reading.ms) != std::floor(*reading.deviceMs) ? 1 : 0;
    }
  }
  const Summary delay = Summarise(againstDelay);
  const Summary device = Summarise(againstDevice);
  const double cpuMsPer100 = run.cpuSeconds * 1000.0 * 100.0 / static_cast<double>(run.readings.size());
  std::printf("| %-26s | %5zu | %4d | %6.3f %6.3f %6.3f %6.3f | %6.3f %6.3f %6.3f %6.3f  | %5d | %6d | %7.2f |\n",
              run.method.c_str(), run.readings.size(), lost, delay.mean, delay.p50, delay.p99, delay.max,
              device.mean, device.p50, device.p99, device.max, offDelay, offDevice, cpuMsPer100);
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread: only a single-threaded process may move into a new namespace.
  const std::string error = fakenet::EnterPrivateNamespace();
  if (!error.empty()) {
    std::fprintf(stderr, "bench_probe_accuracy: cannot make a private network namespace: %s\n", error.c_str());
    return 1;
  }
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  fakenet::FakeNet net;
  if (!net.ok()) {
    std::fprintf(stderr, "bench_probe_accuracy: the fake hosts did not start: %s\n", net.error().c_str());
    return 1;
  }
  std::vector<Host> hosts;
  for (int i = 0; i < kHosts; ++i) {
    // Spread evenly over 0..kMaxDelayMs, so that every whole millisecond step is read somewhere.
    const int delay = (i * kMaxDelayMs + (kHosts - 1) / 2) / (kHosts - 1);
    hosts.push_back({"198.18.10." + std::to_string(i + 1), delay});
    net.SetHost(hosts.back().address, {fakenet::Behaviour::Reply, delay});
  }

  DeviceTap tap;
  if (!tap.ok()) {
    std::fprintf(stderr, "bench_probe_accuracy: cannot watch the fake hosts' device\n");
    return 1;
  }
  // The rounds take turns between the methods, so that a busy moment of the machine, which makes the
  // fake hosts late, does not fall on one method alone.
  std::vector<Run> runs;
  std::vector<double> lateness;  // how much later than asked the fake hosts answered, on the device
  auto record = [&](size_t slot, Run run) {
    MatchDevice(run, hosts, tap);
    for (const Reading& reading : run.readings) {
      if (reading.deviceMs) {
        lateness.push_back(*reading.deviceMs - hosts[reading.host].delayMs);
      }
    }
    if (slot == runs.size()) {
      runs.push_back(std::move(run));
      return;
    }
    runs[slot].cpuSeconds += run.cpuSeconds;
    runs[slot].readings.insert(runs[slot].readings.end(), run.readings.begin(), run.readings.end());
  };
  tap.TakeExchanges();
  for (int round = 0; round < rounds; ++round) {
    size_t slot = 0;
    for (const ProbeMode kind : {ProbeMode::Datagram, ProbeMode::Raw}) {
      const bool datagram = kind == ProbeMode::Datagram;
      if (!(datagram ? fakenet::SetPingGroupRange(0, 2147483647) : fakenet::SetPingGroupRange(1, 0))) {
        std::fprintf(stderr, "bench_probe_accuracy: cannot set net.ipv4.ping_group_range\n");
        return 1;
      }
      probe_testing::ResetProbeState();
      const std::string suffix = datagram ? " (datagram)" : " (raw)";
      record(slot++, MeasureInProcess("EchoRoundTripUs" + suffix, hosts, false));
      record(slot++, MeasureInProcess("PingHost" + suffix, hosts, true));
      if (CurrentProbeMode() != kind) {
        std::fprintf(stderr, "bench_probe_accuracy: the probe used another socket kind than asked\n");
        return 1;
      }
    }
    fakenet::SetPingGroupRange(0, 2147483647);
    record(slot++, MeasurePing(hosts));
    record(slot++, MeasureFping(hosts));
  }

  std::printf("%d hosts at 0..%d ms, %d probes at a time, %d rounds. Errors in ms: reading - the host's delay, "
              "and reading - the exchange's time on the fake hosts' device.\n\n",
              kHosts, kMaxDelayMs, kAtOnce, rounds);
  PrintHeader();
  for (const Run& run : runs) {
    PrintRow(run, hosts);
  }
  const Summary late = Summarise(lateness);
  std::printf("\n!=D: readings whose whole milliseconds (rounded down) differ from the delay; !=dev: from the\n"
              "device's time. CPU/100: user + system CPU ms per 100 probes (the probing threads; the\n"
              "ping and fping processes). The fake hosts' own lateness on the device, in ms:\n"
              "mean %.3f, p50 %.3f, p99 %.3f, max %.3f.\n",
              late.mean, late.p50, late.p99, late.max);
  return 0;
}
