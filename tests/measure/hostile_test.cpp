// The probe where the network lies to it and where the process has no more rights than it needs. Sends
// real echo requests: only inside the private namespace that its main makes first.
#include "measure/probe.h"
#include "support/fakenet.h"
#include "support/forked.h"

#include <grp.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using fakenet::Behaviour;

struct Rights {
  bool effective;
  bool permitted;
};

// Of the calling thread: capabilities belong to each thread.
Rights RawSocketRight() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3]{};
  syscall(SYS_capget, &header, sets);
  const __user_cap_data_struct& word = sets[CAP_TO_INDEX(CAP_NET_RAW)];
  return {(word.effective & CAP_TO_MASK(CAP_NET_RAW)) != 0, (word.permitted & CAP_TO_MASK(CAP_NET_RAW)) != 0};
}

class FakeHosts : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fakenet::InPrivateNamespace()) {
      GTEST_SKIP() << "needs a private network namespace: " << fakenet::NamespaceError();
    }
    m_net = std::make_unique<fakenet::FakeNet>();
    ASSERT_TRUE(m_net->ok()) << m_net->error();
  }

  // Root may always open a raw socket, so the ping group range alone chooses the kind.
  void AllowOnly(ProbeMode kind) {
    ASSERT_TRUE(kind == ProbeMode::Datagram ? fakenet::SetPingGroupRange(0, 2147483647)
                                            : fakenet::SetPingGroupRange(1, 0));
    probe_testing::ResetProbeState();
  }

  fakenet::FakeNet& Net() { return *m_net; }

  // A correct reading of the nth reply of `host` is its delay; when busy cores made the fake host
  // late, the reading may be as much later, plus the few microseconds between device and socket.
  ::testing::AssertionResult ReadsMs(int32_t ms, const std::string& host, int delayMs, size_t nth) {
    const std::vector<int64_t> written = Net().ReplyTimesUs(host);
    const int64_t onDevice = nth < written.size() ? written[nth] : 0;
    const int64_t highestUs = std::max(int64_t{delayMs} * 1000, onDevice) + 300;
    if (ms >= delayMs && ms <= highestUs / 1000) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << host << " read " << ms << " ms, the reply went out after "
                                         << onDevice << " us, the delay is " << delayMs << " ms";
  }

 private:
  std::unique_ptr<fakenet::FakeNet> m_net;
};

class HostileNetwork : public FakeHosts, public ::testing::WithParamInterface<ProbeMode> {};

INSTANTIATE_TEST_SUITE_P(Sockets, HostileNetwork, ::testing::Values(ProbeMode::Datagram, ProbeMode::Raw),
                         [](const auto& info) {
                           return info.param == ProbeMode::Datagram ? "Datagram" : "Raw";
                         });

TEST_P(HostileNetwork, EveryProbeReadsItsOwnHostThroughTheFlood) {
  AllowOnly(GetParam());
  Net().SetFlood(true);
  constexpr int kProbes = 30;
  struct Host {
    std::string address;
    Behaviour behaviour;
    int delayMs;
  };
  std::vector<Host> hosts;
  for (int i = 0; i < kProbes; ++i) {
    const Behaviour behaviour = i % 10 == 9   ? Behaviour::Silent
                                : i % 10 == 4 ? Behaviour::Unreachable
                                              : Behaviour::Reply;
    hosts.push_back({"198.18.10." + std::to_string(i + 1), behaviour, 1 + 7 * i});
    Net().SetHost(hosts.back().address, {behaviour, hosts.back().delayMs});
  }
  // The second round meets the last waves forged about the first.
  for (size_t round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round + 1));
    std::vector<int32_t> results(kProbes, -2);
    std::latch ready(kProbes);
    std::vector<std::thread> callers;
    for (size_t i = 0; i < kProbes; ++i) {
      callers.emplace_back([&, i] {
        ready.arrive_and_wait();
        results[i] = PingHost(hosts[i].address, 1000);
      });
    }
    for (std::thread& caller : callers) {
      caller.join();
    }
    for (size_t i = 0; i < kProbes; ++i) {
      if (hosts[i].behaviour == Behaviour::Reply) {
        EXPECT_TRUE(ReadsMs(results[i], hosts[i].address, hosts[i].delayMs, round));
      } else {
        EXPECT_EQ(results[i], -1) << hosts[i].address;
      }
    }
  }
  // Thirteen kinds of forgery in at least two waves before each answer: else the test proved nothing.
  RecordProperty("forged_packets", Net().FloodPacketsSent());
  EXPECT_GE(Net().FloodPacketsSent(), kProbes * 2 * 2 * 12);
  EXPECT_EQ(CurrentProbeMode(), GetParam());
}

using fakenet::FailuresInChild;

using LeastPrivilege = FakeHosts;

TEST_F(LeastPrivilege, ARawProbeLeavesTheRightPermittedButNotEffective) {
  AllowOnly(ProbeMode::Raw);
  Net().SetHost("198.18.11.1", {Behaviour::Reply, 5});
  for (size_t call = 0; call < 2; ++call) {
    SCOPED_TRACE("call " + std::to_string(call + 1));
    EXPECT_TRUE(ReadsMs(PingHost("198.18.11.1", 1000), "198.18.11.1", 5, call));
    const Rights after = RawSocketRight();
    EXPECT_FALSE(after.effective);
    EXPECT_TRUE(after.permitted);
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(errno, EPERM);
    if (fd >= 0) {
      close(fd);
    }
  }
  EXPECT_EQ(CurrentProbeMode(), ProbeMode::Raw);
}

TEST_F(LeastPrivilege, AnUnprivilegedUserProbesThroughTheDatagramSocket) {
  AllowOnly(ProbeMode::Datagram);
  Net().SetHost("198.18.11.2", {Behaviour::Reply, 8});
  int32_t reading = -2;
  int channel[2];
  ASSERT_EQ(pipe(channel), 0);
  const std::string failures = FailuresInChild([&] {
    constexpr uid_t kNobody = 65534;
    // Changing the user from root clears every capability set.
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      return std::string("could not become nobody\n");
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, sets) != 0 || sets[0].permitted != 0 || sets[1].permitted != 0) {
      return std::string("capabilities left\n");
    }
    probe_testing::ResetProbeState();
    const int32_t ms = PingHost("198.18.11.2", 1000);
    const ssize_t written = write(channel[1], &ms, sizeof ms);
    if (written != static_cast<ssize_t>(sizeof ms)) {
      return std::string("no result\n");
    }
    return CurrentProbeMode() == ProbeMode::Datagram ? std::string() : std::string("not datagram\n");
  });
  close(channel[1]);
  EXPECT_EQ(read(channel[0], &reading, sizeof reading), static_cast<ssize_t>(sizeof reading));
  close(channel[0]);
  EXPECT_EQ(failures, "");
  EXPECT_TRUE(ReadsMs(reading, "198.18.11.2", 8, 0));
}

// A program that is given cap_net_raw+ep starts with it effective; the probe drops it before main.
// Only a process started afresh shows that, which this style of death test gives.
TEST(LeastPrivilegeDeathTest, AProgramStartsWithTheRightDropped) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const Rights start = RawSocketRight();
        std::_Exit(!start.effective && start.permitted ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
