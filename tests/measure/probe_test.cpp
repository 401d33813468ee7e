#include "measure/probe.h"
#include "support/fakenet.h"
#include "support/forked.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <latch>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using fakenet::Behaviour;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// For what the fake hosts or another thread make true at a moment we cannot know beforehand.
bool WaitUntil(const std::function<bool()>& condition) {
  const auto giveUp = Clock::now() + 5s;
  while (!condition()) {
    if (Clock::now() > giveUp) {
      return false;
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

uint32_t Address(const std::string& dotted) {
  in_addr parsed{};
  inet_aton(dotted.c_str(), &parsed);
  return parsed.s_addr;
}

struct Timed {
  int32_t result;
  int64_t elapsedMs;
};

Timed TimedPing(std::string_view host, std::optional<int32_t> timeoutMs) {
  const auto start = Clock::now();
  const int32_t result = PingHost(host, timeoutMs);
  return {result, MsSince(start)};
}

// Watches the ICMP packets that cross the fake hosts' device, with the kernel's stamps, and forges the
// errors that a router or a host could send about a request.
class Wire {
 public:
  Wire()
      : m_tap(socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL))),
        m_sender(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW)) {
    sockaddr_ll device{};
    device.sll_family = AF_PACKET;
    device.sll_protocol = htons(ETH_P_ALL);
    device.sll_ifindex = static_cast<int>(if_nametoindex("tzfake0"));
    const int on = 1;
    const int buffer = 1 << 22;
    m_ok = m_tap >= 0 && m_sender >= 0 && device.sll_ifindex != 0 &&
           setsockopt(m_tap, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0 &&
           setsockopt(m_tap, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) == 0 &&
           bind(m_tap, reinterpret_cast<const sockaddr*>(&device), sizeof device) == 0;
  }
  ~Wire() {
    close(m_tap);
    close(m_sender);
  }
  Wire(const Wire&) = delete;
  Wire& operator=(const Wire&) = delete;

  bool ok() const { return m_ok; }

  // The IP header and the first 8 ICMP bytes of the next echo request to `host`: what an error quotes.
  std::vector<uint8_t> NextRequestTo(uint32_t host) {
    const auto giveUp = Clock::now() + 5s;
    for (;;) {
      for (; m_handedOut < m_seen.size(); ++m_handedOut) {
        const Seen& seen = m_seen[m_handedOut];
        if (seen.type == 8 && seen.destination == host) {
          return m_seen[m_handedOut++].quote;
        }
      }
      if (Clock::now() > giveUp) {
        return {};
      }
      Read(100);
    }
  }

  // How long the nth request to `host` (from 0) waited on the device for its first reply.
  std::optional<int64_t> RoundTripUs(uint32_t host, int nth) {
    Read(0);
    for (size_t i = 0; i < m_seen.size(); ++i) {
      const Seen& request = m_seen[i];
      if (request.type != 8 || request.destination != host || nth-- > 0) {
        continue;
      }
      for (size_t j = i + 1; j < m_seen.size(); ++j) {
        const Seen& reply = m_seen[j];
        if (reply.type == 0 && reply.source == host && std::memcmp(reply.echo, request.echo, 4) == 0) {
          return (reply.stampNs - request.stampNs) / 1000;
        }
      }
      return std::nullopt;
    }
    return std::nullopt;
  }

  void SendError(uint32_t from, uint8_t type, uint8_t code, const std::vector<uint8_t>& quote) {
    std::vector<uint8_t> packet(20 + 8);
    packet[0] = 0x45;
    packet[8] = 64;
    packet[9] = IPPROTO_ICMP;
    const uint32_t to = Address("198.18.0.1");
    std::memcpy(&packet[12], &from, 4);
    std::memcpy(&packet[16], &to, 4);
    packet[20] = type;
    packet[21] = code;
    packet.insert(packet.end(), quote.begin(), quote.end());
    const uint16_t total = htons(static_cast<uint16_t>(packet.size()));
    std::memcpy(&packet[2], &total, 2);
    uint32_t sum = 0;
    for (size_t i = 20; i < packet.size(); i += 2) {
      sum += static_cast<uint32_t>(packet[i]) << 8 | (i + 1 < packet.size() ? packet[i + 1] : 0);
    }
    while (sum >> 16 != 0) {
      sum = (sum & 0xffff) + (sum >> 16);
    }
    packet[22] = static_cast<uint8_t>(~sum >> 8);
    packet[23] = static_cast<uint8_t>(~sum);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = to;
    sendto(m_sender, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
  }

 private:
  struct Seen {
    int64_t stampNs;
    uint8_t type;
    uint32_t source;
    uint32_t destination;
    uint8_t echo[4];  // identifier and sequence
    std::vector<uint8_t> quote;
  };

  // Takes in what the device passed, waiting up to waitMs for the first packet.
  void Read(int waitMs) {
    pollfd watch{m_tap, POLLIN, 0};
    if (poll(&watch, 1, waitMs) != 1) {
      return;
    }
    for (;;) {
      uint8_t packet[2048];
      alignas(cmsghdr) uint8_t control[256];
      iovec io{packet, sizeof packet};
      msghdr message{};
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      const ssize_t length = recvmsg(m_tap, &message, MSG_DONTWAIT);
      if (length < 0) {
        return;
      }
      if (length < 28 || packet[0] >> 4 != 4 || packet[9] != IPPROTO_ICMP) {
        continue;
      }
      const size_t header = static_cast<size_t>(packet[0] & 0x0f) * 4;
      if (static_cast<size_t>(length) < header + 8) {
        continue;
      }
      Seen seen{0, packet[header], 0, 0, {}, {packet, packet + header + 8}};
      std::memcpy(&seen.source, packet + 12, 4);
      std::memcpy(&seen.destination, packet + 16, 4);
      std::memcpy(seen.echo, packet + header + 4, 4);
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec stamp{};
          std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
          seen.stampNs = static_cast<int64_t>(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec;
        }
      }
      m_seen.push_back(std::move(seen));
    }
  }

  int m_tap;
  int m_sender;
  bool m_ok = false;
  std::vector<Seen> m_seen;
  size_t m_handedOut = 0;
};

// Fake hosts and a fresh probe that may use only the given socket kind. Root may always open a raw
// socket, so the ping group range alone chooses.
class FakeHosts : public ::testing::Test {
 protected:
  void SetUp() override { Start(ProbeMode::Datagram); }

  void Start(ProbeMode kind) {
    if (!fakenet::InPrivateNamespace()) {
      GTEST_SKIP() << "needs a private network namespace: " << fakenet::NamespaceError();
    }
    m_net = std::make_unique<fakenet::FakeNet>();
    ASSERT_TRUE(m_net->ok()) << m_net->error();
    m_wire = std::make_unique<Wire>();
    ASSERT_TRUE(m_wire->ok());
    ASSERT_TRUE(kind == ProbeMode::Datagram ? fakenet::SetPingGroupRange(0, 2147483647)
                                            : fakenet::SetPingGroupRange(1, 0));
    probe_testing::ResetProbeState();
  }

  fakenet::FakeNet& Net() { return *m_net; }
  Wire& Device() { return *m_wire; }

  // A correct reading of the nth exchange with `host` is its delay. When busy cores made the fake host
  // late, as its device shows, the reading may be as much later, plus the few microseconds between the
  // socket and the device.
  ::testing::AssertionResult ReadsUs(int64_t us, const std::string& host, int delayMs, int nth = 0) {
    const std::optional<int64_t> onDevice = Device().RoundTripUs(Address(host), nth);
    const int64_t lowest = int64_t{delayMs} * 1000;
    const int64_t highest = std::max(lowest, onDevice.value_or(lowest)) + 300;
    if (us >= lowest && us <= highest) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << host << " read " << us << " us, the device saw "
                                         << (onDevice ? std::to_string(*onDevice) + " us" : "no reply")
                                         << ", the delay is " << delayMs << " ms";
  }
  ::testing::AssertionResult ReadsMs(int32_t ms, const std::string& host, int delayMs, int nth = 0) {
    const std::optional<int64_t> onDevice = Device().RoundTripUs(Address(host), nth);
    const int64_t highestUs = std::max(int64_t{delayMs} * 1000, onDevice.value_or(0)) + 300;
    if (ms >= delayMs && ms <= highestUs / 1000) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << host << " read " << ms << " ms, the device saw "
                                         << (onDevice ? std::to_string(*onDevice) + " us" : "no reply")
                                         << ", the delay is " << delayMs << " ms";
  }

 private:
  std::unique_ptr<fakenet::FakeNet> m_net;
  std::unique_ptr<Wire> m_wire;
};

class EachKind : public FakeHosts, public ::testing::WithParamInterface<ProbeMode> {
 protected:
  void SetUp() override { Start(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Sockets, EachKind, ::testing::Values(ProbeMode::Datagram, ProbeMode::Raw),
                         [](const auto& info) { return info.param == ProbeMode::Datagram ? "Datagram" : "Raw"; });

TEST_P(EachKind, ReadsTheDelayOfTheHost) {
  for (const int delay : {0, 1, 5, 37, 120}) {
    const std::string host = "198.18.1." + std::to_string(delay);
    SCOPED_TRACE(host);
    Net().SetHost(host, {Behaviour::Reply, delay});
    EXPECT_TRUE(ReadsMs(PingHost(host, 1000), host, delay, 0));
    const std::optional<int64_t> us = EchoRoundTripUs(Address(host), 1000);
    ASSERT_TRUE(us.has_value());
    EXPECT_TRUE(ReadsUs(*us, host, delay, 1));
    EXPECT_EQ(Net().EchoRequestsTo(host), 2);
    EXPECT_EQ(Net().LastRequestPayloadBytes(host), 0);
  }
  EXPECT_EQ(CurrentProbeMode(), GetParam());
}

TEST_P(EachKind, WaitsOutTheTimeOutPastWhatIsNotItsAnswer) {
  struct Case {
    const char* name;
    Behaviour behaviour;
    int32_t timeoutMs;
  };
  const Case cases[] = {
      {"silent host", Behaviour::Silent, 1000},
      {"reply with another identifier", Behaviour::WrongId, 300},
      {"reply with another sequence number", Behaviour::WrongSeq, 300},
      {"reply from another address", Behaviour::WrongSource, 300},
      {"reply with a broken checksum", Behaviour::BadChecksum, 300},
      {"reply cut below an ICMP header", Behaviour::Truncated, 300},
      {"packet with a broken IP header", Behaviour::Malformed, 300},
  };
  int last = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string host = "198.18.3." + std::to_string(++last);
    Net().SetHost(host, {c.behaviour, 10});
    const Timed ping = TimedPing(host, c.timeoutMs);
    EXPECT_EQ(ping.result, -1);
    EXPECT_GE(ping.elapsedMs, c.timeoutMs);
    EXPECT_LT(ping.elapsedMs, c.timeoutMs + 1000);
    EXPECT_EQ(Net().EchoRequestsTo(host), 1);
  }
}

TEST_P(EachKind, AnErrorAboutTheRequestEndsTheWaitAtOnce) {
  const std::pair<const char*, Behaviour> cases[] = {
      {"198.18.6.1", Behaviour::Unreachable},
      {"198.18.6.2", Behaviour::TimeExceeded},
  };
  for (const auto& [host, behaviour] : cases) {
    SCOPED_TRACE(host);
    Net().SetHost(host, {behaviour, 20});
    const Timed ping = TimedPing(host, 5000);
    EXPECT_EQ(ping.result, -1);
    EXPECT_LT(ping.elapsedMs, 2000);
  }
}

TEST_P(EachKind, OnlyAnErrorQuotingThisVeryRequestEndsTheWait) {
  enum class Sender { Router, Host };
  struct Case {
    const char* name;
    Sender sender;
    uint8_t type;
    int changedByte;  // of the quoted echo header, -1 for none
    bool refused;
  };
  const Case cases[] = {
      {"unreachable from a router", Sender::Router, 3, -1, true},
      {"unreachable from the host itself", Sender::Host, 3, -1, true},
      {"parameter problem", Sender::Router, 12, -1, true},
      {"about another identifier", Sender::Router, 3, 5, false},
      {"about another sequence number", Sender::Router, 3, 7, false},
      {"from the host, about another sequence number", Sender::Host, 3, 7, false},
  };
  int last = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string host = "198.18.7." + std::to_string(++last);
    Net().SetHost(host, {Behaviour::Reply, 300});
    const auto start = Clock::now();
    auto ping = std::async(std::launch::async, [&] { return PingHost(host, 2000); });
    std::vector<uint8_t> quote = Device().NextRequestTo(Address(host));
    ASSERT_FALSE(quote.empty());
    if (c.changedByte >= 0) {
      quote[quote.size() - 8 + static_cast<size_t>(c.changedByte)] ^= 0x01;
    }
    const uint32_t from = c.sender == Sender::Router ? Address(fakenet::RouterAddress) : Address(host);
    Device().SendError(from, c.type, 1, quote);
    const int32_t result = ping.get();
    if (c.refused) {
      EXPECT_EQ(result, -1);
      EXPECT_LT(MsSince(start), 300);
    } else {
      EXPECT_TRUE(ReadsMs(result, host, 300));
    }
  }
}

TEST_P(EachKind, ASecondCopyOfAReplyIsNotTheNextAnswer) {
  const std::string host = "198.18.8.1";
  Net().SetHost(host, {Behaviour::Duplicate, 80});
  EXPECT_TRUE(ReadsMs(PingHost(host, 1000), host, 80));
  // The copy comes 80 ms into the next call, which must see it as foreign.
  Net().SetHost(host, {Behaviour::Silent, 0});
  EXPECT_EQ(PingHost(host, 400), -1);
  EXPECT_EQ(Net().EchoRequestsTo(host), 2);
}

TEST_P(EachKind, AReplyAfterTheTimeOutIsNeitherCountedNorTakenLater) {
  const std::string host = "198.18.8.2";
  Net().SetHost(host, {Behaviour::Reply, 300});
  const Timed late = TimedPing(host, 100);
  EXPECT_EQ(late.result, -1);
  EXPECT_LT(late.elapsedMs, 300);
  // The late reply arrives some 200 ms into this call, long before its own.
  Net().SetHost(host, {Behaviour::Reply, 450});
  EXPECT_TRUE(ReadsMs(PingHost(host, 1000), host, 450, 1));
}

TEST_P(EachKind, CallsToOneHostEachReadTheirOwnReply) {
  const std::string host = "198.18.8.3";
  Net().SetHost(host, {Behaviour::Reply, 250});
  auto first = std::async(std::launch::async, [&] { return PingHost(host, 1000); });
  ASSERT_TRUE(WaitUntil([&] { return Net().EchoRequestsTo(host) == 1; }));
  auto second = std::async(std::launch::async, [&] { return PingHost(host, 1000); });
  ASSERT_TRUE(WaitUntil([&] { return Net().EchoRequestsTo(host) == 2; }));
  EXPECT_TRUE(ReadsMs(first.get(), host, 250, 0));
  EXPECT_TRUE(ReadsMs(second.get(), host, 250, 1));
}

TEST_P(EachKind, ThirtyCallsAtOnceDecideOnceAndEachReadItsOwnHost) {
  constexpr int kCalls = 30;
  std::vector<std::string> hosts;
  std::vector<int32_t> expected;
  for (int i = 0; i < kCalls; ++i) {
    hosts.push_back("198.18.4." + std::to_string(i + 1));
    const bool refused = i % 6 == 5;
    Net().SetHost(hosts.back(), {refused ? Behaviour::Unreachable : Behaviour::Reply, 4 * i});
    expected.push_back(refused ? -1 : 4 * i);
  }
  std::vector<int32_t> results(kCalls, -2);
  std::latch ready(kCalls);
  std::vector<std::thread> callers;
  for (int i = 0; i < kCalls; ++i) {
    callers.emplace_back([&, i] {
      ready.arrive_and_wait();
      results[static_cast<size_t>(i)] = PingHost(hosts[static_cast<size_t>(i)], 1000);
    });
  }
  for (std::thread& caller : callers) {
    caller.join();
  }
  for (int i = 0; i < kCalls; ++i) {
    const auto at = static_cast<size_t>(i);
    if (expected[at] == -1) {
      EXPECT_EQ(results[at], -1) << hosts[at];
    } else {
      EXPECT_TRUE(ReadsMs(results[at], hosts[at], expected[at]));
    }
  }
  EXPECT_EQ(probe_testing::InitialisationCount(), 1);
  EXPECT_EQ(CurrentProbeMode(), GetParam());
}

TEST_F(FakeHosts, WithoutATimeOutASilentHostIsGivenTenSeconds) {
  Net().SetHost("198.18.9.1", {Behaviour::Silent, 0});
  const Timed ping = TimedPing("198.18.9.1", std::nullopt);
  EXPECT_EQ(ping.result, -1);
  EXPECT_GE(ping.elapsedMs, 10000);
  EXPECT_LT(ping.elapsedMs, 11500);
}

TEST_F(FakeHosts, ANameIsResolvedAndOnlyItsFirstAddressProbed) {
  // getaddrinfo sorts the answer (RFC 6724); these two rank alike, so the order of the answer stands.
  Net().SetName("two.tezmaro.test", {"198.18.5.3", "198.18.5.2"});
  Net().SetHost("198.18.5.3", {Behaviour::Reply, 7});
  Net().SetHost("198.18.5.2", {Behaviour::Reply, 9});
  EXPECT_TRUE(ReadsMs(PingHost("two.tezmaro.test", 1000), "198.18.5.3", 7));
  EXPECT_EQ(Net().EchoRequestsTo("198.18.5.3"), 1);
  EXPECT_EQ(Net().EchoRequestsTo("198.18.5.2"), 0);
  EXPECT_GE(Net().DnsQueriesFor("two.tezmaro.test"), 1);
}

TEST_F(FakeHosts, ATextThatNamesNoHostSendsNothing) {
  Net().SetHost("198.18.5.9", {Behaviour::Reply, 0});
  const std::pair<const char*, std::string_view> cases[] = {
      {"unknown name", "nowhere.tezmaro.test"},
      {"empty text", ""},
      {"address followed by a NUL", std::string_view("198.18.5.9\0.evil", 16)},
  };
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    const Timed ping = TimedPing(text, std::nullopt);
    EXPECT_EQ(ping.result, -1);
    EXPECT_LT(ping.elapsedMs, 5000);
  }
  EXPECT_EQ(Net().TotalEchoRequests(), 0);
}

TEST_F(FakeHosts, AddressFormsAreNeverLookedUp) {
  // Were a form sent to the resolver, it would come back as some other address and be counted.
  Net().SetAnswerEveryName(true);
  const char* const forms[] = {"198.18.0.5", "198.18.5", "0xc6.0x12.0.5", "0306.022.0.05", "3323068421"};
  for (const char* form : forms) {
    SCOPED_TRACE(form);
    EXPECT_EQ(ResolveHost(form), Address("198.18.0.5"));
    EXPECT_EQ(Net().DnsQueriesFor(form), 0);
  }
  Net().SetHost("198.18.0.5", {Behaviour::Reply, 3});
  EXPECT_TRUE(ReadsMs(PingHost("198.18.5", 1000), "198.18.0.5", 3));
  EXPECT_EQ(Net().DnsQueriesFor("198.18.5"), 0);
}

TEST_F(FakeHosts, ThirtyNamesResolvedAtOnceEachGetTheirOwnAddress) {
  constexpr int kNames = 30;
  for (int i = 0; i < kNames; ++i) {
    Net().SetName("host" + std::to_string(i) + ".tezmaro.test", {"198.18.2." + std::to_string(i + 1)});
  }
  std::vector<std::optional<uint32_t>> results(kNames);
  std::latch ready(kNames);
  std::vector<std::thread> callers;
  for (int i = 0; i < kNames; ++i) {
    callers.emplace_back([&, i] {
      ready.arrive_and_wait();
      results[static_cast<size_t>(i)] = ResolveHost("host" + std::to_string(i) + ".tezmaro.test");
    });
  }
  for (std::thread& caller : callers) {
    caller.join();
  }
  for (int i = 0; i < kNames; ++i) {
    EXPECT_EQ(results[static_cast<size_t>(i)], Address("198.18.2." + std::to_string(i + 1))) << i;
  }
}

TEST_F(FakeHosts, AProbeInFlightOutlivesTheRelease) {
  Net().SetHost("198.18.9.2", {Behaviour::Reply, 200});
  auto ping = std::async(std::launch::async, [] { return PingHost("198.18.9.2", 1000); });
  ASSERT_TRUE(WaitUntil([&] { return Net().EchoRequestsTo("198.18.9.2") == 1; }));
  ReleaseProbeState();
  EXPECT_TRUE(ReadsMs(ping.get(), "198.18.9.2", 200, 0));
  EXPECT_TRUE(ReadsMs(PingHost("198.18.9.2", 1000), "198.18.9.2", 200, 1));
}

using fakenet::FailuresInChild;

bool DropRawSocketRight() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0) {
    return false;
  }
  data[CAP_TO_INDEX(CAP_NET_RAW)].effective &= ~CAP_TO_MASK(CAP_NET_RAW);
  data[CAP_TO_INDEX(CAP_NET_RAW)].permitted &= ~CAP_TO_MASK(CAP_NET_RAW);
  return syscall(SYS_capset, &header, data) == 0;
}

TEST_F(FakeHosts, WithNeitherSocketKindAllowedEveryCallFailsAtOnce) {
  Net().SetHost("198.18.9.3", {Behaviour::Reply, 500});
  Net().SetName("allowed.tezmaro.test", {"198.18.9.3"});
  const std::string failures = FailuresInChild([] {
    std::string failed;
    if (!fakenet::SetPingGroupRange(1, 0) || !DropRawSocketRight()) {
      return std::string("could not take the rights away\n");
    }
    probe_testing::ResetProbeState();
    for (const char* host : {"198.18.9.3", "allowed.tezmaro.test", "198.18.9.3"}) {
      const Timed ping = TimedPing(host, 1000);
      if (ping.result != -1 || ping.elapsedMs >= 250) {
        failed += std::string(host) + " gave " + std::to_string(ping.result) + " after " +
                  std::to_string(ping.elapsedMs) + " ms\n";
      }
    }
    if (EchoRoundTripUs(Address("198.18.9.3"), 1000)) {
      failed += "EchoRoundTripUs measured\n";
    }
    if (CurrentProbeMode() != ProbeMode::Unavailable || probe_testing::InitialisationCount() != 1) {
      failed += "not decided once as unavailable\n";
    }
    return failed;
  });
  EXPECT_EQ(failures, "");
  EXPECT_EQ(Net().TotalEchoRequests(), 0);
  EXPECT_EQ(Net().DnsQueriesFor("allowed.tezmaro.test"), 0);
}

TEST_F(FakeHosts, RunningOutOfDescriptorsDoesNotShutTheProbeForGood) {
  Net().SetHost("198.18.9.4", {Behaviour::Reply, 5});
  const std::string failures = FailuresInChild([] {
    std::string failed;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> held;
    for (int fd = 0; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
      held.push_back(fd);
    }
    probe_testing::ResetProbeState();
    if (PingHost("198.18.9.4", 1000) != -1 || CurrentProbeMode() != ProbeMode::Fresh) {
      failed += "a call without descriptors decided for good\n";
    }
    for (const int fd : held) {
      close(fd);
    }
    const int32_t later = PingHost("198.18.9.4", 1000);
    if (later < 5 || CurrentProbeMode() != ProbeMode::Datagram) {
      failed += "the next call gave " + std::to_string(later) + "\n";
    }
    return failed;
  });
  EXPECT_EQ(failures, "");
}

}  // namespace
