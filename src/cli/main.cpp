// tezmaro-cli: the catalogue and the probe from a terminal.
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <iostream>
#include <thread>

#include "cli/session.h"
#include "measure/probe.h"
#include "measure/tcpprobe.h"

namespace {

std::string ProgramPath(const char* argv0) {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string(argv0);
}

}  // namespace

int main(int argc, char** argv) {
  // Blocked before any thread starts, so that only the watcher below takes these signals.
  sigset_t stopping;
  sigemptyset(&stopping);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&stopping, sig);
  }
  pthread_sigmask(SIG_BLOCK, &stopping, nullptr);

  static StopSignal stop;
  // The first signal ends the run after the round in flight and still prints what was measured;
  // a second one ends the process at once.
  std::thread([stopping] {
    int sig = 0;
    sigwait(&stopping, &sig);
    stop.Raise();
    sigwait(&stopping, &sig);
    _exit(128 + sig);
  }).detach();

  std::ios::sync_with_stdio(false);
  CliContext context;
  context.in = &std::cin;
  context.out = &std::cout;
  context.err = &std::cerr;
  context.outIsTerminal = isatty(STDOUT_FILENO) == 1;
  context.errIsTerminal = isatty(STDERR_FILENO) == 1;
  context.resolve = [](std::string_view host) { return ResolveHost(host); };
  context.probe = [](uint32_t address, const CliOptions& options) {
    return options.method == Method::Tcp ? TcpConnectUs(address, options.port, options.timeoutMs)
                                         : EchoRoundTripUs(address, options.timeoutMs);
  };
  context.icmpRefused = [] { return CurrentProbeMode() == ProbeMode::Unavailable; };
  context.stop = &stop;
  context.programPath = ProgramPath(argv[0]);

  const int status = RunCli(std::vector<std::string>(argv + 1, argv + argc), context);
  std::cout.flush();
  // Probe threads are all joined by now, but the watcher still waits on its signal.
  std::_Exit(status);
}
