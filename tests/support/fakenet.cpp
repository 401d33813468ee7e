#include "support/fakenet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <linux/netlink.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <queue>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unordered_map>

namespace fakenet {
namespace {

constexpr const char* kDevice = "tzfake0";
constexpr const char* kDeviceAddress = "198.18.0.1";
constexpr const char* kPrefixMask = "255.254.0.0";
// WrongSource replies come from here, or from the fallback when the request was for this address.
constexpr const char* kStrangerAddress = "198.18.0.253";
constexpr const char* kStrangerFallback = "198.18.0.252";

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Closes a descriptor when the set-up bails out half way.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }
  void Reset(int f = -1) {
    if (fd >= 0) close(fd);
    fd = f;
  }
};

uint32_t ParseAddress(const std::string& text) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) throw std::invalid_argument("fakenet: not a dotted IPv4 address: \"" + text + "\"");
  return a.s_addr;
}

uint32_t Fnv1a(const void* data, size_t n) {
  auto p = static_cast<const unsigned char*>(data);
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 16777619u;
  }
  return h;
}

std::string LowerName(std::string name) {
  while (!name.empty() && name.back() == '.') name.pop_back();
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

int SpreadDelay(uint32_t address, int loMs, int hiMs) {
  return loMs + int(Fnv1a(&address, 4) % uint32_t(hiMs - loMs + 1));
}

int64_t ClockNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t NowNs() { return ClockNs(CLOCK_MONOTONIC); }

std::mutex g_nsMutex;
bool g_nsTried = false;
std::string g_nsError = "EnterPrivateNamespace() has not been called";
ino_t g_nsInode = 0;

ino_t ThreadNetNamespace() {
  struct stat st{};
  if (stat("/proc/thread-self/ns/net", &st) != 0) return 0;
  return st.st_ino;
}

// Our own copies of system files live on a tmpfs of this mount namespace only: nothing is written to
// the machine's disk, and unlike an unlinked file, a copy can be mounted over again by a nested
// namespace (fakenet-run started from a test).
class Staging {
 public:
  ~Staging() {
    if (m_mounted) umount2(m_dir.c_str(), MNT_DETACH);  // the bind mounts made from it stay
    if (!m_dir.empty()) rmdir(m_dir.c_str());
  }

  std::string BindCopy(const std::string& contents, const char* target) {
    if (m_dir.empty()) {
      std::string err = Make();
      if (!err.empty()) return err;
    }
    std::string path = m_dir + "/" + std::to_string(m_files++);
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd.fd < 0 || write(fd.fd, contents.data(), contents.size()) != ssize_t(contents.size()))
      return Errno("cannot write " + path);
    if (mount(path.c_str(), target, nullptr, MS_BIND, nullptr) != 0)
      return Errno(std::string("cannot bind-mount over ") + target);
    return "";
  }

 private:
  std::string Make() {
    std::string lastError;
    for (const char* base : {static_cast<const char*>(getenv("TMPDIR")), "/tmp", "/dev/shm"}) {
      if (!base || !*base) continue;
      std::string dir = std::string(base) + "/tzfakenet.XXXXXX";
      if (!mkdtemp(dir.data())) {
        lastError = Errno("cannot make a directory in " + std::string(base));
        continue;
      }
      m_dir = dir;
      if (mount("tzfakenet", m_dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "size=64k,mode=0755") != 0)
        return Errno("cannot mount a tmpfs on " + m_dir);
      m_mounted = true;
      return "";
    }
    return lastError;
  }

  std::string m_dir;
  bool m_mounted = false;
  int m_files = 0;
};

std::string SetInterfaceUp(int sock, const char* name) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
  if (ioctl(sock, SIOCGIFFLAGS, &ifr) != 0) return Errno(std::string("SIOCGIFFLAGS ") + name);
  ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
  if (ioctl(sock, SIOCSIFFLAGS, &ifr) != 0) return Errno(std::string("SIOCSIFFLAGS ") + name);
  return "";
}

// Lookups must not escape through a resolver that lives outside the network namespace: an nsswitch
// "resolve" or "mdns" module talks to a daemon over a Unix socket, and so does nscd.
std::string ConfineHostLookups(Staging& staging) {
  std::ifstream in("/etc/nsswitch.conf");
  if (in) {
    std::string line, out;
    bool changed = false;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::string key, word;
      words >> key;
      if (key == "hosts:") {
        while (words >> word) {
          if (word != "files" && word != "dns") changed = true;
        }
        if (changed) line = "hosts: files dns";
      }
      out += line + "\n";
    }
    if (changed) {
      std::string err = staging.BindCopy(out, "/etc/nsswitch.conf");
      if (!err.empty()) return err;
    }
  }
  for (const char* socketPath : {"/run/nscd/socket", "/var/run/nscd/socket"}) {
    struct stat st{};
    if (lstat(socketPath, &st) == 0 && S_ISSOCK(st.st_mode)) {
      if (mount("/dev/null", socketPath, nullptr, MS_BIND, nullptr) != 0)
        return Errno(std::string("cannot hide ") + socketPath);
    }
  }
  return "";
}

std::string SetUpNamespace() {
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    return Errno("cannot make a private network namespace (unshare CLONE_NEWNET|CLONE_NEWNS)") +
           "; it needs root (CAP_SYS_ADMIN) and a process that has only one thread";
  }
  // Without this our bind mounts would propagate back into the machine's own mount namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return Errno("cannot make mounts private");

  // A machine without /etc/resolv.conf already asks 127.0.0.1, which is ours now.
  Staging staging;
  std::string err;
  struct stat st{};
  if (stat("/etc/resolv.conf", &st) == 0) {
    err = staging.BindCopy("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n", "/etc/resolv.conf");
    if (!err.empty()) return err;
  }
  err = ConfineHostLookups(staging);
  if (!err.empty()) return err;

  Fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (sock.fd < 0) return Errno("socket");
  err = SetInterfaceUp(sock.fd, "lo");
  if (!err.empty()) return err;
  g_nsInode = ThreadNetNamespace();
  return "";
}

// True when the calling thread really is in the namespace made earlier: a thread started before
// EnterPrivateNamespace stays in the machine's namespace, and nothing of ours may touch that one.
bool CallerInPrivateNamespace() {
  std::lock_guard lock(g_nsMutex);
  if (!g_nsTried || !g_nsError.empty()) return false;
  return g_nsInode == 0 || ThreadNetNamespace() == g_nsInode;
}

// The probe keeps CAP_NET_RAW out of the effective set of every thread but while it opens a raw
// socket. The tap below and the raw senders of tests need it: from the permitted set, when there.
void RaiseRawSocketRight() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, sets) != 0) return;
  __user_cap_data_struct& word = sets[CAP_TO_INDEX(CAP_NET_RAW)];
  if ((word.permitted & CAP_TO_MASK(CAP_NET_RAW)) == 0) return;
  word.effective |= CAP_TO_MASK(CAP_NET_RAW);
  syscall(SYS_capset, &header, sets);
}

uint16_t Checksum(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += uint32_t(p[i]) << 8 | p[i + 1];
  if (n & 1) sum += uint32_t(p[n - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return uint16_t(~sum);
}

void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

using Packet = std::vector<uint8_t>;

// An IPv4 packet of a 20-byte header and the given ICMP message, checksums filled in.
Packet MakeIcmpPacket(uint32_t src, uint32_t dst, uint16_t ipId, const uint8_t* icmp, size_t icmpLen) {
  Packet p(20 + icmpLen);
  p[0] = 0x45;
  Put16(&p[2], uint16_t(p.size()));
  Put16(&p[4], ipId);
  p[8] = 64;
  p[9] = IPPROTO_ICMP;
  std::memcpy(&p[12], &src, 4);
  std::memcpy(&p[16], &dst, 4);
  std::memcpy(&p[20], icmp, icmpLen);
  Put16(&p[22], 0);
  if (icmpLen >= 4) Put16(&p[22], Checksum(&p[20], icmpLen));
  Put16(&p[10], Checksum(p.data(), 20));
  return p;
}

// Names one echo request as both the device reader and the packet socket see it.
struct EchoKey {
  uint64_t ids;    // IP identification, ICMP checksum, identifier and sequence
  uint64_t hosts;  // source and destination
  bool operator==(const EchoKey&) const = default;
};

struct EchoKeyHash {
  size_t operator()(const EchoKey& k) const { return std::hash<uint64_t>()(k.ids * 31 + k.hosts); }
};

// The parts of an IPv4 echo request the responder needs, or nothing for any other packet.
struct EchoRequest {
  size_t ihl, icmpLen;
  uint32_t src, dst;
  EchoKey key;
};

std::optional<EchoRequest> ParseEchoRequest(const uint8_t* pkt, size_t len) {
  if (len < 20 || (pkt[0] >> 4) != 4) return std::nullopt;
  size_t ihl = size_t(pkt[0] & 0x0f) * 4;
  size_t total = Get16(&pkt[2]);
  if (ihl < 20 || total < ihl + 8 || total > len) return std::nullopt;
  if (pkt[9] != IPPROTO_ICMP) return std::nullopt;
  if ((Get16(&pkt[6]) & 0x3fff) != 0) return std::nullopt;  // fragments: our probes never send any
  const uint8_t* icmp = pkt + ihl;
  if (icmp[0] != 8) return std::nullopt;
  EchoRequest r{ihl, total - ihl, 0, 0, {}};
  std::memcpy(&r.src, &pkt[12], 4);
  std::memcpy(&r.dst, &pkt[16], 4);
  r.key.ids = uint64_t(Get16(&pkt[4])) << 48 | uint64_t(Get16(&icmp[2])) << 32 | uint64_t(Get16(&icmp[4])) << 16 |
              Get16(&icmp[6]);
  r.key.hosts = uint64_t(r.src) << 32 | r.dst;
  return r;
}

// Without a queueing discipline a request goes from the sender's own system call into the device:
// the default one may hand it over later from a softirq, which makes the send time less exact.
void RemoveQueueingDiscipline(int ifindex) {
  Fd nl(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (nl.fd < 0) return;
  struct {
    nlmsghdr nh;
    tcmsg tc;
    char attrs[32];
  } req{};
  req.nh.nlmsg_type = RTM_NEWQDISC;
  req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_REPLACE;
  req.tc.tcm_family = AF_UNSPEC;
  req.tc.tcm_ifindex = ifindex;
  req.tc.tcm_parent = TC_H_ROOT;
  auto* kind = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&req) + NLMSG_LENGTH(sizeof(tcmsg)));
  kind->rta_type = TCA_KIND;
  kind->rta_len = RTA_LENGTH(sizeof "noqueue");
  std::memcpy(RTA_DATA(kind), "noqueue", sizeof "noqueue");
  req.nh.nlmsg_len = NLMSG_LENGTH(sizeof(tcmsg)) + RTA_ALIGN(kind->rta_len);
  if (send(nl.fd, &req, req.nh.nlmsg_len, 0) < 0) return;
  char ack[256];
  (void)!recv(nl.fd, ack, sizeof ack, 0);  // the outcome only touches precision
}

struct Pending {
  int64_t dueNs;
  uint64_t order;  // equal due times leave in the order they were scheduled
  Packet packet;
  enum class Kind : uint8_t { Other, Reply, Forged } kind = Kind::Other;
  uint32_t host = 0;   // of a Reply: the address it answers for
  int64_t sentNs = 0;  // of a Reply: when its request left
  bool operator>(const Pending& o) const { return dueNs != o.dueNs ? dueNs > o.dueNs : order > o.order; }
};

}  // namespace

std::string EnterPrivateNamespace() {
  std::lock_guard lock(g_nsMutex);
  if (!g_nsTried) {
    g_nsTried = true;
    g_nsError = SetUpNamespace();
  }
  return g_nsError;
}

bool InPrivateNamespace() {
  std::lock_guard lock(g_nsMutex);
  return g_nsTried && g_nsError.empty();
}

std::string NamespaceError() {
  std::lock_guard lock(g_nsMutex);
  return g_nsError;
}

bool SetPingGroupRange(uint32_t low, uint32_t high) {
  // The machine's own setting must never be changed by a test.
  if (!CallerInPrivateNamespace()) return false;
  Fd fd(open("/proc/sys/net/ipv4/ping_group_range", O_WRONLY | O_CLOEXEC));
  if (fd.fd < 0) return false;
  std::string text = std::to_string(low) + " " + std::to_string(high) + "\n";
  return write(fd.fd, text.data(), text.size()) == ssize_t(text.size());
}

int SpreadDelayMs(const std::string& address, int loMs, int hiMs) {
  uint32_t a = ParseAddress(address);
  if (loMs < 0 || hiMs < loMs) throw std::invalid_argument("fakenet: spread needs 0 <= low <= high");
  return SpreadDelay(a, loMs, hiMs);
}

struct FakeNet::Impl {
  std::string error;
  Fd tun, dns, wake;
  Fd sniff;  // the device's outgoing packets, stamped by the kernel as the sender hands them over
  std::thread responder, dnsServer;
  uint32_t router = ParseAddress(RouterAddress);
  uint32_t stranger = ParseAddress(kStrangerAddress);
  uint32_t strangerFallback = ParseAddress(kStrangerFallback);

  mutable std::mutex mu;  // guards everything below
  std::unordered_map<uint32_t, HostConfig> hosts;
  HostConfig defaultConfig{Behaviour::Silent, 0};
  bool spread = false;
  int spreadLo = 0, spreadHi = 0;
  std::unordered_map<std::string, std::vector<uint32_t>> names;
  bool answerEveryName = false;
  std::unordered_map<uint32_t, int> echoCounts;
  std::unordered_map<uint32_t, int> lastPayload;
  int totalEchoes = 0;
  std::unordered_map<std::string, int> dnsCounts;
  bool flood = false;
  int floodSent = 0;
  std::unordered_map<uint32_t, std::vector<int64_t>> replyTimes;

  // The responder thread's own.
  std::priority_queue<Pending, std::vector<Pending>, std::greater<>> queue;
  uint64_t order = 0;
  uint16_t ipId = 1;
  std::unordered_map<EchoKey, std::deque<int64_t>, EchoKeyHash> sentAt;  // monotonic
  std::vector<uint8_t> sniffed = std::vector<uint8_t>(65536);
  struct EchoSeen {
    uint32_t host;
    uint8_t ids[4];  // identifier and sequence
  };
  std::optional<EchoSeen> previousEcho;  // for forged replies that carry another request's numbers

  std::string Start();
  void Stop();
  void RunResponder();
  void RunDns();
  void CollectSendTimes();
  int64_t SendTime(const EchoRequest& request, int64_t readNs);
  void HandleRequest(const uint8_t* pkt, const EchoRequest& request, int64_t sentNs);
  std::vector<Packet> Forgeries(const uint8_t* pkt, const EchoRequest& request);
  void Written(const Pending& pending);
  size_t AnswerQuery(const uint8_t* q, size_t len, uint8_t* out);
};

std::string FakeNet::Impl::Start() {
  std::string err = EnterPrivateNamespace();
  if (!err.empty()) return err;
  if (!CallerInPrivateNamespace())
    return "this thread is not in the private network namespace (was a thread started before EnterPrivateNamespace?)";

  tun.Reset(open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK));
  if (tun.fd < 0) return Errno("cannot open /dev/net/tun");
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(ifr.ifr_name, kDevice, IFNAMSIZ - 1);
  if (ioctl(tun.fd, TUNSETIFF, &ifr) != 0) {
    std::string why = Errno(std::string("cannot create the TUN device ") + kDevice);
    return errno == EBUSY ? why + " (only one FakeNet may live at a time)" : why;
  }

  Fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (sock.fd < 0) return Errno("socket");
  auto setAddress = [&](unsigned long request, const char* text, const char* what) -> std::string {
    ifreq r{};
    std::strncpy(r.ifr_name, kDevice, IFNAMSIZ - 1);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = ParseAddress(text);
    std::memcpy(&r.ifr_addr, &sin, sizeof sin);
    if (ioctl(sock.fd, request, &r) != 0) return Errno(std::string("cannot set the ") + what + " of " + kDevice);
    return "";
  };
  if (err = setAddress(SIOCSIFADDR, kDeviceAddress, "address"); !err.empty()) return err;
  if (err = setAddress(SIOCSIFNETMASK, kPrefixMask, "netmask"); !err.empty()) return err;
  if (err = SetInterfaceUp(sock.fd, kDevice); !err.empty()) return err;
  const int ifindex = int(if_nametoindex(kDevice));
  RemoveQueueingDiscipline(ifindex);
  // Optional as well: without it delays count from when the responder read the request. Only a tap
  // for every protocol sees outgoing packets.
  RaiseRawSocketRight();
  sniff.Reset(socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL)));
  if (sniff.fd >= 0) {
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = ifindex;
    int one = 1, size = 1 << 20;
    setsockopt(sniff.fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    setsockopt(sniff.fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    if (bind(sniff.fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) sniff.Reset();
  }

  // The prefix route normally comes with the address; the default route sends every other address
  // (the catalogue's real ones) into the device as well.
  auto addRoute = [&](const char* dst, const char* mask) -> std::string {
    rtentry rt{};
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = ParseAddress(dst);
    std::memcpy(&rt.rt_dst, &sin, sizeof sin);
    sin.sin_addr.s_addr = ParseAddress(mask);
    std::memcpy(&rt.rt_genmask, &sin, sizeof sin);
    sin.sin_addr.s_addr = 0;
    std::memcpy(&rt.rt_gateway, &sin, sizeof sin);
    rt.rt_flags = RTF_UP;
    char dev[IFNAMSIZ] = {};
    std::strncpy(dev, kDevice, IFNAMSIZ - 1);
    rt.rt_dev = dev;
    if (ioctl(sock.fd, SIOCADDRT, &rt) != 0 && errno != EEXIST)
      return Errno(std::string("cannot add the route ") + dst + "/" + mask + " via " + kDevice);
    return "";
  };
  if (err = addRoute("198.18.0.0", kPrefixMask); !err.empty()) return err;
  if (err = addRoute("0.0.0.0", "0.0.0.0"); !err.empty()) return err;

  dns.Reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (dns.fd < 0) return Errno("socket");
  int one = 1;
  setsockopt(dns.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(53);
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(dns.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
    return Errno("cannot bind the DNS server to 127.0.0.1:53");

  wake.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (wake.fd < 0) return Errno("eventfd");

  try {
    responder = std::thread([this] { RunResponder(); });
    dnsServer = std::thread([this] { RunDns(); });
  } catch (const std::system_error& e) {
    Stop();
    return std::string("cannot start a thread: ") + e.what();
  }
  return "";
}

void FakeNet::Impl::Stop() {
  if (wake.fd >= 0) {
    uint64_t one = 1;
    (void)!write(wake.fd, &one, sizeof one);
  }
  if (responder.joinable()) responder.join();
  if (dnsServer.joinable()) dnsServer.join();
  // Closing a non-persistent TUN device deletes it together with its routes, so the next FakeNet
  // of this process can make it again.
  tun.Reset();
  sniff.Reset();
  dns.Reset();
  wake.Reset();
}

void FakeNet::Impl::RunResponder() {
  // Replies are due to the microsecond: no timer slack, and the first claim on a busy core (refused
  // without the right, which only costs precision).
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  sched_param sp{};
  sp.sched_priority = 1;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);

  std::vector<uint8_t> buf(65536);
  pollfd fds[2] = {{tun.fd, POLLIN, 0}, {wake.fd, POLLIN, 0}};
  auto sendDue = [&] {
    int64_t now = NowNs();
    while (!queue.empty() && queue.top().dueNs <= now) {
      const Packet& p = queue.top().packet;
      (void)!write(tun.fd, p.data(), p.size());
      if (queue.top().kind != Pending::Kind::Other) Written(queue.top());
      queue.pop();
      if (!queue.empty() && queue.top().dueNs > now) now = NowNs();
    }
  };
  // Timer wake-ups arrive late by up to a few hundred microseconds in a virtual machine, more than
  // the precision the accuracy benchmark needs. So we sleep until shortly before a reply is due, by
  // a margin that follows the wake-up lateness seen lately, and poll without sleeping for the rest.
  // The margin is capped: polling at real-time priority keeps everything else off this core.
  constexpr int64_t kMaxPollNs = 300000;
  int64_t lateness = 150000;
  for (;;) {
    timespec ts{};
    timespec* timeout = nullptr;
    int64_t sleepUntil = 0;
    if (!queue.empty()) {
      const int64_t margin = std::clamp<int64_t>(lateness + 50000, 30000, kMaxPollNs);
      sleepUntil = queue.top().dueNs - margin;
      int64_t wait = std::max<int64_t>(0, sleepUntil - NowNs());
      ts.tv_sec = time_t(wait / 1000000000);
      ts.tv_nsec = long(wait % 1000000000);
      timeout = &ts;
      if (wait == 0) sleepUntil = 0;
    }
    int n = ppoll(fds, 2, timeout, nullptr);
    if (n < 0 && errno != EINTR) return;
    if (n == 0 && sleepUntil != 0) {
      int64_t late = NowNs() - sleepUntil;
      // Rise fast with a late wake-up, fall slowly, so that one lucky wake-up does not make the next late.
      lateness += late > lateness ? (late - lateness) / 4 : -(lateness - late) / 32;
      lateness = std::min(lateness, kMaxPollNs);
    }
    if (n > 0 && fds[1].revents) return;
    if (n > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) return;
    if (n > 0 && (fds[0].revents & POLLIN)) {
      // A bounded batch, and what falls due meanwhile leaves in between: a burst of requests must
      // not hold up the replies.
      for (int i = 0; i < 64; ++i) {
        ssize_t got = read(tun.fd, buf.data(), buf.size());
        if (got <= 0) break;
        const int64_t readNs = NowNs();
        if (auto request = ParseEchoRequest(buf.data(), size_t(got)))
          HandleRequest(buf.data(), *request, SendTime(*request, readNs));
        sendDue();
      }
    }
    sendDue();
  }
}

// The packet socket has its copy of a request before the device has it, so the times of all the
// requests read so far are there to collect.
void FakeNet::Impl::CollectSendTimes() {
  if (sniff.fd < 0) return;
  // The wall clock read first: a delay between the two readings then makes send times later, never
  // earlier, so that a reply is never written before its delay is up.
  const int64_t wall = ClockNs(CLOCK_REALTIME);
  const int64_t realToMonotonic = NowNs() - wall;
  char control[128];
  for (;;) {
    sockaddr_ll from{};
    iovec iov{sniffed.data(), sniffed.size()};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got = recvmsg(sniff.fd, &msg, MSG_DONTWAIT);
    if (got < 0) break;
    if (from.sll_pkttype != PACKET_OUTGOING) continue;
    auto request = ParseEchoRequest(sniffed.data(), size_t(got));
    if (!request) continue;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
        timespec ts;
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        sentAt[request->key].push_back(int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec + realToMonotonic);
      }
    }
  }
  // Requests the device dropped are never read: forget them after a while.
  if (sentAt.size() > 4096) {
    const int64_t old = NowNs() - int64_t(10) * 1000000000;
    std::erase_if(sentAt, [&](const auto& entry) { return entry.second.back() < old; });
  }
}

int64_t FakeNet::Impl::SendTime(const EchoRequest& request, int64_t readNs) {
  CollectSendTimes();
  auto it = sentAt.find(request.key);
  if (it == sentAt.end()) return readNs;
  int64_t sent = it->second.front();
  it->second.pop_front();
  if (it->second.empty()) sentAt.erase(it);
  return std::min(sent, readNs);
}

void FakeNet::Impl::HandleRequest(const uint8_t* pkt, const EchoRequest& request, int64_t sentNs) {
  const uint8_t* icmp = pkt + request.ihl;
  const size_t icmpLen = request.icmpLen, ihl = request.ihl;
  const uint32_t src = request.src, dst = request.dst;

  HostConfig cfg;
  {
    std::lock_guard lock(mu);
    ++echoCounts[dst];
    ++totalEchoes;
    lastPayload[dst] = int(icmpLen - 8);
    auto it = hosts.find(dst);
    if (it != hosts.end()) {
      cfg = it->second;
    } else if (spread) {
      cfg = {Behaviour::Reply, SpreadDelay(dst, spreadLo, spreadHi)};
    } else {
      cfg = defaultConfig;
    }
  }
  // Counted from when the request left its sender, as a host that far away would: a late wake-up of
  // this thread does not add to the round trip.
  const int64_t due = sentNs + int64_t(cfg.delayMs) * 1000000;
  auto schedule = [&](int64_t when, Packet p) { queue.push(Pending{when, order++, std::move(p)}); };
  bool flooding;
  {
    std::lock_guard lock(mu);
    flooding = flood;
  }
  if (flooding) {
    const std::vector<Packet> forged = Forgeries(pkt, request);
    std::vector<int64_t> waves = {sentNs, sentNs + 250000000, sentNs + 600000000, sentNs + 1100000000};
    // Just before what answers: a reader that takes the first plausible packet takes one of these.
    if (cfg.behaviour != Behaviour::Silent) waves.push_back(std::max(sentNs, due - 1000));
    for (const int64_t when : waves) {
      for (const Packet& p : forged) {
        Pending pending{when, order++, p};
        pending.kind = Pending::Kind::Forged;
        queue.push(std::move(pending));
      }
    }
  }
  auto scheduleReply = [&](int64_t when, Packet p) {
    Pending pending{when, order++, std::move(p)};
    pending.kind = Pending::Kind::Reply;
    pending.host = dst;
    pending.sentNs = sentNs;
    queue.push(std::move(pending));
  };

  std::vector<uint8_t> reply(icmp, icmp + icmpLen);
  reply[0] = 0;
  reply[1] = 0;
  auto echoReply = [&](uint32_t from) { return MakeIcmpPacket(from, src, ipId++, reply.data(), reply.size()); };
  auto icmpError = [&](uint8_t type, uint8_t code) {
    // Routers quote the offending header and the first 8 bytes behind it.
    std::vector<uint8_t> msg(8);
    msg[0] = type;
    msg[1] = code;
    msg.insert(msg.end(), pkt, pkt + ihl + 8);
    return MakeIcmpPacket(router, src, ipId++, msg.data(), msg.size());
  };

  switch (cfg.behaviour) {
    case Behaviour::Reply:
      scheduleReply(due, echoReply(dst));
      break;
    case Behaviour::Silent:
      break;
    case Behaviour::Unreachable:
      schedule(due, icmpError(3, 1));
      break;
    case Behaviour::TimeExceeded:
      schedule(due, icmpError(11, 0));
      break;
    case Behaviour::Duplicate:
      scheduleReply(due, echoReply(dst));
      schedule(due + int64_t(cfg.delayMs) * 1000000, echoReply(dst));
      break;
    case Behaviour::WrongId:
      Put16(&reply[4], uint16_t(Get16(&reply[4]) ^ 0x8001));
      schedule(due, echoReply(dst));
      break;
    case Behaviour::WrongSeq:
      Put16(&reply[6], uint16_t(Get16(&reply[6]) ^ 0x8001));
      schedule(due, echoReply(dst));
      break;
    case Behaviour::WrongSource:
      schedule(due, echoReply(dst == stranger ? strangerFallback : stranger));
      break;
    case Behaviour::BadChecksum: {
      Packet p = echoReply(dst);
      // Not 0xffff: flipping every bit would give the other spelling of the same one's-complement sum.
      Put16(&p[22], uint16_t(Get16(&p[22]) ^ 0x1234));
      schedule(due, std::move(p));
      break;
    }
    case Behaviour::Truncated:
      reply.resize(6);  // type, code, checksum and identifier: no sequence number
      schedule(due, echoReply(dst));
      break;
    case Behaviour::Malformed: {
      // The header claims 24 bytes while the echo reply starts right after 20: only a reader that
      // ignores the header length finds a plausible reply. The kernel still delivers it to raw
      // sockets, as long as 8 bytes follow the claimed header, hence the padding.
      Packet p = echoReply(dst);
      p.resize(p.size() + 4);
      Put16(&p[2], uint16_t(p.size()));
      p[0] = 0x46;
      Put16(&p[10], 0);
      Put16(&p[10], Checksum(p.data(), 24));
      schedule(due, std::move(p));
      break;
    }
  }
}

std::vector<Packet> FakeNet::Impl::Forgeries(const uint8_t* pkt, const EchoRequest& request) {
  const uint8_t* icmp = pkt + request.ihl;
  const size_t ihl = request.ihl;
  const uint32_t src = request.src, dst = request.dst;
  const uint32_t otherSource = dst == stranger ? strangerFallback : stranger;
  const uint16_t id = Get16(&icmp[4]), seq = Get16(&icmp[6]);
  std::vector<Packet> out;

  auto reply = [&](uint32_t from, const std::function<void(std::vector<uint8_t>&)>& change) {
    std::vector<uint8_t> message(icmp, icmp + request.icmpLen);
    message[0] = 0;
    message[1] = 0;
    change(message);
    return MakeIcmpPacket(from, src, ipId++, message.data(), message.size());
  };
  auto same = [](std::vector<uint8_t>&) {};
  out.push_back(reply(dst, [&](auto& m) { Put16(&m[4], uint16_t(id ^ 0x8001)); }));
  out.push_back(reply(dst, [&](auto& m) { Put16(&m[6], uint16_t(seq ^ 0x8001)); }));
  if (previousEcho && previousEcho->host != dst) {
    // A datagram socket is handed what carries its identifier, wherever it comes from.
    out.push_back(reply(dst, [&](auto& m) { std::memcpy(&m[4], previousEcho->ids, 4); }));
  }
  out.push_back(reply(otherSource, same));
  Packet broken = reply(dst, same);
  Put16(&broken[22], uint16_t(Get16(&broken[22]) ^ 0x1234));
  out.push_back(std::move(broken));
  out.push_back(reply(dst, [](auto& m) { m.resize(6); }));
  Packet malformed = reply(dst, same);
  malformed.resize(malformed.size() + 4);
  Put16(&malformed[2], uint16_t(malformed.size()));
  malformed[0] = 0x46;
  Put16(&malformed[10], 0);
  Put16(&malformed[10], Checksum(malformed.data(), 24));
  out.push_back(std::move(malformed));

  // Errors about requests that are not this one: each differs from it in one quoted field.
  auto error = [&](uint32_t from, const std::function<void(std::vector<uint8_t>&)>& change) {
    std::vector<uint8_t> message(8);
    message[0] = 3;
    message[1] = 1;
    message.insert(message.end(), pkt, pkt + ihl + 8);
    change(message);
    Put16(&message[8 + 10], 0);
    Put16(&message[8 + 10], Checksum(&message[8], ihl));
    return MakeIcmpPacket(from, src, ipId++, message.data(), message.size());
  };
  const size_t quotedIcmp = 8 + ihl;
  out.push_back(error(router, [&](auto& m) { Put16(&m[quotedIcmp + 6], uint16_t(seq ^ 0x8001)); }));
  out.push_back(error(router, [&](auto& m) { Put16(&m[quotedIcmp + 4], uint16_t(id ^ 0x8001)); }));
  out.push_back(error(dst, [&](auto& m) { std::memcpy(&m[8 + 16], &otherSource, 4); }));
  out.push_back(error(router, [&](auto& m) { m[quotedIcmp] = 13; }));  // a timestamp request
  // This very request's error, but the kernel drops it; a raw socket still gets it as data.
  Packet unchecked = error(dst, same);
  Put16(&unchecked[22], uint16_t(Get16(&unchecked[22]) ^ 0x1234));
  out.push_back(std::move(unchecked));
  out.push_back(error(dst, [&](auto& m) { m.resize(quotedIcmp + 4); }));

  previousEcho = EchoSeen{dst, {}};
  std::memcpy(previousEcho->ids, &icmp[4], 4);
  return out;
}

void FakeNet::Impl::Written(const Pending& pending) {
  const int64_t now = NowNs();
  std::lock_guard lock(mu);
  if (pending.kind == Pending::Kind::Forged) {
    ++floodSent;
  } else {
    replyTimes[pending.host].push_back((now - pending.sentNs) / 1000);
  }
}

void FakeNet::Impl::RunDns() {
  uint8_t query[1500];
  uint8_t answer[512];
  pollfd fds[2] = {{dns.fd, POLLIN, 0}, {wake.fd, POLLIN, 0}};
  for (;;) {
    int n = poll(fds, 2, -1);
    if (n < 0 && errno != EINTR) return;
    if (n > 0 && fds[1].revents) return;
    if (n <= 0 || !(fds[0].revents & POLLIN)) continue;
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    ssize_t got = recvfrom(dns.fd, query, sizeof query, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&peer), &peerLen);
    if (got <= 0) continue;
    size_t len = AnswerQuery(query, size_t(got), answer);
    if (len > 0) sendto(dns.fd, answer, len, 0, reinterpret_cast<sockaddr*>(&peer), peerLen);
  }
}

// Writes the response to one query into out (512 bytes); 0 when the datagram deserves no answer.
size_t FakeNet::Impl::AnswerQuery(const uint8_t* q, size_t len, uint8_t* out) {
  if (len < 12 || (q[2] & 0x80)) return 0;  // too short to answer, or itself a response
  const uint8_t opcode = (q[2] >> 3) & 0x0f;
  std::memset(out, 0, 12);
  std::memcpy(out, q, 2);
  out[2] = uint8_t(0x80 | (q[2] & 0x79));  // QR, the query's opcode and RD
  out[3] = 0x80;                           // RA
  auto fail = [&](uint8_t rcode) {
    out[3] |= rcode;
    return size_t(12);
  };
  if (opcode != 0) return fail(4);  // NOTIMP
  if (Get16(&q[4]) != 1) return fail(1);

  std::string name;
  size_t pos = 12;
  for (;;) {
    if (pos >= len) return fail(1);
    uint8_t label = q[pos++];
    if (label == 0) break;
    if (label > 63 || pos + label > len || name.size() + label + 1 > 255) return fail(1);
    if (!name.empty()) name += '.';
    name.append(reinterpret_cast<const char*>(q + pos), label);
    pos += label;
  }
  if (pos + 4 > len) return fail(1);
  const uint16_t qtype = Get16(&q[pos]);
  const uint16_t qclass = Get16(&q[pos + 2]);
  pos += 4;
  name = LowerName(name);

  std::vector<uint32_t> addresses;
  bool known;
  {
    std::lock_guard lock(mu);
    ++dnsCounts[name];
    auto it = names.find(name);
    known = it != names.end() || answerEveryName;
    if (it != names.end()) {
      addresses = it->second;
    } else if (answerEveryName) {
      uint32_t v = Fnv1a(name.data(), name.size()) % 65534 + 1;
      addresses.push_back(htonl(0xC6130000u | v));  // 198.19.x.y, never .0.0 nor .255.255
    }
  }

  Put16(&out[4], 1);
  std::memcpy(out + 12, q + 12, pos - 12);
  size_t n = pos;
  // A name that does not exist does not exist for any record type; a known one just has no AAAA.
  if (!known) {
    out[3] |= 3;  // NXDOMAIN
    return n;
  }
  if (qtype != 1 || (qclass != 1 && qclass != 255)) return n;
  uint16_t count = 0;
  for (uint32_t a : addresses) {
    if (n + 16 > 512) break;  // what fits in one datagram; tests never configure that many
    const uint8_t rr[12] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4};
    std::memcpy(out + n, rr, 12);
    std::memcpy(out + n + 12, &a, 4);
    n += 16;
    ++count;
  }
  Put16(&out[6], count);
  return n;
}

FakeNet::FakeNet() : m_impl(new Impl) {
  m_impl->error = m_impl->Start();
  if (!m_impl->error.empty()) m_impl->Stop();
}

FakeNet::~FakeNet() {
  m_impl->Stop();
  delete m_impl;
}

bool FakeNet::ok() const { return m_impl->error.empty(); }
std::string FakeNet::error() const { return m_impl->error; }

void FakeNet::SetHost(const std::string& address, HostConfig config) {
  uint32_t a = ParseAddress(address);
  if (config.delayMs < 0) throw std::invalid_argument("fakenet: negative delay for " + address);
  std::lock_guard lock(m_impl->mu);
  m_impl->hosts[a] = config;
}

void FakeNet::SetDefault(HostConfig config) {
  if (config.delayMs < 0) throw std::invalid_argument("fakenet: negative default delay");
  std::lock_guard lock(m_impl->mu);
  m_impl->defaultConfig = config;
  m_impl->spread = false;
}

void FakeNet::SetDefaultSpread(int loMs, int hiMs) {
  if (loMs < 0 || hiMs < loMs) throw std::invalid_argument("fakenet: spread needs 0 <= low <= high");
  std::lock_guard lock(m_impl->mu);
  m_impl->spread = true;
  m_impl->spreadLo = loMs;
  m_impl->spreadHi = hiMs;
}

void FakeNet::SetName(const std::string& name, std::vector<std::string> addresses) {
  std::vector<uint32_t> parsed;
  for (const std::string& a : addresses) parsed.push_back(ParseAddress(a));
  std::lock_guard lock(m_impl->mu);
  m_impl->names[LowerName(name)] = std::move(parsed);
}

void FakeNet::SetAnswerEveryName(bool on) {
  std::lock_guard lock(m_impl->mu);
  m_impl->answerEveryName = on;
}

int FakeNet::EchoRequestsTo(const std::string& address) const {
  uint32_t a = ParseAddress(address);
  std::lock_guard lock(m_impl->mu);
  auto it = m_impl->echoCounts.find(a);
  return it == m_impl->echoCounts.end() ? 0 : it->second;
}

int FakeNet::TotalEchoRequests() const {
  std::lock_guard lock(m_impl->mu);
  return m_impl->totalEchoes;
}

int FakeNet::DnsQueriesFor(const std::string& name) const {
  std::string key = LowerName(name);
  std::lock_guard lock(m_impl->mu);
  auto it = m_impl->dnsCounts.find(key);
  return it == m_impl->dnsCounts.end() ? 0 : it->second;
}

void FakeNet::SetFlood(bool on) {
  std::lock_guard lock(m_impl->mu);
  m_impl->flood = on;
}

int FakeNet::FloodPacketsSent() const {
  std::lock_guard lock(m_impl->mu);
  return m_impl->floodSent;
}

std::vector<int64_t> FakeNet::ReplyTimesUs(const std::string& address) const {
  uint32_t a = ParseAddress(address);
  std::lock_guard lock(m_impl->mu);
  auto it = m_impl->replyTimes.find(a);
  return it == m_impl->replyTimes.end() ? std::vector<int64_t>{} : it->second;
}

int FakeNet::LastRequestPayloadBytes(const std::string& address) const {
  uint32_t a = ParseAddress(address);
  std::lock_guard lock(m_impl->mu);
  auto it = m_impl->lastPayload.find(a);
  return it == m_impl->lastPayload.end() ? -1 : it->second;
}

}  // namespace fakenet
