// The TCP connect time against loopback ports and a silent fake host, inside the test's own network
// namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "measure/tcpprobe.h"
#include "support/fakenet.h"

namespace {

uint32_t Address(const char* text) {
  in_addr address{};
  inet_aton(text, &address);
  return address.s_addr;
}

// A loopback port that listens while the object lives, or one that was just freed and is closed.
class LoopbackPort {
 public:
  explicit LoopbackPort(bool listening) : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(m_fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size);
    m_port = ntohs(address.sin_port);
    if (listening) {
      listen(m_fd, 16);
    } else {
      close(m_fd);
      m_fd = -1;
    }
  }
  ~LoopbackPort() {
    if (m_fd >= 0) {
      close(m_fd);
    }
  }
  uint16_t port() const { return m_port; }
  int fd() const { return m_fd; }

 private:
  int m_fd;
  uint16_t m_port = 0;
};

class TcpProbe : public testing::Test {
 protected:
  void SetUp() override {
    if (!fakenet::InPrivateNamespace()) {
      GTEST_SKIP() << "needs a private network namespace: " << fakenet::NamespaceError();
    }
  }
};

double SecondsOf(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(TcpProbe, ListeningPortAnswersAndIsLeftAtOnce) {
  LoopbackPort port(true);
  const auto us = TcpConnectUs(Address("127.0.0.1"), port.port(), 1000);
  ASSERT_TRUE(us);
  EXPECT_GE(*us, 0);
  EXPECT_LT(*us, 1'000'000);
  // The probe closed its end without sending: the accepted connection reads end of stream.
  const int accepted = accept(port.fd(), nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  char byte = 0;
  EXPECT_EQ(read(accepted, &byte, 1), 0);
  close(accepted);
}

TEST_F(TcpProbe, NoReadingWithoutAConnection) {
  fakenet::FakeNet net;  // TCP to the fake hosts' prefix goes unanswered
  ASSERT_TRUE(net.ok()) << net.error();
  LoopbackPort closed(false);
  struct Case {
    const char* name;
    uint32_t address;
    uint16_t port;
    int32_t timeoutMs;
    double atLeastSeconds;  // it may not give up before the time-out,
    double belowSeconds;    // nor hang past it
  };
  const Case cases[] = {
      {"closed port refuses at once", Address("127.0.0.1"), closed.port(), 1000, 0.0, 0.5},
      {"silent host: the time-out", Address("198.18.0.7"), 443, 300, 0.3, 2.0},
      {"no time-out, no attempt", Address("127.0.0.1"), closed.port(), 0, 0.0, 0.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<int64_t> us;
    const double seconds = SecondsOf([&] { us = TcpConnectUs(c.address, c.port, c.timeoutMs); });
    EXPECT_FALSE(us);
    EXPECT_GE(seconds, c.atLeastSeconds);
    EXPECT_LT(seconds, c.belowSeconds);
  }
}

}  // namespace
