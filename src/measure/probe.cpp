#include "measure/probe.h"

#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <span>
#include <string>
#include <utility>

#include "measure/icmp_packet.h"

namespace {

using icmp_packet::EchoRequest;
using icmp_packet::Verdict;

constexpr int64_t kNsPerMs = 1'000'000;

std::atomic<ProbeMode> g_mode{ProbeMode::Fresh};
std::mutex g_initGuard;
std::atomic<int> g_initialisations{0};

// Capabilities belong to each thread, so this changes the calling thread's alone.
void SetRawSocketRightEffective(bool effective) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, sets) != 0) {
    return;
  }
  __user_cap_data_struct& word = sets[CAP_TO_INDEX(CAP_NET_RAW)];
  const uint32_t bit = CAP_TO_MASK(CAP_NET_RAW);
  if (((word.effective & bit) != 0) == effective || (effective && (word.permitted & bit) == 0)) {
    return;
  }
  word.effective = effective ? word.effective | bit : word.effective & ~bit;
  syscall(SYS_capset, &header, sets);
}

// A binary given cap_net_raw+ep starts with the right effective, and so would every thread it starts.
// The probe reads packets that anyone may send; it holds the right only while it opens a raw socket.
// Dropped before main, while there is one thread, so that every later thread starts without it.
[[gnu::constructor]] void DropRawSocketRightAtStart() { SetRawSocketRightEffective(false); }

int OpenIcmpSocket(bool raw) {
  if (!raw) {
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  }
  SetRawSocketRightEffective(true);
  const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  const int error = errno;
  SetRawSocketRightEffective(false);
  errno = error;
  return fd;
}

// Anything but these means the kind may work a moment later (no descriptor or memory free right now),
// and must not shut the probe for the rest of the run.
bool IsRefusal(int error) {
  return error == EACCES || error == EPERM || error == EAFNOSUPPORT || error == EPROTONOSUPPORT ||
         error == ESOCKTNOSUPPORT || error == EINVAL;
}

// Fresh when neither kind could be tried for a passing reason, so that the next call decides.
ProbeMode DecideMode() {
  bool passing = false;
  constexpr std::pair<bool, ProbeMode> kinds[] = {{false, ProbeMode::Datagram}, {true, ProbeMode::Raw}};
  for (const auto& [raw, mode] : kinds) {
    const int fd = OpenIcmpSocket(raw);
    if (fd >= 0) {
      close(fd);
      return mode;
    }
    passing = passing || !IsRefusal(errno);
  }
  return passing ? ProbeMode::Fresh : ProbeMode::Unavailable;
}

ProbeMode ReadyMode() {
  ProbeMode mode = g_mode.load(std::memory_order_acquire);
  if (mode != ProbeMode::Fresh) {
    return mode;
  }
  std::lock_guard lock(g_initGuard);
  mode = g_mode.load(std::memory_order_relaxed);
  if (mode == ProbeMode::Fresh) {
    mode = DecideMode();
    g_initialisations.fetch_add(1, std::memory_order_relaxed);
    g_mode.store(mode, std::memory_order_release);
  }
  return mode;
}

// Raw sockets see every ICMP packet of the host, so the identifier tells our requests from those of
// other programs, and the sequence tells apart the calls of this process, also a late reply to a call
// that already gave up from the answer of the next one.
uint16_t ProcessIdentifier() {
  static const uint16_t identifier = [] {
    uint16_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
      value = static_cast<uint16_t>(getpid());
    }
    return value;
  }();
  return identifier;
}

uint16_t NextSequence() {
  static std::atomic<uint16_t> sequence{static_cast<uint16_t>(ProcessIdentifier() * 7919u)};
  return sequence.fetch_add(1, std::memory_order_relaxed);
}

int64_t ToNs(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

int64_t NowNs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return ToNs(t);
}

struct Socket {
  int fd = -1;
  explicit Socket(int descriptor) : fd(descriptor) {}
  ~Socket() {
    if (fd >= 0) {
      close(fd);
    }
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
};

struct SendTime {
  int64_t monotonicNs = 0;
  int64_t realNs = 0;  // the clock of the kernel's receive stamps
};

struct Outcome {
  bool done = false;
  std::optional<int64_t> roundTripNs;
};

// A receive into one buffer, with the sender's address and room for the kernel's control messages.
msghdr MessageInto(iovec& data, sockaddr_in& from, void* control, size_t controlBytes) {
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = controlBytes;
  return message;
}

// Reads the error queue; true when one of the errors answers our request.
bool ReadQueuedErrors(int fd, const EchoRequest& request) {
  for (int batch = 0; batch < 64; ++batch) {
    uint8_t quote[576];
    alignas(cmsghdr) uint8_t control[512];
    sockaddr_in from{};
    iovec io{quote, sizeof quote};
    msghdr message = MessageInto(io, from, control, sizeof control);
    const ssize_t length = recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (length < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR ||
          c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err))) {
        continue;
      }
      sock_extended_err error{};
      std::memcpy(&error, CMSG_DATA(c), sizeof error);
      const std::span<const uint8_t> quoted(quote, static_cast<size_t>(length));
      const Verdict verdict =
          icmp_packet::JudgeQueuedError(error.ee_origin, error.ee_type, quoted, from.sin_addr.s_addr, request);
      if (verdict == Verdict::Refusal) {
        return true;
      }
    }
  }
  // A pending socket error would otherwise keep poll() reporting POLLERR with nothing left to read.
  int pending = 0;
  socklen_t size = sizeof pending;
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size);
  return false;
}

// Reads what arrived, a bounded batch so that a flood of foreign packets cannot hold the wait past its
// deadline; done once our answer or an error about our request was among it.
Outcome ReadArrivals(int fd, bool raw, const EchoRequest& request, const SendTime& sent) {
  for (int batch = 0; batch < 64; ++batch) {
    uint8_t packet[1500];
    alignas(cmsghdr) uint8_t control[256];
    sockaddr_in from{};
    iovec io{packet, sizeof packet};
    msghdr message = MessageInto(io, from, control, sizeof control);
    const ssize_t length = recvmsg(fd, &message, MSG_DONTWAIT);
    const int64_t readNs = NowNs(CLOCK_MONOTONIC);
    if (length < 0) {
      if (errno == EINTR) {
        continue;
      }
      // EAGAIN, or a socket error that the error queue explains: the caller polls again.
      return {};
    }
    if ((message.msg_flags & MSG_TRUNC) != 0) {
      continue;
    }
    const std::span<const uint8_t> arrived(packet, static_cast<size_t>(length));
    const Verdict verdict = raw ? icmp_packet::JudgeRawPacket(arrived, request)
                                : icmp_packet::JudgeIcmp(arrived, from.sin_addr.s_addr, request);
    if (verdict == Verdict::Refusal) {
      return {true, std::nullopt};
    }
    if (verdict == Verdict::Foreign) {
      continue;
    }
    const int64_t elapsedNs = readNs - sent.monotonicNs;
    int64_t roundTripNs = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
          c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        roundTripNs = ToNs(stamp) - sent.realNs;
      }
    }
    // The wall clock may have been set while we waited; the stamp then says nothing.
    if (roundTripNs < 0 || roundTripNs > elapsedNs) {
      roundTripNs = elapsedNs;
    }
    return {true, roundTripNs};
  }
  return {};
}

std::optional<int64_t> Probe(bool raw, uint32_t address, int32_t timeoutMs) {
  const Socket socket_(OpenIcmpSocket(raw));
  const int fd = socket_.fd;
  if (fd < 0) {
    return std::nullopt;
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  if (setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on) != 0) {
    return std::nullopt;
  }
  if (raw) {
    icmp_filter filter{};
    filter.data = ~((1u << icmp_packet::kEchoReply) | (1u << icmp_packet::kDestinationUnreachable) |
                    (1u << icmp_packet::kTimeExceeded) | (1u << icmp_packet::kParameterProblem));
    setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
  }

  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = address;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) != 0) {
    return std::nullopt;
  }
  EchoRequest request;
  request.address = address;
  const uint16_t identifier = htons(ProcessIdentifier());
  const uint16_t sequence = htons(NextSequence());
  std::memcpy(request.identifier.data(), &identifier, 2);
  std::memcpy(request.sequence.data(), &sequence, 2);
  const std::array<uint8_t, icmp_packet::kIcmpHeaderBytes> echo = icmp_packet::EchoRequestBytes(request, raw);

  SendTime sent;
  sent.monotonicNs = NowNs(CLOCK_MONOTONIC);
  sent.realNs = NowNs(CLOCK_REALTIME);
  if (send(fd, echo.data(), echo.size(), 0) != static_cast<ssize_t>(echo.size())) {
    return std::nullopt;
  }
  if (!raw) {
    // A datagram socket writes its own identifier into the request: its port.
    sockaddr_in local{};
    socklen_t localSize = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0) {
      return std::nullopt;
    }
    std::memcpy(request.identifier.data(), &local.sin_port, 2);
  }

  const int64_t timeoutNs = static_cast<int64_t>(timeoutMs) * kNsPerMs;
  const int64_t deadlineNs = sent.monotonicNs + timeoutNs;
  for (;;) {
    const int64_t leftNs = deadlineNs - NowNs(CLOCK_MONOTONIC);
    if (leftNs <= 0) {
      return std::nullopt;
    }
    const timespec wait{static_cast<time_t>(leftNs / 1'000'000'000), static_cast<long>(leftNs % 1'000'000'000)};
    pollfd watch{fd, POLLIN, 0};
    const int ready = ppoll(&watch, 1, &wait, nullptr);
    if (ready < 0 && errno != EINTR) {
      return std::nullopt;
    }
    if (ready <= 0) {
      continue;
    }
    if ((watch.revents & POLLERR) != 0 && ReadQueuedErrors(fd, request)) {
      return std::nullopt;
    }
    if ((watch.revents & POLLIN) != 0) {
      const Outcome outcome = ReadArrivals(fd, raw, request, sent);
      if (outcome.done) {
        // The answer may sit in the queue a little past the deadline; its stamp says when it came.
        if (!outcome.roundTripNs || *outcome.roundTripNs > timeoutNs) {
          return std::nullopt;
        }
        return *outcome.roundTripNs / 1000;
      }
    }
    if ((watch.revents & POLLNVAL) != 0) {
      return std::nullopt;
    }
  }
}

}  // namespace

std::optional<uint32_t> ResolveHost(std::string_view host) {
  // A text cut short by a NUL would name some other host; an empty one names none.
  if (host.empty() || host.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string text(host);
  in_addr parsed{};
  if (inet_aton(text.c_str(), &parsed) != 0) {
    return parsed.s_addr;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;  // one entry per address, not one per socket type
  addrinfo* answer = nullptr;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &answer) != 0 || answer == nullptr) {
    return std::nullopt;
  }
  uint32_t address = 0;
  std::memcpy(&address, &reinterpret_cast<const sockaddr_in*>(answer->ai_addr)->sin_addr, sizeof address);
  freeaddrinfo(answer);
  return address;
}

std::optional<int64_t> EchoRoundTripUs(uint32_t address, int32_t timeoutMs) {
  const ProbeMode mode = ReadyMode();
  if ((mode != ProbeMode::Datagram && mode != ProbeMode::Raw) || timeoutMs <= 0) {
    return std::nullopt;
  }
  return Probe(mode == ProbeMode::Raw, address, timeoutMs);
}

int32_t PingHost(std::string_view host, std::optional<int32_t> timeoutMs) {
  const ProbeMode mode = ReadyMode();
  if (mode != ProbeMode::Datagram && mode != ProbeMode::Raw) {
    return -1;
  }
  const std::optional<uint32_t> address = ResolveHost(host);
  if (!address) {
    return -1;
  }
  const std::optional<int64_t> roundTripUs = EchoRoundTripUs(*address, timeoutMs.value_or(10000));
  return roundTripUs ? static_cast<int32_t>(*roundTripUs / 1000) : -1;
}

ProbeMode CurrentProbeMode() { return g_mode.load(std::memory_order_acquire); }

// The decision is all the state there is; every socket belongs to its call and is closed by it, so a
// probe still running keeps what it needs, and a call made after this still works.
void ReleaseProbeState() {}

namespace probe_testing {

void ResetProbeState() {
  std::lock_guard lock(g_initGuard);
  g_mode.store(ProbeMode::Fresh, std::memory_order_release);
  g_initialisations.store(0, std::memory_order_relaxed);
}

int InitialisationCount() { return g_initialisations.load(std::memory_order_relaxed); }

}  // namespace probe_testing
