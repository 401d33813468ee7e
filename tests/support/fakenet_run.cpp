// fakenet-run: runs one command inside a private network namespace among fake hosts, answering for
// them until the command ends, and exits with the command's status.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/fakenet.h"

extern char** environ;

namespace {

constexpr int kUsageError = 2;
// As env(1) and unshare(1) do: 125 the tool itself failed, 126 not runnable, 127 not found.
constexpr int kSetupFailed = 125;

const char* const kUsage =
    "usage: fakenet-run [--default silent|reply:MS|spread:LO-HI|BEHAVIOUR[:MS]] [--host ADDR=BEHAVIOUR[:MS]]...\n"
    "                   [--name NAME=ADDR[,ADDR...]]... [--answer-every-name] [--ping-group] -- COMMAND [ARGS...]\n"
    "Runs COMMAND in a private network namespace where every IPv4 address leads to fake hosts that\n"
    "answer ICMP echo requests as configured, and a DNS server on 127.0.0.1 answers for --name.\n"
    "BEHAVIOUR: reply, silent, unreachable, timeexceeded, duplicate, wrongid, wrongseq, wrongsource,\n"
    "           badchecksum, truncated, malformed; MS is the delay in milliseconds (default 0).\n"
    "Unconfigured addresses are silent unless --default says otherwise. --ping-group lets every group\n"
    "open datagram ICMP sockets. Exits with COMMAND's status (128+N when killed by signal N).\n";

volatile sig_atomic_t g_child = 0;

void Forward(int sig) {
  if (g_child > 0) kill(pid_t(g_child), sig);
}

[[noreturn]] void Usage(const std::string& problem) {
  std::fprintf(stderr, "fakenet-run: %s\n%s", problem.c_str(), kUsage);
  std::exit(kUsageError);
}

std::optional<int> ParseMs(const std::string& text) {
  if (text.empty() || text.size() > 7) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  return std::stoi(text);
}

std::optional<fakenet::HostConfig> ParseBehaviour(const std::string& text) {
  static const std::map<std::string, fakenet::Behaviour> kNames = {
      {"reply", fakenet::Behaviour::Reply},
      {"silent", fakenet::Behaviour::Silent},
      {"unreachable", fakenet::Behaviour::Unreachable},
      {"timeexceeded", fakenet::Behaviour::TimeExceeded},
      {"duplicate", fakenet::Behaviour::Duplicate},
      {"wrongid", fakenet::Behaviour::WrongId},
      {"wrongseq", fakenet::Behaviour::WrongSeq},
      {"wrongsource", fakenet::Behaviour::WrongSource},
      {"badchecksum", fakenet::Behaviour::BadChecksum},
      {"truncated", fakenet::Behaviour::Truncated},
      {"malformed", fakenet::Behaviour::Malformed},
  };
  size_t colon = text.find(':');
  auto it = kNames.find(text.substr(0, colon));
  if (it == kNames.end()) return std::nullopt;
  fakenet::HostConfig config{it->second, 0};
  if (colon != std::string::npos) {
    auto ms = ParseMs(text.substr(colon + 1));
    if (!ms) return std::nullopt;
    config.delayMs = *ms;
  }
  return config;
}

struct Options {
  std::optional<fakenet::HostConfig> defaultConfig;
  std::optional<std::pair<int, int>> spread;
  std::vector<std::pair<std::string, fakenet::HostConfig>> hosts;
  std::vector<std::pair<std::string, std::vector<std::string>>> names;
  bool answerEveryName = false;
  bool pingGroup = false;
  std::vector<char*> command;
};

std::pair<std::string, std::string> SplitAssignment(const std::string& option, const std::string& text) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size())
    Usage(option + " needs NAME=VALUE, got \"" + text + "\"");
  return {text.substr(0, eq), text.substr(eq + 1)};
}

Options Parse(int argc, char** argv) {
  Options o;
  int i = 1;
  auto value = [&](const std::string& option) -> std::string {
    if (i + 1 >= argc) Usage(option + " needs a value");
    return argv[++i];
  };
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--default") {
      std::string v = value(arg);
      if (v.rfind("spread:", 0) == 0) {
        std::string range = v.substr(7);
        size_t dash = range.find('-');
        auto lo = ParseMs(range.substr(0, dash));
        auto hi = dash == std::string::npos ? std::nullopt : ParseMs(range.substr(dash + 1));
        if (!lo || !hi || *hi < *lo) Usage("--default spread:LO-HI needs 0 <= LO <= HI, got \"" + v + "\"");
        o.spread = {*lo, *hi};
        o.defaultConfig.reset();
      } else if (auto c = ParseBehaviour(v)) {
        o.defaultConfig = c;
        o.spread.reset();
      } else {
        Usage("unknown --default \"" + v + "\"");
      }
    } else if (arg == "--host") {
      auto [address, setting] = SplitAssignment(arg, value(arg));
      auto c = ParseBehaviour(setting);
      if (!c) Usage("unknown behaviour \"" + setting + "\" for " + address);
      o.hosts.emplace_back(address, *c);
    } else if (arg == "--name") {
      auto [name, list] = SplitAssignment(arg, value(arg));
      std::vector<std::string> addresses;
      size_t start = 0;
      for (;;) {
        size_t comma = list.find(',', start);
        addresses.push_back(list.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      o.names.emplace_back(name, addresses);
    } else if (arg == "--answer-every-name") {
      o.answerEveryName = true;
    } else if (arg == "--ping-group") {
      o.pingGroup = true;
    } else if (arg.rfind("-", 0) == 0) {
      Usage("unknown option \"" + arg + "\"");
    } else {
      break;
    }
  }
  for (; i < argc; ++i) o.command.push_back(argv[i]);
  if (o.command.empty()) Usage("no command to run");
  o.command.push_back(nullptr);
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = Parse(argc, argv);

  // First, while this process has one thread.
  std::string error = fakenet::EnterPrivateNamespace();
  if (!error.empty()) {
    std::fprintf(stderr, "fakenet-run: %s\n", error.c_str());
    return kSetupFailed;
  }
  // Blocked until the child runs, and for good in the fake network's threads (which inherit the mask),
  // so that a signal is forwarded to the child rather than lost.
  sigset_t forwarded, old;
  sigemptyset(&forwarded);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&forwarded, sig);
  pthread_sigmask(SIG_BLOCK, &forwarded, &old);
  fakenet::FakeNet net;
  if (!net.ok()) {
    std::fprintf(stderr, "fakenet-run: %s\n", net.error().c_str());
    return kSetupFailed;
  }
  try {
    if (options.defaultConfig) net.SetDefault(*options.defaultConfig);
    if (options.spread) net.SetDefaultSpread(options.spread->first, options.spread->second);
    for (const auto& [address, config] : options.hosts) net.SetHost(address, config);
    for (const auto& [name, addresses] : options.names) net.SetName(name, addresses);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "fakenet-run: %s\n", e.what());
    return kUsageError;
  }
  net.SetAnswerEveryName(options.answerEveryName);
  if (options.pingGroup && !fakenet::SetPingGroupRange(0, 2147483647)) {
    std::fprintf(stderr, "fakenet-run: cannot write net.ipv4.ping_group_range of the namespace\n");
    return kSetupFailed;
  }

  // The child gets the signals' default actions and an empty mask whatever ours are.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &forwarded);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  struct sigaction sa {};
  sa.sa_handler = Forward;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);

  pid_t child = 0;
  int rc = posix_spawnp(&child, options.command[0], nullptr, &attr, options.command.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    std::fprintf(stderr, "fakenet-run: cannot run %s: %s\n", options.command[0], std::strerror(rc));
    return rc == ENOENT ? 127 : 126;
  }
  g_child = child;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);

  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      std::fprintf(stderr, "fakenet-run: waitpid: %s\n", std::strerror(errno));
      return kSetupFailed;
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kSetupFailed;
}
