// A run of tezmaro-cli from its arguments to its exit status, with the network reached only through
// the functions it is given, so that every path also runs against stand-ins.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <istream>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/hostlist.h"
#include "cli/options.h"

inline constexpr int kExitAnswered = 0;
inline constexpr int kExitNoAnswer = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoIcmp = 3;
inline constexpr int kExitOutputFailed = 4;
inline constexpr int kExitInterrupted = 130;  // before a single round was complete

// Raised once (Ctrl+C); waits end early when it is.
class StopSignal {
 public:
  void Raise();
  bool Raised() const;
  // Until the deadline, or less when raised; true when raised.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline) const;

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  bool m_raised = false;
};

using ResolveFn = std::function<std::optional<uint32_t>(std::string_view host)>;
// One probe of an address (network byte order): microseconds, or nothing without an answer.
using ProbeFn = std::function<std::optional<int64_t>(uint32_t address)>;

// Probes every target once, `workers` threads at a time. A name is looked up until it resolves and
// then kept in `addresses`. Returns false when `stop` was raised before every target was probed;
// `readings` is then incomplete. `progress` (may be empty) hears the number of targets done so far,
// from one thread at a time.
bool MeasureRound(const std::vector<Target>& targets, std::vector<std::optional<uint32_t>>& addresses,
                  std::vector<std::optional<int64_t>>& readings, int workers, const ResolveFn& resolve,
                  const ProbeFn& probe, const StopSignal& stop, const std::function<void(size_t)>& progress);

struct CliContext {
  std::istream* in = nullptr;
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  bool outIsTerminal = false;
  bool errIsTerminal = false;
  ResolveFn resolve;
  std::function<std::optional<int64_t>(uint32_t address, const CliOptions& options)> probe;
  // True once a probe found that ICMP may not be sent at all.
  std::function<bool()> icmpRefused;
  StopSignal* stop = nullptr;
  std::string programPath = "tezmaro-cli";  // for the setcap advice
};

// The arguments after the program's name; the exit status.
int RunCli(const std::vector<std::string>& args, CliContext& context);
