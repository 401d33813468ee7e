#include "measure/tcpprobe.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

int64_t MonotonicNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

std::optional<int64_t> TcpConnectUs(uint32_t address, uint16_t port, int32_t timeoutMs) {
  if (timeoutMs <= 0) {
    return std::nullopt;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return std::nullopt;
  }
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(port);
  destination.sin_addr.s_addr = address;

  std::optional<int64_t> result;
  const int64_t startNs = MonotonicNs();
  const int64_t deadlineNs = startNs + static_cast<int64_t>(timeoutMs) * 1'000'000;
  int rc = connect(fd, reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  if (rc == 0) {
    // Loopback may complete the handshake inside the call.
    result = (MonotonicNs() - startNs) / 1000;
  } else if (errno == EINPROGRESS) {
    for (;;) {
      const int64_t leftNs = deadlineNs - MonotonicNs();
      if (leftNs <= 0) {
        break;
      }
      const timespec wait{static_cast<time_t>(leftNs / 1'000'000'000), static_cast<long>(leftNs % 1'000'000'000)};
      pollfd watch{fd, POLLOUT, 0};
      const int ready = ppoll(&watch, 1, &wait, nullptr);
      if (ready < 0 && errno != EINTR) {
        break;
      }
      if (ready <= 0) {
        continue;
      }
      const int64_t doneNs = MonotonicNs();
      int error = 0;
      socklen_t size = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
        result = (doneNs - startNs) / 1000;
      }
      break;
    }
  }
  close(fd);
  return result;
}
